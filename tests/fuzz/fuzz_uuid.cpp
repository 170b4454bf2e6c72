#include <string_view>

#include "verify/row_identity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  (void)tamrel::verify::is_uuid(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
