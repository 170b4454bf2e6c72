#include <cstdlib>
#include <string_view>

#include "verify/uuid.hpp"

namespace {

// The forms written out byte by byte, the plain reading the word-wise check must agree with.
bool hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool hyphenated(std::string_view t) {
  if (t.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? t[i] != '-' : !hex(t[i])) return false;
  }
  return true;
}

bool reference(std::string_view t) {
  switch (t.size()) {
    case 32:
      for (const char c : t) {
        if (!hex(c)) return false;
      }
      return true;
    case 36: return hyphenated(t);
    case 38: return t.front() == '{' && t.back() == '}' && hyphenated(t.substr(1, 36));
    case 45: return t.starts_with("urn:uuid:") && hyphenated(t.substr(9));
    default: return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (tamrel::verify::is_uuid(text) != reference(text)) std::abort();
  return 0;
}
