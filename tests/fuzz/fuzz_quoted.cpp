// The quoted form of arbitrary bytes: always valid UTF-8, always enclosed in quotes, and inside
// them no raw control byte and no quotation mark that is not escaped.
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "validate/predicates.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string q = tamrel::quoted(input);
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') std::abort();
  if (!tamrel::is_valid_utf8(q)) std::abort();
  for (std::size_t i = 1; i + 1 < q.size(); ++i) {
    const auto c = static_cast<unsigned char>(q[i]);
    if (c < 0x20 || c == 0x7F || c == '"') std::abort();
    if (c == '\\') ++i;  // the escaped character, a quotation mark among them
  }
  (void)tamrel::validate::trimmed(input);
  return 0;
}
