// The row-identity scanner, shared by verification and creation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/limits.hpp"
#include "base/result.hpp"
#include "report/report.hpp"

namespace tamrel::verify {

// Why a scan ended before the end of its file.
enum class RowScanStop : std::uint8_t { None, RowLimit, DeclaredRows, LineTooLarge, TrackingLimit };

struct RowScanResult {
  std::optional<std::string> sha256;  // none when the scan stopped early
  std::uint64_t rows = 0;             // lines read, valid or not
  std::uint64_t validated_rows = 0;   // lines that decoded as a row object
  RowScanStop stop = RowScanStop::None;

  bool operator==(const RowScanResult&) const = default;
};

// One pass over a file open for reading from its start: lines, limits, row objects, duplicate
// ids and the digest. Issues go through the bounded add into issues. Errors: Io (read).
Result<RowScanResult> scan_row_identity_jsonl(int fd, bool allow_duplicate_db_ids,
                                              const ResourceLimits& limits,
                                              std::uint64_t expected_rows,
                                              std::vector<report::ReportIssue>& issues);

// The same pass over bytes in memory, handed to the scanner in pieces of piece_bytes (the last
// may be shorter), as reads of a file would hand them.
RowScanResult scan_row_identity_bytes(std::string_view bytes, std::size_t piece_bytes,
                                      bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                      std::uint64_t expected_rows,
                                      std::vector<report::ReportIssue>& issues);

}  // namespace tamrel::verify
