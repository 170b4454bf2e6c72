// One row map line read as a row: the common form directly, anything else by the strict decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.hpp"
#include "model/codec.hpp"

namespace tamrel::verify {

// A row map line's fields, viewing the line's own bytes or the strict decoder's copy of them.
struct RowView {
  std::uint64_t row_id = 0;
  std::string_view db_id;
  std::optional<std::string_view> parent_id;
  bool ids_are_uuids = false;  // every id was seen as a hyphenated UUID: no rule can fail on it
};

// Fills row from line (its terminator removed) when the line is in the common form, which is
// then viewed in place; false leaves the line to the strict decoder, row changed or not.
bool read_common_row(std::string_view line, RowView& row);

// Fills row from line (its terminator removed), or returns the strict decoder's error when the
// line is no row object. A line in the common form is viewed in place; any other is decoded
// into decoded, which row then views.
std::optional<ManifestError> read_row(std::string_view line, RowView& row,
                                      model::JsonlRow& decoded);

}  // namespace tamrel::verify
