#include "validate/predicates.hpp"

#include <algorithm>
#include <cstdint>

#include "base/unicode.hpp"

namespace tamrel::validate {
namespace {

using unicode::Utf8Step;

bool is_white(const Utf8Step& step) { return step.valid && unicode::is_white_space(step.cp); }

bool is_hex_lower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads n decimal digits at s[pos]; false when any is missing.
bool digits(std::string_view s, std::size_t& pos, std::size_t n, int& value) {
  if (s.size() - pos < n) return false;
  value = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const char c = s[pos + k];
    if (!is_digit(c)) return false;
    value = value * 10 + (c - '0');
  }
  pos += n;
  return true;
}

bool expect(std::string_view s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Step d = unicode::utf8_next(text, begin);
    if (!is_white(d)) break;
    begin += d.bytes;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const Utf8Step d = unicode::utf8_prev(text, end);
    if (!is_white(d)) break;
    end -= d.bytes;
  }
  return text.substr(begin, end - begin);
}

bool is_sha256_hex(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), is_hex_lower);
}

bool is_prefixed_sha256(std::string_view text) {
  constexpr std::string_view kPrefix = "sha256:";
  return text.size() == kPrefix.size() + 64 && text.starts_with(kPrefix) &&
         is_sha256_hex(text.substr(kPrefix.size()));
}

bool is_rfc3339(std::string_view s) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(s, pos, 4, year) || !expect(s, pos, '-') || !digits(s, pos, 2, month) ||
      !expect(s, pos, '-') || !digits(s, pos, 2, day)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  if (pos >= s.size() || (s[pos] != 'T' && s[pos] != 't' && s[pos] != ' ')) return false;
  ++pos;
  if (!digits(s, pos, 2, hour) || !expect(s, pos, ':') || !digits(s, pos, 2, minute) ||
      !expect(s, pos, ':') || !digits(s, pos, 2, second)) {
    return false;
  }
  if (hour > 23 || minute > 59 || second > 60) return false;  // 60: a leap second
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    const std::size_t first = pos;
    while (pos < s.size() && is_digit(s[pos])) ++pos;
    if (pos == first) return false;
  }
  if (pos >= s.size()) return false;
  const char sign = s[pos++];
  if (sign == 'Z' || sign == 'z') return pos == s.size();
  if (sign != '+' && sign != '-') return false;
  int off_h = 0, off_m = 0;
  if (!digits(s, pos, 2, off_h) || !expect(s, pos, ':') || !digits(s, pos, 2, off_m)) {
    return false;
  }
  return off_h <= 23 && off_m <= 59 && pos == s.size();
}

}  // namespace tamrel::validate
