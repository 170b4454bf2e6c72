#include "base/unicode.hpp"

#include <algorithm>
#include <cstdint>

namespace tamrel::unicode {

bool contains(std::span<const CodePointRange> table, char32_t cp) {
  // The first range that ends at or after cp holds it or nothing does.
  const auto it = std::lower_bound(table.begin(), table.end(), cp,
                                   [](const CodePointRange& r, char32_t c) { return r.last < c; });
  return it != table.end() && it->first <= cp;
}

Utf8Step utf8_next(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t need = 0;
  char32_t cp = 0;
  // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1, false};
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) return {0, k, false};
    const std::uint8_t b = byte(i + k);
    if (b < lo || b > hi) return {0, k, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, k, true};
}

Utf8Step utf8_prev(std::string_view s, std::size_t end) {
  // Back over at most three continuation bytes to a lead; the sequence it starts must end
  // exactly at end.
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) {
    --start;
  }
  const Utf8Step step = utf8_next(s, start);
  if (step.valid && start + step.bytes == end) return step;
  return {0, 1, false};
}

}  // namespace tamrel::unicode
