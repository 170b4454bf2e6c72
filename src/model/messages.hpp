// The decoder's message catalogue: every text a decode failure can carry, in one place.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tamrel::model::msg {

// Syntax failures, each with one fixed text.
enum class Syntax : std::uint8_t {
  EofList,
  EofObject,
  EofString,
  EofValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidUnicode,
  ControlCharacter,
  KeyMustBeString,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  TrailingComma,
  TrailingCharacters,
  RecursionLimit,
  Count_,
};

inline constexpr std::array<std::string_view, static_cast<std::size_t>(Syntax::Count_)>
    SYNTAX_TEXT = {
        "EOF while parsing a list",
        "EOF while parsing an object",
        "EOF while parsing a string",
        "EOF while parsing a value",
        "expected `:`",
        "expected `,` or `]`",
        "expected `,` or `}`",
        "expected ident",
        "expected value",
        "invalid escape",
        "invalid number",
        "number out of range",
        "invalid unicode code point",
        "control character (\\u0000-\\u001F) found while parsing a string",
        "key must be a string",
        "lone leading surrogate in hex escape",
        "unexpected end of hex escape",
        "trailing comma",
        "trailing characters",
        "recursion limit exceeded",
};

constexpr std::string_view text(Syntax s) { return SYNTAX_TEXT[static_cast<std::size_t>(s)]; }

// Shape failures: format templates.
inline constexpr char INVALID_TYPE[] = "invalid type: {}, expected {}";
inline constexpr char INVALID_VALUE[] = "invalid value: {}, expected {}";
inline constexpr char INVALID_LENGTH[] = "invalid length {}, expected {}";
inline constexpr char UNKNOWN_FIELD[] = "unknown field `{}`, expected {}";
inline constexpr char UNKNOWN_VARIANT[] = "unknown variant `{}`, expected {}";
inline constexpr char DUPLICATE_FIELD[] = "duplicate field `{}`";
inline constexpr char MISSING_FIELD[] = "missing field `{}`";

// What was found, for INVALID_TYPE / INVALID_VALUE.
inline constexpr char FOUND_NULL[] = "null";
inline constexpr char FOUND_BOOL[] = "boolean `{}`";
inline constexpr char FOUND_INTEGER[] = "integer `{}`";
inline constexpr char FOUND_REAL[] = "floating point `{}`";
inline constexpr char FOUND_STRING[] = "string {}";
inline constexpr char FOUND_SEQUENCE[] = "sequence";
inline constexpr char FOUND_MAP[] = "map";

// What was needed.
inline constexpr char WANT_STRING[] = "a string";
inline constexpr char WANT_BOOL[] = "a boolean";
inline constexpr char WANT_U8[] = "u8";
inline constexpr char WANT_COUNT[] = "usize";
inline constexpr char WANT_SIZE[] = "u64";
inline constexpr char WANT_REAL[] = "f64";
inline constexpr char WANT_SEQUENCE[] = "a sequence";
inline constexpr char WANT_MAP[] = "a map";
inline constexpr char WANT_UNIT[] = "unit";
inline constexpr char WANT_IDENTIFIER[] = "variant identifier";
inline constexpr char WANT_ENUM_CONTENT[] = "string or map";
inline constexpr char WANT_SINGLE_KEY[] = "map with a single key";
inline constexpr char WANT_STRUCT[] = "struct {}";
inline constexpr char WANT_VARIANT[] = "struct variant {}::{}";
inline constexpr char WANT_UNION[] = "internally tagged enum {}";
inline constexpr char WANT_N_ELEMENTS[] = "{} with {} elements";
inline constexpr char WANT_1_ELEMENT[] = "{} with 1 element";

// A write to the manifest file that accepted no byte.
inline constexpr char WRITE_ZERO[] = "failed to write whole buffer";

// The name of the union tag member.
inline constexpr std::string_view TAG = "kind";

}  // namespace tamrel::model::msg
