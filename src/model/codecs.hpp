// How each kind of member is read from the text, read from a buffered union body, and written.
// A record is described once, by its field table (schema.hpp); these templates turn the table
// into the decoder's member matching, the expected-field lists, the missing-member check, the
// positional form and the writer's member order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "model/json_value.hpp"
#include "model/messages.hpp"
#include "model/reader.hpp"
#include "model/writer.hpp"

namespace tamrel::model::detail {

using msg::Syntax;

enum class Presence : std::uint8_t { Required, Optional, Defaulted };
inline constexpr Presence REQ = Presence::Required;
inline constexpr Presence OPT = Presence::Optional;
inline constexpr Presence DEF = Presence::Defaulted;

template <class R>
struct Field {
  std::string_view name;
  Presence presence;
  bool (*read)(Reader&, R&);
  bool (*read_content)(Reader&, const JsonValue&, R&);
  void (*write)(JsonWriter&, const R&);
  bool (*is_default)(const R&);  // absent (optional) or holding its default (defaulted)
};

template <class M>
struct MemberOf;
template <class R, class V>
struct MemberOf<V R::*> {
  using Record = R;
};

template <class C, auto M>
constexpr Field<typename MemberOf<decltype(M)>::Record> field(std::string_view name,
                                                              Presence presence) {
  using R = typename MemberOf<decltype(M)>::Record;
  return {name,
          presence,
          [](Reader& r, R& rec) { return C::json(r, rec.*M); },
          [](Reader& r, const JsonValue& v, R& rec) { return C::content(r, v, rec.*M); },
          [](JsonWriter& w, const R& rec) { C::write(w, rec.*M); },
          [](const R& rec) { return C::is_default(rec.*M); }};
}

// Specialized per record: name, owner (the union of a variant, empty otherwise), unit (a variant
// without fields), fields.
template <class R>
struct RecordTraits;
// Specialized per enumeration: names (JSON strings in declaration order).
template <class E>
struct EnumTraits;
// Specialized per tagged union: name, tags (in the order of the variant's alternatives).
template <class U>
struct UnionTraits;

// ---- message pieces ----

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
template <class Range, class Name>
std::string one_of(const Range& items, Name name) {
  std::string out;
  const std::size_t n = std::size(items);
  if (n > 2) out += "one of ";
  std::size_t i = 0;
  for (const auto& item : items) {
    if (i > 0) out += n == 2 ? " or " : ", ";
    out += '`';
    out += name(item);
    out += '`';
    ++i;
  }
  return out;
}

inline std::string_view same(std::string_view s) { return s; }

inline std::string invalid_type(std::string_view found, std::string_view expected) {
  return fmt::format(msg::INVALID_TYPE, found, expected);
}
inline std::string invalid_type(const JsonValue& found, std::string_view expected) {
  return invalid_type(describe(found), expected);
}
inline std::string unknown_variant(std::string_view name, const auto& names) {
  return fmt::format(msg::UNKNOWN_VARIANT, name, one_of(names, same));
}

template <class R>
std::string expecting() {
  using T = RecordTraits<R>;
  if (T::owner.empty()) return fmt::format(msg::WANT_STRUCT, T::name);
  return fmt::format(msg::WANT_VARIANT, T::owner, T::name);
}

template <class R>
std::string expecting_length() {
  const std::size_t n = RecordTraits<R>::fields.size();
  if (n == 1) return fmt::format(msg::WANT_1_ELEMENT, expecting<R>());
  return fmt::format(msg::WANT_N_ELEMENTS, expecting<R>(), n);
}

// A shape failure in the text takes the position reached; one in a buffered union body is
// positioned later, by the container around the union.
inline bool fail_shape(Reader& r, bool in_text, std::string message) {
  return in_text ? r.fail_here(std::move(message)) : r.fail_unpositioned(std::move(message));
}

template <class Names>
std::size_t find_name(const Names& names, std::string_view s) {
  std::size_t i = 0;
  for (; i < names.size(); ++i) {
    if (names[i] == s) break;
  }
  return i;
}

// The members of an object after its '{', up to its '}' (not read): `member(key)` reads each
// one from its colon on.
template <class Member>
bool read_members(Reader& r, Member&& member) {
  bool first = true;
  std::string_view key;
  for (;;) {
    const Next n = r.next_key(first, key);
    if (n == Next::Fail) return false;
    if (n == Next::End) return true;
    if (!member(key)) return false;
  }
}

// A variant name given as a string: the enumeration values or a union's tags.
template <class Names>
bool read_identifier(Reader& r, const Names& names, std::size_t& index) {
  const int c = r.peek_ws();
  if (c < 0) return r.fail_peek(Syntax::EofValue);
  if (c != '"') return r.invalid_type_here(msg::WANT_IDENTIFIER);
  r.bump();
  std::string_view s;
  if (!r.parse_string(s)) return false;
  index = find_name(names, s);
  if (index == names.size()) return r.fail_here(unknown_variant(s, names));
  return true;
}

// ---- scalars ----

struct Str {
  static bool json(Reader& r, std::string& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '"') return r.invalid_type_here(msg::WANT_STRING);
    r.bump();
    return r.parse_string(out);
  }
  static bool content(Reader& r, const JsonValue& v, std::string& out) {
    if (const JsonString* s = v.as_string()) {
      out.assign(s->data(), s->size());
      return true;
    }
    return r.fail_unpositioned(invalid_type(v, msg::WANT_STRING));
  }
  static void write(JsonWriter& w, const std::string& v) { w.string(v); }
  static bool is_default(const std::string&) { return false; }
};

template <class T, const char* Want>
struct UInt {
  static bool accept(Reader& r, bool in_text, const Number& n, T& out) {
    constexpr std::uint64_t MAX = std::numeric_limits<T>::max();
    switch (n.kind) {
      case Number::Kind::Unsigned:
        if (n.u > MAX)
          return fail_shape(r, in_text, fmt::format(msg::INVALID_VALUE, describe(n), Want));
        out = static_cast<T>(n.u);
        return true;
      case Number::Kind::Signed:
        return fail_shape(r, in_text, fmt::format(msg::INVALID_VALUE, describe(n), Want));
      case Number::Kind::Real: break;
    }
    return fail_shape(r, in_text, invalid_type(describe(n), Want));
  }
  static bool json(Reader& r, T& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '-' && (c < '0' || c > '9')) return r.invalid_type_here(Want);
    Number n;
    return r.parse_number(n) && accept(r, true, n, out);
  }
  static bool content(Reader& r, const JsonValue& v, T& out) {
    Number n;
    if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
      n.u = *u;
    } else if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
      n.kind = Number::Kind::Signed;
      n.i = *i;
    } else {
      return r.fail_unpositioned(invalid_type(v, Want));
    }
    return accept(r, false, n, out);
  }
  static void write(JsonWriter& w, T v) { w.uint(v); }
  static bool is_default(T) { return false; }
};

using U8 = UInt<std::uint8_t, msg::WANT_U8>;
using Count = UInt<std::uint64_t, msg::WANT_COUNT>;
using Size = UInt<std::uint64_t, msg::WANT_SIZE>;

struct Real {
  static double value_of(const Number& n) {
    switch (n.kind) {
      case Number::Kind::Unsigned: return static_cast<double>(n.u);
      case Number::Kind::Signed: return static_cast<double>(n.i);
      case Number::Kind::Real: break;
    }
    return n.d;
  }
  static bool json(Reader& r, double& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '-' && (c < '0' || c > '9')) return r.invalid_type_here(msg::WANT_REAL);
    Number n;
    if (!r.parse_number(n)) return false;
    out = value_of(n);
    return true;
  }
  static bool content(Reader& r, const JsonValue& v, double& out) {
    if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
      out = static_cast<double>(*u);
    } else if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
      out = static_cast<double>(*i);
    } else if (const auto* d = std::get_if<double>(&v.v)) {
      out = *d;
    } else {
      return r.fail_unpositioned(invalid_type(v, msg::WANT_REAL));
    }
    return true;
  }
  static void write(JsonWriter& w, double v) { w.real(v); }
  static bool is_default(double) { return false; }
};

struct Bool {
  static bool json(Reader& r, bool& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != 't' && c != 'f') return r.invalid_type_here(msg::WANT_BOOL);
    r.bump();
    out = c == 't';
    return r.parse_ident(out ? "rue" : "alse");
  }
  static bool content(Reader& r, const JsonValue& v, bool& out) {
    if (const bool* b = std::get_if<bool>(&v.v)) {
      out = *b;
      return true;
    }
    return r.fail_unpositioned(invalid_type(v, msg::WANT_BOOL));
  }
  static void write(JsonWriter& w, bool v) { w.boolean(v); }
  static bool is_default(bool) { return false; }
};

// A boolean member whose default is true.
struct DefaultTrue : Bool {
  static bool is_default(bool v) { return v; }
};

// ---- enumerations ----

template <class E>
struct Enum {
  static constexpr const auto& names = EnumTraits<E>::names;

  static bool json(Reader& r, E& out) {
    std::size_t index = 0;
    const int c = r.peek_ws();
    if (c == '"') {
      if (!read_identifier(r, names, index)) return false;
    } else if (c == '{') {
      // {"value": null}: the one-member map form.
      if (!r.enter()) return false;
      r.bump();
      if (!read_identifier(r, names, index) || !r.object_colon() || !unit_value(r)) return false;
      r.leave();
      const int end = r.peek_ws();
      if (end != '}') return r.fail_here(end < 0 ? Syntax::EofObject : Syntax::ExpectedValue);
      r.bump();
    } else {
      return r.fail_peek(c < 0 ? Syntax::EofValue : Syntax::ExpectedValue);
    }
    out = static_cast<E>(index);
    return true;
  }

  static bool content(Reader& r, const JsonValue& v, E& out) {
    std::size_t index = 0;
    if (const JsonString* s = v.as_string()) {
      index = find_name(names, *s);
      if (index == names.size()) return r.fail_unpositioned(unknown_variant(*s, names));
    } else if (const JsonObject* obj = v.as_object()) {
      if (obj->size() != 1) {
        return r.fail_unpositioned(
            fmt::format(msg::INVALID_VALUE, msg::FOUND_MAP, msg::WANT_SINGLE_KEY));
      }
      const JsonMember& m = obj->members.front();
      index = find_name(names, m.first);
      if (index == names.size()) return r.fail_unpositioned(unknown_variant(m.first, names));
      const JsonObject* inner = m.second.as_object();
      if (!m.second.is_null() && (inner == nullptr || !inner->empty())) {
        return r.fail_unpositioned(invalid_type(m.second, msg::WANT_UNIT));
      }
    } else {
      return r.fail_unpositioned(invalid_type(v, msg::WANT_ENUM_CONTENT));
    }
    out = static_cast<E>(index);
    return true;
  }

  static void write(JsonWriter& w, E v) { w.string(names[static_cast<std::size_t>(v)]); }
  static bool is_default(E) { return false; }

 private:
  static bool unit_value(Reader& r) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != 'n') return r.invalid_type_here(msg::WANT_UNIT);
    r.bump();
    return r.parse_ident("ull");
  }
};

// ---- containers of members ----

template <class C>
struct Opt {
  template <class T>
  static bool json(Reader& r, std::optional<T>& out) {
    if (r.peek_ws() == 'n') {
      r.bump();
      out.reset();
      return r.parse_ident("ull");
    }
    return C::json(r, out.emplace());
  }
  template <class T>
  static bool content(Reader& r, const JsonValue& v, std::optional<T>& out) {
    if (v.is_null()) {
      out.reset();
      return true;
    }
    return C::content(r, v, out.emplace());
  }
  template <class T>
  static void write(JsonWriter& w, const std::optional<T>& v) {
    if (v) {
      C::write(w, *v);
    } else {
      w.null();
    }
  }
  template <class T>
  static bool is_default(const std::optional<T>& v) {
    return !v.has_value();
  }
};

template <class C>
struct Seq {
  template <class T>
  static bool json(Reader& r, std::vector<T>& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '[') return r.invalid_type_here(msg::WANT_SEQUENCE);
    if (!r.enter()) return false;
    r.bump();
    bool first = true;
    for (;;) {
      const Next n = r.next_element(first);
      if (n == Next::End) break;
      if (n == Next::Fail || !C::json(r, out.emplace_back())) {
        r.settle_after_seq();
        return false;
      }
    }
    if (!r.end_seq()) return false;
    r.leave();
    return true;
  }
  template <class T>
  static bool content(Reader& r, const JsonValue& v, std::vector<T>& out) {
    const JsonArray* items = v.as_array();
    if (items == nullptr) return r.fail_unpositioned(invalid_type(v, msg::WANT_SEQUENCE));
    for (const JsonValue& item : *items) {
      if (!C::content(r, item, out.emplace_back())) return false;
    }
    return true;
  }
  template <class T>
  static void write(JsonWriter& w, const std::vector<T>& v) {
    w.begin_array();
    for (const T& item : v) {
      w.element();
      C::write(w, item);
    }
    w.end_array();
  }
  template <class T>
  static bool is_default(const std::vector<T>& v) {
    return v.empty();
  }
};

// A JsonValue as kept in a record: objects sorted, the last repeated key winning.
JsonValue canonical_copy(const JsonValue& v);

struct Any {
  static bool json(Reader& r, JsonValue& out) { return r.parse_any(out, true); }
  static bool content(Reader&, const JsonValue& v, JsonValue& out) {
    out = canonical_copy(v);
    return true;
  }
  static void write(JsonWriter& w, const JsonValue& v) { w.value(v); }
  static bool is_default(const JsonValue&) { return false; }
};

// The extensions map: string keys to JsonValues, sorted, the last repeated key winning.
struct ExtMap {
  static bool json(Reader& r, JsonObject& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '{') return r.invalid_type_here(msg::WANT_MAP);
    JsonValue v;
    if (!r.parse_any(v, true)) return false;
    out.adopt(std::move(std::get<JsonObject>(v.v)));
    return true;
  }
  static bool content(Reader& r, const JsonValue& v, JsonObject& out) {
    if (v.as_object() == nullptr) return r.fail_unpositioned(invalid_type(v, msg::WANT_MAP));
    out.adopt(std::move(std::get<JsonObject>(canonical_copy(v).v)));
    return true;
  }
  static void write(JsonWriter& w, const JsonObject& v) { w.object(v); }
  static bool is_default(const JsonObject& v) { return v.empty(); }
};

// ---- records ----

template <class R>
struct Rec {
  static constexpr const auto& fields = RecordTraits<R>::fields;

  static bool json(Reader& r, R& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '[' && c != '{') return r.invalid_type_here(expecting<R>());
    if (!r.enter()) return false;
    r.bump();
    if (c == '{') {
      if (!members(r, out)) {
        r.settle_after_map();
        return false;
      }
      if (!r.end_map()) return false;
    } else {
      if (!positional(r, out)) {
        r.settle_after_seq();
        return false;
      }
      if (!r.end_seq()) return false;
    }
    r.leave();
    return true;
  }

  static bool content(Reader& r, const JsonValue& v, R& out) {
    if (const JsonObject* obj = v.as_object()) {
      if constexpr (RecordTraits<R>::unit) return true;  // remaining members are ignored
      std::uint32_t seen = 0;
      for (const JsonMember& m : obj->members) {
        const std::size_t i = find_field(m.first);
        if (!claim(r, i, m.first, seen)) return false;
        if (!fields[i].read_content(r, m.second, out)) return false;
      }
      return check_missing(r, seen);
    }
    if (const JsonArray* items = v.as_array()) {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i >= items->size()) {
          if (fields[i].presence != REQ) continue;
          return r.fail_unpositioned(fmt::format(msg::INVALID_LENGTH, i, expecting_length<R>()));
        }
        if (!fields[i].read_content(r, (*items)[i], out)) return false;
      }
      // As in the text: an element beyond the last member.
      if (items->size() > fields.size()) {
        return r.fail_unpositioned(std::string(msg::text(Syntax::TrailingCharacters)));
      }
      return true;
    }
    return r.fail_unpositioned(invalid_type(v, expecting<R>()));
  }

  static void write(JsonWriter& w, const R& v) {
    w.begin_object();
    write_fields(w, v);
    w.end_object();
  }
  static void write_fields(JsonWriter& w, const R& v) {
    for (const auto& f : fields) {
      if (f.presence != REQ && f.is_default(v)) continue;
      w.key(f.name);
      f.write(w, v);
    }
  }
  static bool is_default(const R&) { return false; }

 private:
  static_assert(RecordTraits<R>::fields.size() <= 32, "the seen-members mask holds 32 bits");

  static std::size_t find_field(std::string_view name) {
    std::size_t i = 0;
    for (; i < fields.size(); ++i) {
      if (fields[i].name == name) break;
    }
    return i;
  }

  // An unknown or repeated member fails before its value is read.
  static bool claim(Reader& r, std::size_t i, std::string_view name, std::uint32_t& seen) {
    if (i == fields.size()) {
      return r.fail_unpositioned(fmt::format(msg::UNKNOWN_FIELD, name,
                                             one_of(fields, [](const auto& f) { return f.name; })));
    }
    if ((seen & (1u << i)) != 0) {
      return r.fail_unpositioned(fmt::format(msg::DUPLICATE_FIELD, fields[i].name));
    }
    seen |= 1u << i;
    return true;
  }

  static bool check_missing(Reader& r, std::uint32_t seen) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].presence == REQ && (seen & (1u << i)) == 0) {
        return r.fail_unpositioned(fmt::format(msg::MISSING_FIELD, fields[i].name));
      }
    }
    return true;
  }

  static bool members(Reader& r, R& out) {
    std::uint32_t seen = 0;
    const bool read = read_members(r, [&](std::string_view key) {
      const std::size_t i = find_field(key);
      return claim(r, i, key, seen) && r.object_colon() && fields[i].read(r, out);
    });
    return read && check_missing(r, seen);
  }

  static bool positional(Reader& r, R& out) {
    bool first = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const Next n = r.next_element(first);
      if (n == Next::Fail) return false;
      if (n == Next::End) {
        // The array ended: the rest must be optional or defaulted.
        for (std::size_t k = i; k < fields.size(); ++k) {
          if (fields[k].presence == REQ) {
            return r.fail_unpositioned(fmt::format(msg::INVALID_LENGTH, k, expecting_length<R>()));
          }
        }
        return true;
      }
      if (!fields[i].read(r, out)) return false;
    }
    return true;
  }
};

// ---- tagged unions ----

template <class U>
struct Union {
  static constexpr const auto& tags = UnionTraits<U>::tags;
  static_assert(std::variant_size_v<U> == std::tuple_size_v<std::decay_t<decltype(tags)>>);

  // The whole object (or array) is buffered first, so the tag may stand anywhere; the body is
  // then decoded as the variant's record. Failures in the body carry no position of their own:
  // the container around the union places them once it has read on past the union.
  static bool json(Reader& r, U& out) {
    const int c = r.peek_ws();
    if (c < 0) return r.fail_peek(Syntax::EofValue);
    if (c != '{' && c != '[') return r.invalid_type_here(expecting_union());
    if (!r.enter()) return false;
    r.bump();
    std::size_t tag = tags.size();
    JsonValue body;
    if (c == '{') {
      if (!buffer_members(r, tag, body.v.emplace<JsonObject>(r.memory()))) {
        r.settle_after_map();
        return false;
      }
      if (!r.end_map()) return false;
    } else {
      if (!buffer_elements(r, tag, body.v.emplace<JsonArray>(r.memory()))) {
        r.settle_after_seq();
        return false;
      }
      if (!r.end_seq()) return false;
    }
    r.leave();
    return decode_variant(r, tag, body, out);
  }

  static bool content(Reader& r, const JsonValue& v, U& out) {
    std::size_t tag = tags.size();
    JsonValue body;
    if (const JsonObject* obj = v.as_object()) {
      JsonObject& rest = body.v.emplace<JsonObject>();
      for (const JsonMember& m : obj->members) {
        if (m.first != msg::TAG) {
          rest.members.push_back(m);
          continue;
        }
        if (tag != tags.size()) {
          return r.fail_unpositioned(fmt::format(msg::DUPLICATE_FIELD, msg::TAG));
        }
        if (!content_tag(r, m.second, tag)) return false;
      }
    } else if (const JsonArray* items = v.as_array()) {
      if (items->empty()) return r.fail_unpositioned(fmt::format(msg::MISSING_FIELD, msg::TAG));
      if (!content_tag(r, items->front(), tag)) return false;
      body.v.emplace<JsonArray>(items->begin() + 1, items->end());
    } else {
      return r.fail_unpositioned(invalid_type(v, expecting_union()));
    }
    if (tag == tags.size()) return r.fail_unpositioned(fmt::format(msg::MISSING_FIELD, msg::TAG));
    return decode_variant(r, tag, body, out);
  }

  static void write(JsonWriter& w, const U& v) {
    w.begin_object();
    w.key(msg::TAG);
    w.string(tags[v.index()]);
    std::visit([&w](const auto& alt) { Rec<std::decay_t<decltype(alt)>>::write_fields(w, alt); },
               v);
    w.end_object();
  }
  static bool is_default(const U&) { return false; }

 private:
  static std::string expecting_union() {
    return fmt::format(msg::WANT_UNION, UnionTraits<U>::name);
  }

  static bool content_tag(Reader& r, const JsonValue& v, std::size_t& tag) {
    const JsonString* s = v.as_string();
    if (s == nullptr) return r.fail_unpositioned(invalid_type(v, msg::WANT_IDENTIFIER));
    tag = find_name(tags, *s);
    if (tag == tags.size()) return r.fail_unpositioned(unknown_variant(*s, tags));
    return true;
  }

  static bool buffer_members(Reader& r, std::size_t& tag, JsonObject& rest) {
    const bool read = read_members(r, [&](std::string_view key) {
      if (key != msg::TAG) {
        JsonMember& m = rest.members.emplace_back(JsonString(key, r.memory()));
        return r.object_colon() && r.parse_any(m.second, false);
      }
      if (tag != tags.size()) {
        return r.fail_unpositioned(fmt::format(msg::DUPLICATE_FIELD, msg::TAG));
      }
      return r.object_colon() && read_identifier(r, tags, tag);
    });
    if (!read) return false;
    if (tag == tags.size()) return r.fail_unpositioned(fmt::format(msg::MISSING_FIELD, msg::TAG));
    return true;
  }

  static bool buffer_elements(Reader& r, std::size_t& tag, JsonArray& rest) {
    bool first = true;
    Next n = r.next_element(first);
    if (n == Next::Fail) return false;
    if (n == Next::End) return r.fail_unpositioned(fmt::format(msg::MISSING_FIELD, msg::TAG));
    if (!read_identifier(r, tags, tag)) return false;
    // Read whole, as the object form is: an element beyond the variant's last member fails
    // only when the body is decoded, after the members before it.
    for (;;) {
      n = r.next_element(first);
      if (n == Next::Fail) return false;
      if (n == Next::End) return true;
      if (!r.parse_any(rest.emplace_back(), false)) return false;
    }
  }

  template <std::size_t I>
  static bool decode_alternative(Reader& r, const JsonValue& body, U& out) {
    using Alt = std::variant_alternative_t<I, U>;
    Alt& alt = out.template emplace<I>();
    if constexpr (RecordTraits<Alt>::unit) {
      // A variant without fields ignores the members of its object; as an array it must end
      // with the tag.
      const JsonArray* items = body.as_array();
      if (items != nullptr && !items->empty()) {
        return r.fail_unpositioned(std::string(msg::text(Syntax::TrailingCharacters)));
      }
      return true;
    } else {
      return Rec<Alt>::content(r, body, alt);
    }
  }

  static bool decode_variant(Reader& r, std::size_t tag, const JsonValue& body, U& out) {
    using Decode = bool (*)(Reader&, const JsonValue&, U&);
    static constexpr auto TABLE = []<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<Decode, sizeof...(I)>{&decode_alternative<I>...};
    }
    (std::make_index_sequence<std::variant_size_v<U>>{});
    return TABLE[tag](r, body, out);
  }
};

}  // namespace tamrel::model::detail
