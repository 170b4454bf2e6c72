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
  bool in_place = false;       // the ids view the line, not the decoder's copy
  bool ids_are_uuids = false;  // every id was seen as a hyphenated UUID: no rule can fail on it
  bool db_id_packed = false;   // db_id is a lower-case hyphenated UUID, packed below
  unsigned char packed_db_id[16];
};

// Fills row from line (its terminator removed), or returns the strict decoder's error when the
// line is no row object. A line in the common form is viewed in place; any other is decoded
// into decoded, which row then views.
std::optional<ManifestError> read_row(std::string_view line, RowView& row,
                                      model::JsonlRow& decoded);

// A common row at the start of bytes, viewed in place when its line ends inside them: the bytes
// of that line, its line feed included, or 0 when there is none (the caller then cuts the line
// and calls read_row, which decides on it alone). Row may be changed either way.
std::size_t read_common_row_line(std::string_view bytes, RowView& row);

}  // namespace tamrel::verify
