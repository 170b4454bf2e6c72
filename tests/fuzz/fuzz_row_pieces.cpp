// The row-identity scanner fed the input in small pieces, as short reads would hand it over,
// against the same input scanned whole: both must give the same result and the same issues.
#include <cstdlib>
#include <vector>

#include "row_scan_setup.hpp"
#include "verify/row_scan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const RowScanSetup s = row_scan_setup(data, size);
  std::vector<tamrel::report::ReportIssue> whole_issues;
  const auto whole = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.bytes.size(), s.allow_duplicates, s.limits, s.expected_rows, whole_issues);

  std::vector<tamrel::report::ReportIssue> piece_issues;
  const auto pieces = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.piece_bytes, s.allow_duplicates, s.limits, s.expected_rows, piece_issues);
  if (!(whole == pieces) || !same_issues(whole_issues, piece_issues)) std::abort();
  return 0;
}
