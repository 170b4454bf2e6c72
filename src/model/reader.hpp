// The strict JSON reader under the record decoder: one cursor over the text, syntax rules,
// strings, numbers, arbitrary values, and the failure slot with its position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "model/json_value.hpp"
#include "model/messages.hpp"

namespace tamrel::model::detail {

// Arrays and objects nest at most this deep, counted from the top-level value.
inline constexpr std::uint32_t MAX_DEPTH = 128;

struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Real };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;
};

// "integer `5`", "floating point `2.5`", ... as used in the invalid-type texts.
std::string describe(const Number& n);
// What a buffered value is, in the same words.
std::string describe(const JsonValue& v);

enum class Next : std::uint8_t { Item, End, Fail };

// The last object read at a depth whose keys needed sorting: its keys in reading order and the
// place each took once sorted. The objects of an array mostly repeat their keys in one order;
// one that follows the plan is built with each member in its place and needs no sorting.
struct KeyPlan {
  std::vector<std::string> keys;
  std::vector<std::uint32_t> slot;  // where keys[i] went
};

// Every decode step returns false after recording the failure here; the first failure wins and
// decoding stops. A failure from a shape rule may be recorded without a position: the enclosing
// container gives it one once it has stepped over what the rule stopped before (fix_position).
class Reader {
 public:
  // Strings and containers of parsed values are allocated from `memory`.
  explicit Reader(std::string_view text,
                  std::pmr::memory_resource* memory = std::pmr::new_delete_resource())
      : data_(text.data()), size_(text.size()), memory_(memory) {}

  [[nodiscard]] std::pmr::memory_resource* memory() const { return memory_; }

  // ---- cursor ----
  // Skips whitespace; the next byte, or -1 at the end of the text.
  int peek_ws() {
    while (pos_ < size_) {
      const auto c = static_cast<unsigned char>(data_[pos_]);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return c;
      ++pos_;
    }
    return -1;
  }
  int peek() const { return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : -1; }
  void bump() { ++pos_; }

  // ---- failures ----
  bool fail_at(msg::Syntax s, std::size_t index) { return fail(std::string(msg::text(s)), index); }
  // At the byte about to be read (its column counts it).
  bool fail_peek(msg::Syntax s) { return fail_at(s, pos_ < size_ ? pos_ + 1 : size_); }
  // After the last byte read.
  bool fail_here(msg::Syntax s) { return fail_at(s, pos_); }
  bool fail_here(std::string message) { return fail(std::move(message), pos_); }
  bool fail_unpositioned(std::string message);
  [[nodiscard]] bool pending_position() const { return failed_ && !positioned_; }
  void fix_position() {
    if (pending_position()) {
      index_ = pos_;
      positioned_ = true;
    }
  }
  // The recorded failure, its message moved out: the reader is spent.
  [[nodiscard]] ManifestError take_error();

  // ---- nesting ----
  // Called on the opening bracket before it is read.
  [[nodiscard]] bool enter() {
    if (++depth_ > MAX_DEPTH) return fail_peek(msg::Syntax::RecursionLimit);
    return true;
  }
  void leave() { --depth_; }

  // ---- pieces of values ----
  // The rest of true/false/null after its first byte.
  [[nodiscard]] bool parse_ident(std::string_view rest);
  // A string after its opening quote. The view points into the text or into a scratch buffer
  // that the next string overwrites.
  [[nodiscard]] bool parse_string(std::string_view& out);
  [[nodiscard]] bool parse_string(std::string& out);
  // A number; the cursor is on its '-' or first digit.
  [[nodiscard]] bool parse_number(Number& out);
  // Any JSON value. Objects are sorted with the last repeated key winning when `sorted`; kept in
  // reading order with repeats otherwise (buffered union content).
  [[nodiscard]] bool parse_any(JsonValue& out, bool sorted);
  // The value at the cursor has the wrong type: reads it (a scalar whole, a container not at all)
  // and fails with "invalid type: {found}, expected {expected}".
  [[nodiscard]] bool invalid_type_here(std::string_view expected);

  // ---- arrays and objects ----
  // Before each element: End at ']' (not read), Item with the cursor on the element.
  [[nodiscard]] Next next_element(bool& first);
  // Before each member: End at '}' (not read), Item with the key read.
  [[nodiscard]] Next next_key(bool& first, std::string_view& key);
  [[nodiscard]] bool object_colon();
  // After the last element / member.
  [[nodiscard]] bool end_seq();
  [[nodiscard]] bool end_map();
  // What end_seq / end_map step over before they would fail; then the pending failure takes
  // the position reached.
  void settle_after_seq();
  void settle_after_map();
  // Only whitespace may follow the top-level value.
  [[nodiscard]] bool end_document();

 private:
  bool fail(std::string message, std::size_t index);
  // Before an element or member: nothing before the first, a comma before the others. End at
  // `close` (not read); Item with the cursor on the item and `c` its first byte.
  Next next_item(bool& first, char close, msg::Syntax eof, msg::Syntax no_comma, int& c);
  // Reads `want` as the next byte after whitespace; fails with `eof` at the end of the text and
  // with `other` on any other byte.
  bool expect(char want, msg::Syntax eof, msg::Syntax other);
  // The members of an object after its '{', through its '}'.
  bool parse_members(JsonMembers& members, bool sorted);
  // The key plan of the current depth, for an object that is kept sorted.
  KeyPlan& key_plan();
  // Reads members into their planned places while the keys follow the plan. Returns as
  // next_key does after them; `placed` tells that the whole object followed the plan (then
  // the members are sorted and the '}' is next), otherwise what was read is in reading order.
  Next read_planned(JsonMembers& members, const KeyPlan& plan, bool& first, std::string_view& key,
                    bool& placed);
  bool parse_escape(std::string& out);
  bool parse_unicode_escape(std::string& out);
  bool hex4(std::uint32_t& out);

  const char* data_;
  std::size_t size_;
  std::pmr::memory_resource* memory_;
  std::size_t pos_ = 0;
  std::uint32_t depth_ = 0;
  std::string scratch_;
  // One plan a depth, for objects that are kept sorted, made when the first of them is met.
  std::vector<KeyPlan> plans_;

  bool failed_ = false;
  bool positioned_ = false;
  std::size_t index_ = 0;
  std::string message_;
};

}  // namespace tamrel::model::detail
