// The four written forms of a UUID, checked eight bytes a step: every row's ids go through here.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tamrel::verify {

namespace uuid_detail {

static_assert(std::endian::native == std::endian::little,
              "the byte masks read words low byte first");

constexpr std::uint64_t ONES = 0x0101010101010101;
constexpr std::uint64_t HIGH = 0x8080808080808080;

inline std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The high bit of each byte of word that is an ASCII hex digit. On seven-bit bytes the sums
// below stay inside each byte, so no carry crosses into the next.
inline std::uint64_t hex_digit_bytes(std::uint64_t word) {
  const std::uint64_t low = word & ~HIGH;
  const auto at_least = [](std::uint64_t x, unsigned char bound) {
    return x + ONES * (0x80 - bound);
  };
  const std::uint64_t folded = low | ONES * 0x20;  // 'A'-'F' read as 'a'-'f'
  const std::uint64_t digit = at_least(low, '0') & ~at_least(low, '9' + 1);
  const std::uint64_t letter = at_least(folded, 'a') & ~at_least(folded, 'f' + 1);
  return (digit | letter) & ~word & HIGH;
}

inline std::uint64_t load_half(const char* p) {
  std::uint32_t half;
  std::memcpy(&half, p, 4);
  return half;
}

using DigitWords = std::uint64_t[4];

// The 32 digits of the 8-4-4-4-12 form at p, eight to a word, or false when a hyphen is not
// where the form has it.
inline bool hyphenated_digits(const char* p, DigitWords& words) {
  if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
  words[0] = load_word(p);
  words[1] = load_half(p + 9) | load_half(p + 14) << 32;
  words[2] = load_half(p + 19) | load_half(p + 24) << 32;
  words[3] = load_word(p + 28);
  return true;
}

// Written out word by word: as a loop the compiler vectorizes it, and the words, just built in
// general registers, then reach the vector unit through the stack, where each pair stalls on
// store forwarding (a tenth of the row scan's time).
inline bool all_hex(const DigitWords& words) {
  return (hex_digit_bytes(words[0]) & hex_digit_bytes(words[1]) & hex_digit_bytes(words[2]) &
          hex_digit_bytes(words[3])) == HIGH;
}

}  // namespace uuid_detail

// 32 hex digits at p.
inline bool is_plain_uuid(const char* p) {
  using namespace uuid_detail;
  const DigitWords words = {load_word(p), load_word(p + 8), load_word(p + 16), load_word(p + 24)};
  return all_hex(words);
}

// 8-4-4-4-12 at p, hyphens at 8, 13, 18 and 23.
inline bool is_hyphenated_uuid(const char* p) {
  using namespace uuid_detail;
  DigitWords words;
  return hyphenated_digits(p, words) && all_hex(words);
}

// 32 hex digits, 8-4-4-4-12, braced, or "urn:uuid:" prefixed.
inline bool is_uuid(std::string_view text) {
  const char* p = text.data();
  switch (text.size()) {
    case 32: return is_plain_uuid(p);
    case 36: return is_hyphenated_uuid(p);
    case 38: return p[0] == '{' && p[37] == '}' && is_hyphenated_uuid(p + 1);
    case 45: return text.starts_with("urn:uuid:") && is_hyphenated_uuid(p + 9);
    default: return false;
  }
}

}  // namespace tamrel::verify
