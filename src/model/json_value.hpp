// Arbitrary JSON held as a tree (attestations, extensions).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tamrel::model {

struct JsonValue;
struct JsonMember;  // {first: key, second: value}, defined below once JsonValue is complete

using JsonArray = std::vector<JsonValue>;

// An object's members sorted by key (byte-wise), keys unique: a repeated key keeps its last value.
struct JsonObject {
  std::vector<JsonMember> members;

  [[nodiscard]] const JsonValue* find(std::string_view key) const;
  [[nodiscard]] bool empty() const;
  [[nodiscard]] std::size_t size() const;
  // Sorts members and drops all but the last of each repeated key (stable).
  void normalize();
};

struct JsonValue {
  // Alternatives in this order: null, bool, non-negative integer, negative integer, real,
  // string, array, object.
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
               JsonObject>
      v;  // default: null (no initializer here: it would need JsonObject complete)

  [[nodiscard]] bool is_null() const { return v.index() == 0; }
  [[nodiscard]] const std::string* as_string() const { return std::get_if<std::string>(&v); }
  [[nodiscard]] const JsonArray* as_array() const { return std::get_if<JsonArray>(&v); }
  [[nodiscard]] const JsonObject* as_object() const { return std::get_if<JsonObject>(&v); }
};

// A named class rather than std::pair: a pair of an incomplete type may not be instantiated
// inside JsonValue's own definition.
struct JsonMember {
  std::string first;
  JsonValue second;

  JsonMember() = default;
  JsonMember(std::string key, JsonValue value) : first(std::move(key)), second(std::move(value)) {}
};

inline bool JsonObject::empty() const { return members.empty(); }
inline std::size_t JsonObject::size() const { return members.size(); }

// RFC 6901 pointer evaluation ("" is the whole value; "~1" is "/", "~0" is "~"). Returns null
// when the pointer does not resolve.
const JsonValue* json_pointer(const JsonValue& root, std::string_view pointer);

}  // namespace tamrel::model
