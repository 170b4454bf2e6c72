// Arbitrary JSON held as a tree (attestations, extensions).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tamrel::model {

struct JsonValue;
struct JsonMember;  // {first: key, second: value}, defined below once JsonValue is complete

// Strings and containers take their memory from a resource: a decoded manifest's trees live in
// its arena (tree_arena.hpp); anything made elsewhere uses the general heap.
using JsonString = std::pmr::string;
using JsonArray = std::pmr::vector<JsonValue>;
using JsonMembers = std::pmr::vector<JsonMember>;

// An object's members sorted by key (byte-wise), keys unique: a repeated key keeps its last value.
struct JsonObject {
  JsonMembers members;

  JsonObject() = default;
  explicit JsonObject(std::pmr::memory_resource* memory);
  JsonObject(const JsonObject&) = default;
  JsonObject(JsonObject&&) noexcept = default;
  JsonObject& operator=(const JsonObject&) = default;
  // Takes the members with their resource, as adopt does: a record assigned a decoded tree
  // must not keep a copy of its outer level in its own arena (see TreeMemory).
  JsonObject& operator=(JsonObject&& other) noexcept {
    if (this != &other) adopt(std::move(other));
    return *this;
  }
  ~JsonObject() = default;

  [[nodiscard]] const JsonValue* find(std::string_view key) const;
  [[nodiscard]] bool empty() const;
  [[nodiscard]] std::size_t size() const;
  // Sorts members and drops all but the last of each repeated key (stable).
  void normalize();
  // Takes other's members together with their memory resource (assignment keeps this object's
  // resource and would copy them into it). The owner of this object must keep that resource
  // alive.
  void adopt(JsonObject&& other) noexcept;
};

struct JsonValue {
  // Alternatives in this order: null, bool, non-negative integer, negative integer, real,
  // string, array, object.
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, JsonString, JsonArray,
               JsonObject>
      v;  // default: null (no initializer here: it would need JsonObject complete)

  [[nodiscard]] bool is_null() const { return v.index() == 0; }

  // Makes the value a T. A null (as every value the decoder fills starts) is built over in
  // place: it owns nothing, and emplace would dispatch on the old alternative to destroy it.
  template <class T, class... Args>
  T& set(Args&&... args) {
    if (v.index() != 0) return v.template emplace<T>(std::forward<Args>(args)...);
    std::construct_at(&v, std::in_place_type<T>, std::forward<Args>(args)...);
    return *std::get_if<T>(&v);
  }
  [[nodiscard]] const JsonString* as_string() const { return std::get_if<JsonString>(&v); }
  [[nodiscard]] const JsonArray* as_array() const { return std::get_if<JsonArray>(&v); }
  [[nodiscard]] const JsonObject* as_object() const { return std::get_if<JsonObject>(&v); }
};

// A named class rather than std::pair: a pair of an incomplete type may not be instantiated
// inside JsonValue's own definition.
struct JsonMember {
  JsonString first;
  JsonValue second;

  JsonMember() = default;
  // The key keeps the resource it was made with; the value starts null.
  explicit JsonMember(JsonString key) : first(std::move(key)) {}
  JsonMember(JsonString key, JsonValue value) : first(std::move(key)), second(std::move(value)) {}
};

// Defined here, where JsonMember is complete.
inline JsonObject::JsonObject(std::pmr::memory_resource* memory) : members(memory) {}
inline void JsonObject::adopt(JsonObject&& other) noexcept {
  std::destroy_at(&members);
  std::construct_at(&members, std::move(other.members));
}
inline bool JsonObject::empty() const { return members.empty(); }
inline std::size_t JsonObject::size() const { return members.size(); }

// RFC 6901 pointer evaluation ("" is the whole value; "~1" is "/", "~0" is "~"). Returns null
// when the pointer does not resolve.
const JsonValue* json_pointer(const JsonValue& root, std::string_view pointer);

}  // namespace tamrel::model
