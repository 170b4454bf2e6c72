// The row-identity scanner against the reference scan on the same bytes under the same limits:
// the same issues in order (code and text), counts, digest and stop. fuzz_row_pieces checks
// the scanner fed in short pieces against itself fed whole.
#include <cstdlib>
#include <vector>

#include "row_scan_reference.hpp"
#include "row_scan_setup.hpp"
#include "verify/row_scan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const RowScanSetup s = row_scan_setup(data, size);
  std::vector<tamrel::report::ReportIssue> issues;
  const auto scan = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.bytes.size(), s.allow_duplicates, s.limits, s.expected_rows, issues);
  std::vector<tamrel::report::ReportIssue> expected_issues;
  const auto expected =
      reference::scan_rows(s.bytes, s.allow_duplicates, s.limits, s.expected_rows, expected_issues);
  if (!(scan == expected) || !same_issues(issues, expected_issues)) std::abort();
  return 0;
}
