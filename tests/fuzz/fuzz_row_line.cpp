#include <string_view>

#include "model/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  auto row =
      tamrel::model::decode_jsonl_row(std::string_view(reinterpret_cast<const char*>(data), size));
  (void)row.ok();
  return 0;
}
