#include <string_view>

#include "validate/predicates.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  (void)tamrel::validate::is_rfc3339(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
