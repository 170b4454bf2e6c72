// Text helpers shared by every layer: lossy UTF-8 display of paths and bytes, and the quoted
// form in which messages show a text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tamrel {

// The bytes as UTF-8 text, every ill-formed sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path written as text for messages: its native bytes, lossy UTF-8.
inline std::string path_display(const std::filesystem::path& path) {
  return utf8_lossy(path.native());
}

// Appends the code point as UTF-8 (surrogates, too, in their three-byte form).
void append_utf8(std::string& out, std::uint32_t cp);

// True when the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool is_valid_utf8(std::string_view bytes);

// The backslash escapes that messages and JSON strings write alike, for \ " tab CR LF; empty for
// any other character.
constexpr std::string_view common_escape(char32_t c) {
  switch (c) {
    case '\\': return "\\\\";
    case '"': return "\\\"";
    case '\t': return "\\t";
    case '\r': return "\\r";
    case '\n': return "\\n";
    default: return {};
  }
}

// A text as messages show it: in double quotes, with \\ \" \t \r \n \0 and \u{hex} for the
// characters that would not read as themselves (see needs_unicode_escape). Each ill-formed UTF-8
// sequence is shown as one U+FFFD, so the result is always valid UTF-8. An object rather than a
// function, so that an unqualified call never resolves to std::quoted by argument-dependent lookup.
struct QuotedForm {
  std::string operator()(std::string_view text) const;
};
inline constexpr QuotedForm quoted{};

}  // namespace tamrel
