#include "model/reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "base/panic.hpp"
#include "base/text.hpp"
#include "model/json_text.hpp"

namespace tamrel::model::detail {
namespace {

using msg::Syntax;

// Key plans are on in the module; the codec benchmark also builds the reader with
// -DTAMREL_READER_KEY_PLANS=0 to measure what they buy.
#ifndef TAMREL_READER_KEY_PLANS
#define TAMREL_READER_KEY_PLANS 1
#endif
constexpr bool KEY_PLANS = TAMREL_READER_KEY_PLANS;

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Bytes a string holds as they are: everything but the quote, the backslash and controls.
constexpr std::array<bool, 256> PLAIN = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 256; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return t;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool key_less(std::string_view a, std::string_view b) {
  // Most keys differ in their first byte; settle those without a call.
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
}

// Strictly ascending keys: nothing to sort and no repeated key to drop.
bool keys_ascending(const JsonMembers& members) {
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!key_less(members[i - 1].first, members[i].first)) return false;
  }
  return true;
}

// What the next object at the depth is read by: the keys of a small object without repeats
// and the place each took once sorted (order[i] is the member that went to place i).
void remember_plan(KeyPlan& plan, const JsonMembers& members, const std::uint32_t* order) {
  const std::size_t n = members.size();
  plan.keys.resize(n);
  plan.slot.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    plan.keys[i].assign(members[i].first);
    plan.slot[order[i]] = static_cast<std::uint32_t>(i);
  }
}

// Sorts the members by key, the last of a repeated key winning. Objects are mostly small: the
// order is found on indices, then the members are moved along its cycles, each once. With a
// plan, the object's order becomes the plan of the next object at its depth.
void sort_members(JsonMembers& members, KeyPlan* plan) {
  if (keys_ascending(members)) {
    if (plan != nullptr) plan->keys.clear();
    return;
  }
  const std::size_t n = members.size();
  std::vector<std::uint32_t> heap_order;
  std::array<std::uint32_t, 32> small_order;
  std::uint32_t* order = small_order.data();
  if (n > small_order.size()) {
    heap_order.resize(n);
    order = heap_order.data();
  }
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  const auto less = [&](std::uint32_t a, std::uint32_t b) {
    return key_less(members[a].first, members[b].first);
  };
  if (n <= small_order.size()) {
    for (std::size_t i = 1; i < n; ++i) {  // stable insertion sort
      const std::uint32_t moving = order[i];
      std::size_t j = i;
      for (; j > 0 && less(moving, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = moving;
    }
  } else {
    std::stable_sort(order, order + n, less);
  }
  bool repeated = false;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (members[order[i]].first == members[order[i + 1]].first) {
      repeated = true;
      break;
    }
  }
  if (plan != nullptr) {
    if (!repeated && n <= small_order.size()) {
      remember_plan(*plan, members, order);
    } else {
      plan->keys.clear();
    }
  }
  if (repeated) {
    JsonMembers out(members.get_allocator());
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      JsonMember& m = members[order[i]];
      if (i + 1 < n && members[order[i + 1]].first == m.first) continue;
      out.push_back(std::move(m));
    }
    members.swap(out);
    return;
  }
  // Position i receives the member at order[i].
  for (std::size_t i = 0; i < n; ++i) {
    if (order[i] == i) continue;
    JsonMember held = std::move(members[i]);
    std::size_t j = i;
    for (;;) {
      const std::size_t from = order[j];
      order[j] = static_cast<std::uint32_t>(j);
      if (from == i) {
        members[j] = std::move(held);
        break;
      }
      members[j] = std::move(members[from]);
      j = from;
    }
  }
}

}  // namespace

std::string describe(const Number& n) {
  switch (n.kind) {
    case Number::Kind::Unsigned: return fmt::format(msg::FOUND_INTEGER, n.u);
    case Number::Kind::Signed: return fmt::format(msg::FOUND_INTEGER, n.i);
    case Number::Kind::Real: break;
  }
  return fmt::format(msg::FOUND_REAL, format_real(n.d));
}

std::string describe(const JsonValue& v) {
  struct Visit {
    std::string operator()(std::nullptr_t) const { return msg::FOUND_NULL; }
    std::string operator()(bool b) const { return fmt::format(msg::FOUND_BOOL, b); }
    std::string operator()(std::uint64_t u) const { return fmt::format(msg::FOUND_INTEGER, u); }
    std::string operator()(std::int64_t i) const { return fmt::format(msg::FOUND_INTEGER, i); }
    std::string operator()(double d) const { return fmt::format(msg::FOUND_REAL, format_real(d)); }
    std::string operator()(const JsonString& s) const {
      return fmt::format(msg::FOUND_STRING, tamrel::quoted(s));
    }
    std::string operator()(const JsonArray&) const { return msg::FOUND_SEQUENCE; }
    std::string operator()(const JsonObject&) const { return msg::FOUND_MAP; }
  };
  return std::visit(Visit{}, v.v);
}

// ---- failures ----

bool Reader::fail(std::string message, std::size_t index) {
  if (!failed_) {
    failed_ = true;
    positioned_ = true;
    index_ = index;
    message_ = std::move(message);
  }
  return false;
}

bool Reader::fail_unpositioned(std::string message) {
  if (!failed_) {
    failed_ = true;
    positioned_ = false;
    message_ = std::move(message);
  }
  return false;
}

ManifestError Reader::take_error() {
  if (!failed_) panic("decoder reported failure without recording one");
  const std::size_t at = positioned_ ? index_ : pos_;
  const std::string_view before(data_, at);
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const auto lines = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  return ManifestError::json(std::move(message_), lines + 1, at - line_start);
}

// ---- pieces of values ----

bool Reader::parse_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (pos_ == size_) return fail_here(Syntax::EofValue);
    if (data_[pos_++] != expected) return fail_here(Syntax::ExpectedIdent);
  }
  return true;
}

bool Reader::hex4(std::uint32_t& out) {
  if (size_ - pos_ < 4) {
    pos_ = size_;
    return fail_here(Syntax::EofString);
  }
  std::uint32_t n = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(data_[pos_ + static_cast<std::size_t>(k)]);
    ok = ok && h >= 0;
    n = (n << 4) | static_cast<std::uint32_t>(h & 0xF);
  }
  pos_ += 4;
  if (!ok) return fail_here(Syntax::InvalidEscape);
  out = n;
  return true;
}

bool Reader::parse_unicode_escape(std::string& out) {
  std::uint32_t n = 0;
  if (!hex4(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail_here(Syntax::LoneLeadingSurrogate);
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(out, n);
    return true;
  }
  // A leading surrogate: a trailing one must follow as a second escape.
  for (const char want : {'\\', 'u'}) {
    if (pos_ == size_) return fail_here(Syntax::EofString);
    if (data_[pos_++] != want) return fail_here(Syntax::UnexpectedEndOfHexEscape);
  }
  std::uint32_t n2 = 0;
  if (!hex4(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here(Syntax::LoneLeadingSurrogate);
  append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  return true;
}

bool Reader::parse_escape(std::string& out) {
  if (pos_ == size_) return fail_here(Syntax::EofString);
  switch (data_[pos_++]) {
    case '"': out.push_back('"'); return true;
    case '\\': out.push_back('\\'); return true;
    case '/': out.push_back('/'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': return parse_unicode_escape(out);
    default: return fail_here(Syntax::InvalidEscape);
  }
}

bool Reader::parse_string(std::string_view& out) {
  std::size_t start = pos_;
  bool copied = false;
  unsigned char high = 0;  // any raw byte >= 0x80 means the UTF-8 must be checked
  for (;;) {
    while (pos_ < size_) {
      const auto c = static_cast<unsigned char>(data_[pos_]);
      if (!PLAIN[c]) break;
      high |= c;
      ++pos_;
    }
    if (pos_ == size_) return fail_here(Syntax::EofString);
    const char c = data_[pos_];
    if (c == '"') {
      std::string_view s;
      if (copied) {
        scratch_.append(data_ + start, pos_ - start);
        s = scratch_;
      } else {
        s = std::string_view(data_ + start, pos_ - start);
      }
      ++pos_;
      // Checked once the string is whole, so the failure points after its closing quote.
      if ((high & 0x80) != 0 && !is_valid_utf8(s)) return fail_here(Syntax::InvalidUnicode);
      out = s;
      return true;
    }
    if (c == '\\') {
      if (!copied) {
        scratch_.clear();
        copied = true;
      }
      scratch_.append(data_ + start, pos_ - start);
      ++pos_;
      if (!parse_escape(scratch_)) return false;
      start = pos_;
      continue;
    }
    ++pos_;
    return fail_here(Syntax::ControlCharacter);
  }
}

bool Reader::parse_string(std::string& out) {
  std::string_view view;
  if (!parse_string(view)) return false;
  out.assign(view);
  return true;
}

bool Reader::parse_number(Number& out) {
  const std::size_t start = pos_;
  const bool negative = data_[pos_] == '-';
  if (negative) ++pos_;
  if (pos_ == size_) return fail_here(Syntax::EofValue);
  const char first = data_[pos_++];
  std::uint64_t significand = 0;
  bool overflow = false;  // the integer part no longer fits 64 bits
  bool nonzero = false;   // some digit of the significand is not 0
  std::int64_t int_digits = 0;
  std::int64_t frac_zeros = 0;  // zeros after the point before the first other digit
  if (first == '0') {
    if (pos_ < size_ && is_digit(data_[pos_])) return fail_peek(Syntax::InvalidNumber);
  } else if (first >= '1' && first <= '9') {
    significand = static_cast<std::uint64_t>(first - '0');
    nonzero = true;
    int_digits = 1;
    constexpr std::uint64_t LIMIT = std::numeric_limits<std::uint64_t>::max();
    while (pos_ < size_ && is_digit(data_[pos_])) {
      const auto digit = static_cast<std::uint64_t>(data_[pos_] - '0');
      if (!overflow) {
        if (significand > (LIMIT - digit) / 10) {
          overflow = true;
        } else {
          significand = significand * 10 + digit;
        }
      }
      ++int_digits;
      ++pos_;
    }
  } else {
    return fail_here(Syntax::InvalidNumber);
  }

  bool real = overflow;
  if (pos_ < size_ && data_[pos_] == '.') {
    real = true;
    ++pos_;
    const std::size_t frac_start = pos_;
    while (pos_ < size_ && is_digit(data_[pos_])) {
      if (!nonzero && data_[pos_] != '0') {
        nonzero = true;
        frac_zeros = static_cast<std::int64_t>(pos_ - frac_start);
      }
      ++pos_;
    }
    if (pos_ == frac_start) {
      return fail_peek(pos_ < size_ ? Syntax::InvalidNumber : Syntax::EofValue);
    }
  }

  std::int64_t exponent = 0;
  if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
    real = true;
    ++pos_;
    bool negative_exponent = false;
    if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) {
      negative_exponent = data_[pos_] == '-';
      ++pos_;
    }
    if (pos_ == size_) return fail_here(Syntax::EofValue);
    const char e0 = data_[pos_++];
    if (!is_digit(e0)) return fail_here(Syntax::InvalidNumber);
    constexpr std::int32_t LIMIT = std::numeric_limits<std::int32_t>::max();
    std::int32_t e = e0 - '0';
    while (pos_ < size_ && is_digit(data_[pos_])) {
      const std::int32_t digit = data_[pos_++] - '0';
      if (e > LIMIT / 10 || (e == LIMIT / 10 && digit > LIMIT % 10)) {
        // An exponent past 32 bits: the value is infinite, unless it is zero or vanishingly small.
        if (nonzero && !negative_exponent) return fail_here(Syntax::NumberOutOfRange);
        while (pos_ < size_ && is_digit(data_[pos_])) ++pos_;
        out.kind = Number::Kind::Real;
        out.d = negative ? -0.0 : 0.0;
        return true;
      }
      e = e * 10 + digit;
    }
    exponent = negative_exponent ? -static_cast<std::int64_t>(e) : e;
  }

  if (!real) {
    if (!negative) {
      out.kind = Number::Kind::Unsigned;
      out.u = significand;
      return true;
    }
    if (significand == 0) {  // "-0" is the real negative zero
      out.kind = Number::Kind::Real;
      out.d = -0.0;
      return true;
    }
    if (significand <= (std::uint64_t{1} << 63)) {
      out.kind = Number::Kind::Signed;
      out.i = static_cast<std::int64_t>(~significand + 1);
      return true;
    }
  }

  // Correctly rounded, whatever the number of digits.
  double value = 0.0;
  const auto res = std::from_chars(data_ + start, data_ + pos_, value);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow and underflow look alike here; the decimal magnitude of the leading digit tells
    // them apart (they lie more than 600 orders of magnitude apart).
    const std::int64_t lead = first != '0' ? int_digits - 1 : -(frac_zeros + 1);
    if (lead + exponent > 0) return fail_here(Syntax::NumberOutOfRange);
    value = negative ? -0.0 : 0.0;
  } else if (res.ec != std::errc() || res.ptr != data_ + pos_) {
    panic("number text accepted by the grammar was refused by from_chars");
  }
  out.kind = Number::Kind::Real;
  out.d = value;
  return true;
}

bool Reader::parse_any(JsonValue& out, bool sorted) {
  const int c = peek_ws();
  switch (c) {
    case -1: return fail_peek(Syntax::EofValue);
    case 'n':
      bump();
      if (!parse_ident("ull")) return false;
      out.set<std::nullptr_t>(nullptr);
      return true;
    case 't':
      bump();
      if (!parse_ident("rue")) return false;
      out.set<bool>(true);
      return true;
    case 'f':
      bump();
      if (!parse_ident("alse")) return false;
      out.set<bool>(false);
      return true;
    case '"': {
      bump();
      std::string_view s;
      if (!parse_string(s)) return false;
      out.set<JsonString>(s, memory_);
      return true;
    }
    case '[': {
      if (!enter()) return false;
      bump();
      auto& items = out.set<JsonArray>(memory_);  // elements are read in place
      bool first = true;
      for (;;) {
        const Next n = next_element(first);
        if (n == Next::Fail) return false;
        if (n == Next::End) break;
        if (!parse_any(items.emplace_back(), sorted)) return false;
      }
      if (!end_seq()) return false;
      leave();
      return true;
    }
    case '{': {
      if (!enter()) return false;
      bump();
      auto& members = out.set<JsonObject>(memory_).members;
      if (!parse_members(members, sorted)) return false;
      leave();
      return true;
    }
    default: break;
  }
  if (c == '-' || is_digit(c)) {
    Number n;
    if (!parse_number(n)) return false;
    switch (n.kind) {
      case Number::Kind::Unsigned: out.set<std::uint64_t>(n.u); break;
      case Number::Kind::Signed: out.set<std::int64_t>(n.i); break;
      case Number::Kind::Real: out.set<double>(n.d); break;
    }
    return true;
  }
  return fail_peek(Syntax::ExpectedValue);
}

bool Reader::parse_members(JsonMembers& members, bool sorted) {
  KeyPlan* plan = sorted && KEY_PLANS ? &key_plan() : nullptr;
  bool first = true;
  bool placed = false;
  std::string_view key;
  Next n = plan != nullptr && !plan->keys.empty() ? read_planned(members, *plan, first, key, placed)
                                                  : next_key(first, key);
  if (placed) return end_map();
  for (; n == Next::Item; n = next_key(first, key)) {
    JsonMember& m = members.emplace_back(JsonString(key, memory_));
    if (!object_colon() || !parse_any(m.second, sorted)) return false;
  }
  if (n == Next::Fail || !end_map()) return false;
  if (sorted) sort_members(members, plan);
  return true;
}

KeyPlan& Reader::key_plan() {
  // Room for every depth from the start: a plan stays in place while deeper ones are added.
  if (plans_.capacity() == 0) plans_.reserve(MAX_DEPTH + 1);
  if (plans_.size() <= depth_) plans_.resize(depth_ + 1);
  return plans_[depth_];
}

Next Reader::read_planned(JsonMembers& members, const KeyPlan& plan, bool& first,
                          std::string_view& key, bool& placed) {
  const std::size_t planned = plan.keys.size();
  members.reserve(planned);
  for (std::size_t i = 0; i < planned; ++i) members.emplace_back(JsonString(memory_));
  std::size_t matched = 0;
  Next n = Next::Item;
  for (;;) {
    n = next_key(first, key);
    if (n == Next::Fail) return n;
    if (n == Next::End || matched == planned || key != plan.keys[matched]) break;
    JsonMember& m = members[plan.slot[matched]];
    m.first.assign(key);
    if (!object_colon() || !parse_any(m.second, true)) return Next::Fail;
    ++matched;
  }
  placed = n == Next::End && matched == planned;
  if (placed) return n;
  // Not the plan after all: what was read goes back to reading order.
  JsonMembers ordered(members.get_allocator());
  ordered.reserve(std::max(planned, matched + 1));
  for (std::size_t i = 0; i < matched; ++i) ordered.push_back(std::move(members[plan.slot[i]]));
  members = std::move(ordered);
  return n;
}

bool Reader::invalid_type_here(std::string_view expected) {
  std::string found;
  const int c = peek_ws();
  switch (c) {
    case 'n':
      bump();
      if (!parse_ident("ull")) return false;
      found = msg::FOUND_NULL;
      break;
    case 't':
    case 'f':
      bump();
      if (!parse_ident(c == 't' ? "rue" : "alse")) return false;
      found = fmt::format(msg::FOUND_BOOL, c == 't');
      break;
    case '"': {
      bump();
      std::string_view s;
      if (!parse_string(s)) return false;
      found = fmt::format(msg::FOUND_STRING, tamrel::quoted(s));
      break;
    }
    case '[': found = msg::FOUND_SEQUENCE; break;
    case '{': found = msg::FOUND_MAP; break;
    default: {
      if (c != '-' && !is_digit(c)) return fail_peek(Syntax::ExpectedValue);
      Number n;
      if (!parse_number(n)) return false;
      found = describe(n);
    }
  }
  return fail_here(fmt::format(msg::INVALID_TYPE, found, expected));
}

// ---- arrays and objects ----

// Inline: every element and member passes here, and a call more costs 7 % of a decode.
inline Next Reader::next_item(bool& first, char close, Syntax eof, Syntax no_comma, int& c) {
  c = peek_ws();
  if (c == close) return Next::End;
  if (c == ',' && !first) {
    bump();
    c = peek_ws();
  } else if (c < 0 || !first) {
    fail_peek(c < 0 ? eof : no_comma);
    return Next::Fail;
  }
  first = false;
  if (c == close || c < 0) {
    fail_peek(c < 0 ? Syntax::EofValue : Syntax::TrailingComma);
    return Next::Fail;
  }
  return Next::Item;
}

Next Reader::next_element(bool& first) {
  int c = 0;
  return next_item(first, ']', Syntax::EofList, Syntax::ExpectedListCommaOrEnd, c);
}

Next Reader::next_key(bool& first, std::string_view& key) {
  int c = 0;
  const Next n = next_item(first, '}', Syntax::EofObject, Syntax::ExpectedObjectCommaOrEnd, c);
  if (n != Next::Item) return n;
  if (c != '"') {
    fail_peek(Syntax::KeyMustBeString);
    return Next::Fail;
  }
  bump();
  return parse_string(key) ? Next::Item : Next::Fail;
}

inline bool Reader::expect(char want, Syntax eof, Syntax other) {
  const int c = peek_ws();
  if (c == want) {
    bump();
    return true;
  }
  return fail_peek(c < 0 ? eof : other);
}

bool Reader::object_colon() { return expect(':', Syntax::EofObject, Syntax::ExpectedColon); }

bool Reader::end_seq() {
  if (peek_ws() == ',') {
    bump();
    return fail_peek(peek_ws() == ']' ? Syntax::TrailingComma : Syntax::TrailingCharacters);
  }
  return expect(']', Syntax::EofList, Syntax::TrailingCharacters);
}

bool Reader::end_map() {
  if (peek_ws() == ',') return fail_peek(Syntax::TrailingComma);
  return expect('}', Syntax::EofObject, Syntax::TrailingCharacters);
}

void Reader::settle_after_seq() {
  if (!pending_position()) return;
  const int c = peek_ws();
  if (c == ']') {
    bump();
  } else if (c == ',') {
    bump();
    (void)peek_ws();
  }
  fix_position();
}

void Reader::settle_after_map() {
  if (!pending_position()) return;
  if (peek_ws() == '}') bump();
  fix_position();
}

bool Reader::end_document() {
  if (peek_ws() >= 0) return fail_peek(Syntax::TrailingCharacters);
  return true;
}

}  // namespace tamrel::model::detail
