// One row map line read as a row: the common form directly, anything else by the strict decoder.
#pragma once

#include <optional>
#include <string_view>

#include "base/result.hpp"
#include "model/codec.hpp"

namespace tamrel::verify {

// Fills row from line (its terminator removed), or returns the strict decoder's error when the
// line is no row object. The row's strings keep their capacity from call to call.
std::optional<ManifestError> read_row(std::string_view line, model::JsonlRow& row);

// A common row at the start of bytes, read in place when its line ends inside them: the bytes
// of that line, its line feed included, or 0 when there is none (the caller then cuts the line
// and calls read_row, which decides on it alone). Row may be changed either way.
std::size_t read_common_row_line(std::string_view bytes, model::JsonlRow& row);

}  // namespace tamrel::verify
