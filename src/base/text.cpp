#include "base/text.hpp"

#include <cstdint>
#include <iterator>

#include <fmt/format.h>

#include "base/unicode.hpp"

namespace tamrel {
namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when it is ill-formed.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  const std::size_t left = s.size() - i;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    return (left >= 2 && (byte(i + 1) & 0xC0) == 0x80) ? 2 : 0;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3) return 0;
    const std::uint8_t b1 = byte(i + 1);
    const std::uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const std::uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;
    if (b1 < lo || b1 > hi || (byte(i + 2) & 0xC0) != 0x80) return 0;
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4) return 0;
    const std::uint8_t b1 = byte(i + 1);
    const std::uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (b1 < lo || b1 > hi || (byte(i + 2) & 0xC0) != 0x80 || (byte(i + 3) & 0xC0) != 0x80)
      return 0;
    return 4;
  }
  return 0;
}

// Characters the quoted form writes as \u{...}: the combining marks (Grapheme_Extend), which
// would attach to the quotation mark or character before them, and every character that is not
// printable. Not printable here (the table not_printable): the controls (Cc), format characters
// (Cf), surrogates (Cs), private-use (Co) and unassigned (Cn) code points, the line and
// paragraph separators (Zl, Zp), and the space separators (Zs) other than U+0020.
bool needs_unicode_escape(char32_t c) {
  return unicode::is_grapheme_extend(c) || !unicode::is_printable(c);
}

}  // namespace

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_sequence_length(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_sequence_length(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string QuotedForm::operator()(std::string_view text) const {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const unicode::Utf8Step d = unicode::utf8_next(text, i);
    const std::string_view raw = text.substr(i, d.bytes);
    i += d.bytes;
    if (!d.valid) {
      out += "\xEF\xBF\xBD";  // shown as U+FFFD, so messages stay valid UTF-8
      continue;
    }
    if (const std::string_view escape = common_escape(d.cp); !escape.empty()) {
      out += escape;
    } else if (d.cp == '\0') {
      out += "\\0";
    } else if (needs_unicode_escape(d.cp)) {
      fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(d.cp));
    } else {
      out += raw;
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace tamrel
