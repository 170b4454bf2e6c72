// The value text of the JSON writer (writer.hpp); the real layout also appears in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamrel::model {

// Appends s as a JSON string: quote and backslash escaped, \b \t \n \f \r, other controls as
// \u00XX (lowercase hex); everything else, "/" and non-ASCII included, as raw bytes.
void append_json_string(std::string& out, std::string_view s);

// The real layout: shortest round-trip digits, fixed notation for exponents -5..15, otherwise
// scientific ("1.0", "0.001234", "1e+16", "1.5e-7", "-0.0"); a non-finite value is "null".
void append_real(std::string& out, double value);
std::string format_real(double value);

void append_uint(std::string& out, std::uint64_t value);
void append_int(std::string& out, std::int64_t value);

}  // namespace tamrel::model
