// The row-map scan written for reading: each rule once, in its order, with nothing done for
// speed. The fuzz targets hold the scanner to it, which must give the same issues, counts,
// digest and stop on any bytes under any limits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/limits.hpp"
#include "io/digest.hpp"
#include "model/codec.hpp"
#include "verify/issues.hpp"
#include "verify/row_scan.hpp"

namespace reference {

inline bool hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool hyphenated_uuid(std::string_view t) {
  if (t.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? t[i] != '-' : !hex(t[i])) return false;
  }
  return true;
}

// 32 hex digits, 8-4-4-4-12, the same in braces, or after "urn:uuid:"; either case.
inline bool is_uuid(std::string_view t) {
  switch (t.size()) {
    case 32: return std::all_of(t.begin(), t.end(), hex);
    case 36: return hyphenated_uuid(t);
    case 38: return t.front() == '{' && t.back() == '}' && hyphenated_uuid(t.substr(1, 36));
    case 45: return t.starts_with("urn:uuid:") && hyphenated_uuid(t.substr(9));
    default: return false;
  }
}

inline tamrel::verify::RowScanResult scan_rows(std::string_view bytes, bool allow_duplicates,
                                               const tamrel::ResourceLimits& limits,
                                               std::uint64_t expected_rows,
                                               std::vector<tamrel::report::ReportIssue>& issues) {
  namespace is = tamrel::verify::issues;
  using tamrel::verify::RowScanStop;
  const auto push = [&](const auto& issue, const auto&... args) {
    tamrel::report::add_issue_bounded(issues, limits.max_report_issues, issue, args...);
  };
  // The first failing rule only.
  const auto check_id = [&](std::uint64_t index, std::string_view id, const auto& empty,
                            const auto& nul, const auto& not_uuid) {
    if (id.empty()) {
      push(empty, index);
    } else if (id.find('\0') != std::string_view::npos) {
      push(nul, index);
    } else if (!is_uuid(id)) {
      push(not_uuid, index);
    }
  };

  tamrel::verify::RowScanResult result;
  const auto stop = [&](RowScanStop why) {
    result.stop = why;
    return result;
  };
  const std::uint64_t line_limit = std::max<std::uint64_t>(limits.max_row_map_line_bytes, 1);
  std::unordered_set<std::string> seen;
  std::uint64_t tracked = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    // A line runs to its line feed, which it includes; the last needs none.
    const std::size_t lf = bytes.find('\n', at);
    const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
    std::string_view line = bytes.substr(at, end - at);
    at = end;

    const std::uint64_t index = result.rows++;
    if (result.rows > limits.max_row_map_rows) {
      push(is::row_identity_rows_over_limit, limits.max_row_map_rows);
      return stop(RowScanStop::RowLimit);
    }
    if (result.rows > expected_rows) {
      push(is::row_identity_rows_over_declared, expected_rows);
      return stop(RowScanStop::DeclaredRows);
    }
    if (line.size() > line_limit) {
      push(is::row_identity_line_too_large, index, limits.max_row_map_line_bytes);
      return stop(RowScanStop::LineTooLarge);
    }
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const auto decoded = tamrel::model::decode_jsonl_row(line);
    if (!decoded.ok()) {
      push(is::row_identity_jsonl_invalid_json, index, decoded.error());
      continue;
    }
    const tamrel::model::JsonlRow& row = decoded.value();
    if (row.row_id != index) push(is::row_identity_row_id_mismatch, index, row.row_id);
    check_id(index, row.db_id, is::row_identity_db_id_empty, is::row_identity_db_id_contains_nul,
             is::row_identity_db_id_invalid_uuid);
    if (row.parent_id) {
      check_id(index, *row.parent_id, is::row_identity_parent_id_empty,
               is::row_identity_parent_id_contains_nul, is::row_identity_parent_id_invalid_uuid);
    }
    ++result.validated_rows;
    if (allow_duplicates) continue;
    if (seen.contains(row.db_id)) {
      push(is::row_identity_duplicate_db_id, index);
      continue;
    }
    const std::uint64_t sum = tracked + row.db_id.size();
    tracked = sum < tracked ? std::numeric_limits<std::uint64_t>::max() : sum;
    if (tracked > limits.max_row_map_tracked_id_bytes) {
      push(is::row_identity_duplicate_tracking_limit_exceeded, limits.max_row_map_tracked_id_bytes);
      return stop(RowScanStop::TrackingLimit);
    }
    seen.insert(row.db_id);
  }
  result.sha256 = tamrel::io::sha256_hex(bytes);
  return result;
}

}  // namespace reference
