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

}  // namespace tamrel::verify
