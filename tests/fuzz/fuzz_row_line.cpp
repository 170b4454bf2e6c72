// One row map line: the strict decoder on any bytes, and the fast row reader held to it. When
// the reader takes a line, the decoder accepts it with the same fields; when it declines, the
// scan's answer is the decoder's, error included.
#include <cstdlib>
#include <string_view>

#include "model/codec.hpp"
#include "row_scan_reference.hpp"
#include "verify/common_row.hpp"

namespace {

using tamrel::model::JsonlRow;
using tamrel::verify::RowView;

bool same_fields(const RowView& fast, const JsonlRow& strict) {
  if (fast.row_id != strict.row_id || fast.db_id != strict.db_id) return false;
  if (fast.parent_id.has_value() != strict.parent_id.has_value()) return false;
  if (fast.parent_id && *fast.parent_id != *strict.parent_id) return false;
  // Ids the reader vouches for skip the id rules, so they must pass them.
  return !fast.ids_are_uuids || (reference::is_uuid(strict.db_id) &&
                                 (!strict.parent_id || reference::is_uuid(*strict.parent_id)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  // The line as the scan decodes it: its carriage return removed.
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.ends_with('\r')) line.remove_suffix(1);
  const auto strict = tamrel::model::decode_jsonl_row(line);

  RowView fast;
  if (tamrel::verify::read_common_row(line, fast) &&
      (!strict.ok() || !same_fields(fast, strict.value()))) {
    std::abort();
  }
  // What the scan uses: the reader or, when it declines, the decoder.
  RowView row;
  JsonlRow copy;
  const auto error = tamrel::verify::read_row(line, row, copy);
  if (error.has_value() == strict.ok()) std::abort();
  if (error && error->text() != strict.error().text()) std::abort();
  if (!error && !same_fields(row, strict.value())) std::abort();
  return 0;
}
