// The quoted form of arbitrary bytes: always valid UTF-8, always enclosed in quotes.
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "validate/predicates.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string q =
      tamrel::validate::quoted(std::string_view(reinterpret_cast<const char*>(data), size));
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') std::abort();
  if (!tamrel::is_valid_utf8(q)) std::abort();
  (void)tamrel::validate::trimmed(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
