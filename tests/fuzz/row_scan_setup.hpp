// What one row-scan input selects with its first byte: limits small enough that every stop
// condition is reachable. The rest of the input is the row map.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/limits.hpp"
#include "report/report.hpp"

struct RowScanSetup {
  std::string_view bytes;
  tamrel::ResourceLimits limits;
  bool allow_duplicates;
  std::uint64_t expected_rows;
  std::size_t piece_bytes;  // for a scan fed as short reads would hand the bytes over
};

inline RowScanSetup row_scan_setup(const unsigned char* data, std::size_t size) {
  const unsigned knob = size > 0 ? data[0] : 0;
  RowScanSetup s{size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)
                          : std::string_view(),
                 {},
                 (knob & 1) != 0,
                 8 + (knob & 0x0F),
                 1 + knob % 13};
  s.limits.max_row_map_line_bytes = 16 + (knob & 0x3F) * 4;
  s.limits.max_row_map_rows = 1 + (knob >> 6) * 8;
  s.limits.max_row_map_tracked_id_bytes = 64 + knob;
  s.limits.max_report_issues = 1 + (knob & 7);
  return s;
}

// The same issues in the same order, code and text.
inline bool same_issues(const std::vector<tamrel::report::ReportIssue>& a,
                        const std::vector<tamrel::report::ReportIssue>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].code != b[i].code || a[i].message != b[i].message) return false;
  }
  return true;
}
