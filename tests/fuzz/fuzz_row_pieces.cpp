// The row-identity scanner fed the input in small pieces, as short reads would hand it over,
// against the same input scanned whole: both must give the same result and the same issues.
#include <cstdlib>
#include <vector>

#include "row_scan_setup.hpp"
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
  const RowScanSetup s = row_scan_setup(data, size);
  std::vector<tamrel::report::ReportIssue> whole_issues;
  const auto whole = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.bytes.size(), s.allow_duplicates, s.limits, s.expected_rows, whole_issues);

  std::vector<tamrel::report::ReportIssue> piece_issues;
  const auto pieces = tamrel::verify::scan_row_identity_bytes(
      s.bytes, s.piece_bytes, s.allow_duplicates, s.limits, s.expected_rows, piece_issues);
  if (!same(whole, pieces) || !same(whole_issues, piece_issues)) std::abort();
  return 0;
}
