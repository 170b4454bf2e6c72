// The Unicode properties the module needs, from tables generated out of the Unicode Character
// Database (tools/gen_unicode_tables.py), and the UTF-8 steps that read code points.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tamrel::unicode {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// Generated: sorted, disjoint, non-adjacent ranges.
extern const std::string_view kUnicodeVersion;
extern const std::span<const CodePointRange> white_space;
extern const std::span<const CodePointRange> grapheme_extend;
// Controls, format characters, surrogates, private use, unassigned and separators but U+0020.
extern const std::span<const CodePointRange> not_printable;

bool contains(std::span<const CodePointRange> table, char32_t cp);

inline bool is_white_space(char32_t cp) { return contains(white_space, cp); }
inline bool is_grapheme_extend(char32_t cp) { return contains(grapheme_extend, cp); }
inline bool is_printable(char32_t cp) { return !contains(not_printable, cp); }

// One step through UTF-8 text. An ill-formed sequence is one step of its maximal subpart (the
// longest prefix of a well-formed sequence, at least one byte), so that each shows as one U+FFFD.
struct Utf8Step {
  char32_t cp;        // meaningful only when valid
  std::size_t bytes;  // at least 1
  bool valid;
};

// The code point starting at s[i] (i < s.size()).
Utf8Step utf8_next(std::string_view s, std::size_t i);
// The code point ending at s[end - 1] (end > 0); an ill-formed tail is one invalid byte.
Utf8Step utf8_prev(std::string_view s, std::size_t end);

}  // namespace tamrel::unicode
