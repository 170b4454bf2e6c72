// The word-wise UUID check against the forms written out byte by byte.
#include <cstdlib>
#include <string_view>

#include "row_scan_reference.hpp"
#include "verify/uuid.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (tamrel::verify::is_uuid(text) != reference::is_uuid(text)) std::abort();
  return 0;
}
