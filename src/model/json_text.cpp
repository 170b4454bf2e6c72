#include "model/json_text.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "base/text.hpp"

namespace tamrel::model {

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes that need no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (const std::string_view escape = common_escape(c); !escape.empty()) {
      out += escape;
    } else if (c == '\b') {
      out += "\\b";
    } else if (c == '\f') {
      out += "\\f";
    } else {
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void append_real(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form "d.ddde±X", then laid out by the exponent.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exp = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  const bool neg_exp = exp_text.front() == '-';
  if (exp_text.front() == '+' || exp_text.front() == '-') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  if (neg_exp) exp = -exp;

  const int n = static_cast<int>(digits.size());
  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    } else if (exp < n - 1) {
      out.append(digits, 0, static_cast<std::size_t>(exp + 1));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(exp + 1));
    } else {
      out += digits;
      out.append(static_cast<std::size_t>(exp - n + 1), '0');
      out += ".0";
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exp < 0 ? '-' : '+');
  append_int(out, exp < 0 ? -exp : exp);
}

std::string format_real(double value) {
  std::string s;
  append_real(s, value);
  return s;
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace tamrel::model
