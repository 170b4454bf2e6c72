// The common row form read directly, with the strict decoder behind it for everything else.
#include "verify/common_row.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "verify/uuid.hpp"

namespace tamrel::verify {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the byte masks read words low byte first");

// The high bit of each byte of the eight at p that is a quote, a backslash, below 0x20 or above
// 0x7E. Bits above the first set one may be spurious (a borrow runs upwards), never below it.
inline std::uint64_t string_stops(const char* p) {
  constexpr std::uint64_t ONES = 0x0101010101010101;
  constexpr std::uint64_t HIGH = 0x8080808080808080;
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  const auto zero_bytes = [](std::uint64_t v) { return (v - ONES) & ~v & HIGH; };
  return zero_bytes(x ^ (ONES * '"')) | zero_bytes(x ^ (ONES * '\\')) |
         zero_bytes(x ^ (ONES * 0x7F)) | ((x - ONES * 0x20) & ~x & HIGH) | (x & HIGH);
}

// The shape nearly every row map is written in: row_id, db_id and optionally parent_id, in
// that order, numbers without sign or leading zero, strings of printable ASCII without escapes,
// JSON whitespace between tokens. For such a line the strict decoder's result is plain to see,
// and reading it directly saves most of the per-row cost. Anything else returns false and goes
// to the strict decoder, which alone decides what is invalid and what the error says.
class CommonRowReader {
 public:
  explicit CommonRowReader(std::string_view line)
      : p_(line.data()), end_(line.data() + line.size()) {}

  // The row, and nothing after it but whitespace.
  bool read(RowView& row) {
    if (!token('{') || !key("\"row_id\"") || !number(row.row_id)) return false;
    if (!token(',') || !key("\"db_id\"") || !string(row.db_id)) return false;
    row.ids_are_uuids = last_string_uuid_;
    row.parent_id.reset();
    if (!token('}')) {
      if (!token(',') || !key("\"parent_id\"")) return false;
      if (!literal("null")) {
        if (!string(row.parent_id.emplace())) return false;
        row.ids_are_uuids &= last_string_uuid_;
      }
      if (!token('}')) return false;
    }
    skip_space();
    return p_ == end_;
  }

 private:
  // A cut line holds no line feed; one in other bytes is left to the strict decoder.
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r')) ++p_;
  }
  // The length is a constant, so the comparison compiles to a few loads, not a call.
  template <std::size_t N>
  bool literal(const char (&text)[N]) {
    skip_space();
    constexpr std::size_t len = N - 1;
    if (static_cast<std::size_t>(end_ - p_) < len || std::memcmp(p_, text, len) != 0) return false;
    p_ += len;
    return true;
  }
  bool token(char c) {
    skip_space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  template <std::size_t N>
  bool key(const char (&quoted)[N]) {
    return literal(quoted) && token(':');
  }
  // Up to 19 digits always fit 64 bits; longer numbers are left to the strict decoder.
  bool number(std::uint64_t& value) {
    skip_space();
    const char* start = p_;
    std::uint64_t sum = 0;  // a local: stores through value would repeat at every digit
    for (; p_ != end_ && static_cast<unsigned char>(*p_ - '0') <= 9; ++p_) {
      sum = sum * 10 + static_cast<unsigned char>(*p_ - '0');
    }
    const auto digits = static_cast<std::size_t>(p_ - start);
    if (digits == 0 || digits > 19 || (digits > 1 && *start == '0')) return false;
    value = sum;
    return true;
  }
  bool string(std::string_view& text) {
    skip_space();
    if (p_ == end_ || *p_ != '"') return false;
    const char* start = ++p_;
    // A hyphenated UUID and its closing quote, as nearly every id is written: none of its bytes
    // can end or escape a string.
    const bool uuid_sized = end_ - p_ > 36 && p_[36] == '"';
    last_string_uuid_ = uuid_sized && is_hyphenated_uuid(p_);
    if (last_string_uuid_) {
      text = std::string_view(start, 36);
      p_ += 37;
      return true;
    }
    // Eight bytes at a time up to the first that ends the string or may not be in it; the
    // byte loop below decides on that one.
    while (end_ - p_ >= 8) {
      const std::uint64_t stops = string_stops(p_);
      if (stops != 0) {
        p_ += std::countr_zero(stops) / 8;
        break;
      }
      p_ += 8;
    }
    while (p_ != end_ && *p_ != '"') {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
      ++p_;
    }
    if (p_ == end_) return false;
    text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  const char* p_;
  const char* end_;
  bool last_string_uuid_ = false;  // the last string read was a hyphenated UUID
};

}  // namespace

bool read_common_row(std::string_view line, RowView& row) {
  return CommonRowReader(line).read(row);
}

std::optional<ManifestError> read_row(std::string_view line, RowView& row,
                                      model::JsonlRow& decoded) {
  if (read_common_row(line, row)) return std::nullopt;
  auto strict = model::decode_jsonl_row(line);
  if (!strict.ok()) return std::move(strict).error();
  decoded = std::move(strict).value();
  row.ids_are_uuids = false;
  row.row_id = decoded.row_id;
  row.db_id = decoded.db_id;
  row.parent_id.reset();
  if (decoded.parent_id) row.parent_id = *decoded.parent_id;
  return std::nullopt;
}

}  // namespace tamrel::verify
