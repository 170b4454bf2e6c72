// The shared predicates of the declared-value rules.
#pragma once

#include <string>
#include <string_view>

#include "base/text.hpp"

namespace tamrel::validate {

// The text without leading and trailing Unicode White_Space. Invalid UTF-8 is not space.
std::string_view trimmed(std::string_view text);
// "Non-empty" in every rule: non-empty after trimming.
inline bool is_blank(std::string_view text) { return trimmed(text).empty(); }

// Exactly 64 bytes of 0-9 / a-f.
bool is_sha256_hex(std::string_view text);
// "sha256:" then is_sha256_hex: exactly 71 bytes.
bool is_prefixed_sha256(std::string_view text);
// A complete RFC 3339 date-time ("T", "t" or space separator, leap second 60, offset Z/z/±hh:mm,
// a date that exists).
bool is_rfc3339(std::string_view text);

// The quoted form of names and ids inside messages; the decoder shows texts the same way.
using tamrel::quoted;

}  // namespace tamrel::validate
