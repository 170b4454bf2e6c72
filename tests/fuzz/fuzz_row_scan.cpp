// The row-identity scanner over the input held in memory. Whatever the bytes, the issues stay
// within their limit, no row is validated that was not read, the scan stops at the first row
// past the limits, and a scan that finishes has digested every byte. fuzz_row_pieces checks
// the same scan fed in short pieces.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "io/digest.hpp"
#include "row_scan_setup.hpp"
#include "verify/row_identity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const RowScanSetup s = row_scan_setup(data, size);
  std::vector<tamrel::report::ReportIssue> issues;
  const auto scan = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.bytes.size(), s.allow_duplicates, s.limits, s.expected_rows, issues);
  if (issues.size() > s.limits.max_report_issues) std::abort();
  if (scan.validated_rows > scan.rows) std::abort();
  if (scan.rows > std::min(s.limits.max_row_map_rows, s.expected_rows) + 1) std::abort();
  if (scan.sha256 && *scan.sha256 != tamrel::io::sha256_hex(s.bytes)) std::abort();
  return 0;
}
