// The row-identity scanner over the input held in memory, with small limits so every stop
// condition is reachable. The bytes are scanned whole and again in small pieces, as short reads
// would hand them over: both must give the same result and the same issues.
#include <cstdlib>
#include <string_view>
#include <vector>

#include "verify/row_identity.hpp"

namespace {

bool same(const tamrel::verify::RowScanResult& a, const tamrel::verify::RowScanResult& b) {
  return a.sha256 == b.sha256 && a.rows == b.rows && a.validated_rows == b.validated_rows;
}

bool same(const std::vector<tamrel::report::ReportIssue>& a,
          const std::vector<tamrel::report::ReportIssue>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].code != b[i].code || a[i].message != b[i].message) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const unsigned knob = size > 0 ? data[0] : 0;
  const std::string_view bytes =
      size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)
               : std::string_view();
  tamrel::ResourceLimits limits;
  limits.max_row_map_line_bytes = 16 + (knob & 0x3F) * 4;
  limits.max_row_map_rows = 1 + (knob >> 6) * 8;
  limits.max_row_map_tracked_id_bytes = 64 + knob;
  limits.max_report_issues = 1 + (knob & 7);
  const bool allow_duplicates = (knob & 1) != 0;
  const std::uint64_t expected_rows = 8 + (knob & 0x0F);

  std::vector<tamrel::report::ReportIssue> whole_issues;
  const auto whole = tamrel::verify::scan_row_identity_bytes(bytes, bytes.size(), allow_duplicates,
                                                             limits, expected_rows, whole_issues);
  if (whole_issues.size() > limits.max_report_issues) std::abort();

  std::vector<tamrel::report::ReportIssue> piece_issues;
  const auto pieces = tamrel::verify::scan_row_identity_bytes(
      bytes, 1 + knob % 13, allow_duplicates, limits, expected_rows, piece_issues);
  if (!same(whole, pieces) || !same(whole_issues, piece_issues)) std::abort();
  return 0;
}
