// The row-map scanner: bytes in file order become lines, lines become rows, and every row is
// checked in order against the limits, the declared count and the ids seen before.
#include "verify/row_scan.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "io/digest.hpp"
#include "io/file.hpp"
#include "verify/common_row.hpp"
#include "verify/id_set.hpp"
#include "verify/issues.hpp"
#include "verify/uuid.hpp"

// The look-ahead, switched off by a row-scan bench build (the prefetch's switch is in
// id_set.hpp).
#ifndef TAMREL_ROWSCAN_LOOKAHEAD
#define TAMREL_ROWSCAN_LOOKAHEAD 1
#endif

namespace tamrel::verify {

namespace {

// Reads of 128 KiB bought 4-7 % over this on a 1 M-row map, under the 10 % a piece must earn.
constexpr std::size_t READ_BUFFER_BYTES = 8192;

enum class Step : std::uint8_t { Next, Stop };

struct ScanParams {
  bool allow_duplicate_db_ids;
  const ResourceLimits& limits;
  std::uint64_t expected_rows;
  std::uint64_t file_bytes;  // as the scan began; a hint only
  std::vector<report::ReportIssue>& issues;
  IdHashKeys keys;
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// The rules an id breaks, for db_id and for parent_id.
struct IdIssues {
  report::Issue<std::uint64_t> empty;
  report::Issue<std::uint64_t> contains_nul;
  report::Issue<std::uint64_t> invalid_uuid;
};
constexpr IdIssues DB_ID_ISSUES{issues::row_identity_db_id_empty,
                                issues::row_identity_db_id_contains_nul,
                                issues::row_identity_db_id_invalid_uuid};
constexpr IdIssues PARENT_ID_ISSUES{issues::row_identity_parent_id_empty,
                                    issues::row_identity_parent_id_contains_nul,
                                    issues::row_identity_parent_id_invalid_uuid};

// One scan: bytes in file order are cut into lines, and every line is checked in order (the
// source of the bytes hashes them). A line that spans two pieces is put together in a buffer
// kept for the whole scan.
//
// Lines are decoded a few ahead of the line being checked, so that the hash-set slot of each
// db_id can be prefetched while earlier lines are checked: with a million ids the table is far
// larger than the caches and a cold probe costs more than decoding the line. Decoding has no
// side effects; every check, count and issue still happens in line order, lines decoded past a
// stop are dropped unseen, and every queued line is checked before the bytes it views are reused.
template <class Offset>
class RowScan {
 public:
  explicit RowScan(const ScanParams& p)
      : allow_duplicates_(p.allow_duplicate_db_ids),
        limits_(p.limits),
        line_limit_(std::max<std::uint64_t>(p.limits.max_row_map_line_bytes, 1)),
        expected_rows_(p.expected_rows),
        issues_(p.issues),
        ids_(p.keys, p.limits.max_row_map_tracked_id_bytes) {
    // Room up front for the ids the declared count and the file's size both allow, so that a
    // common map never rehashes; a lying manifest buys nothing its file does not bear out.
    if (!allow_duplicates_) {
      ids_.reserve(static_cast<std::size_t>(std::min(
          {expected_rows_, p.file_bytes / SHORTEST_TRACKED_ROW_BYTES + 1, FIRST_TABLE_IDS})));
    }
  }

  // The next bytes of the file. False once the scan has stopped: no later byte changes its
  // result, and a stopped scan returns no digest.
  bool feed(std::string_view bytes) {
    while (!bytes.empty()) {
      const std::size_t lf = bytes.find('\n');
      const std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
      // More than the limit without a completed line: a too-large line always stops the scan,
      // at the latest on itself, so nothing of it needs to be kept.
      if (pending_.size() + take > line_limit_) {
        if (queued_ < LOOKAHEAD || check_oldest() == Step::Next) {
          window_[(head_ + queued_++) % LOOKAHEAD].too_large = true;
          (void)drain();
        }
        return false;
      }
      if (lf == std::string_view::npos) {
        pending_.append(bytes);
        break;
      }
      std::string_view line = bytes.substr(0, take);
      if (!pending_.empty()) {
        pending_.append(line);
        line = pending_;
      }
      if (add_line(line) == Step::Stop) return false;
      if (!pending_.empty()) {
        if (drain() == Step::Stop) return false;
        pending_.clear();
      }
      bytes.remove_prefix(take);
    }
    return drain() == Step::Next;
  }

  // After the last byte, or once feed returned false; the digest is the caller's to add.
  RowScanResult finish() {
    // A final line without a terminator; a file ending in LF has no extra empty line.
    if (result_.stop == RowScanStop::None && !pending_.empty() &&
        add_line(pending_) == Step::Next) {
      (void)drain();
    }
    return std::move(result_);
  }

 private:
  static constexpr std::size_t LOOKAHEAD = TAMREL_ROWSCAN_LOOKAHEAD ? 8 : 1;
  static constexpr std::uint64_t ISSUE_ROOM = 32;
  // {"row_id":0,"db_id":"0"} and its line feed: only one empty id is ever tracked.
  static constexpr std::uint64_t SHORTEST_TRACKED_ROW_BYTES = 25;
  // Beyond this the table grows as the rows arrive, so a scan that stops at the tracking
  // limit holds no table sized for ids it never reached.
  static constexpr std::uint64_t FIRST_TABLE_IDS = std::uint64_t{1} << 20;

  struct Pending {
    bool too_large = false;
    std::optional<ManifestError> error;  // the strict decoder's, when the line is no row
    RowView row;                         // when there is no error
    model::JsonlRow copy;                // what row views when not the bytes read
    std::uint64_t hash = 0;              // of row.db_id, when duplicates are tracked
  };

  // One complete line, its terminator included.
  Step add_line(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    Pending& slot = window_[(head_ + queued_) % LOOKAHEAD];
    slot.too_large = false;
    slot.error = read_row(line, slot.row, slot.copy);
    if (!allow_duplicates_ && !slot.error) {
      slot.hash = ids_.hash(slot.row.db_id);
      ids_.prefetch(slot.hash);
    }
    ++queued_;
    return queued_ == LOOKAHEAD ? check_oldest() : Step::Next;
  }

  // Checks every line still queued.
  Step drain() {
    while (queued_ > 0) {
      if (check_oldest() == Step::Stop) return Step::Stop;
    }
    return Step::Next;
  }

  Step check_oldest() {
    Pending& line = window_[head_];
    head_ = (head_ + 1) % LOOKAHEAD;
    --queued_;
    return check(line);
  }

  Step check(const Pending& line) {
    const std::uint64_t index = result_.rows++;
    if (result_.rows > limits_.max_row_map_rows) {
      return stop(RowScanStop::RowLimit, issues::row_identity_rows_over_limit,
                  limits_.max_row_map_rows);
    }
    if (result_.rows > expected_rows_) {
      return stop(RowScanStop::DeclaredRows, issues::row_identity_rows_over_declared,
                  expected_rows_);
    }
    if (line.too_large) {
      return stop(RowScanStop::LineTooLarge, issues::row_identity_line_too_large, index,
                  limits_.max_row_map_line_bytes);
    }
    if (line.error) {
      push(issues::row_identity_jsonl_invalid_json, index, *line.error);
      return Step::Next;
    }
    const RowView& row = line.row;
    if (row.row_id != index) push(issues::row_identity_row_id_mismatch, index, row.row_id);
    if (!row.ids_are_uuids) {
      check_id(index, DB_ID_ISSUES, row.db_id);
      if (row.parent_id) check_id(index, PARENT_ID_ISSUES, *row.parent_id);
    }
    ++result_.validated_rows;
    if (allow_duplicates_) return Step::Next;
    if (ids_.contains(row.db_id, line.hash)) {
      push(issues::row_identity_duplicate_db_id, index);
      return Step::Next;
    }
    tracked_bytes_ = saturating_add(tracked_bytes_, row.db_id.size());
    if (tracked_bytes_ > limits_.max_row_map_tracked_id_bytes) {
      return stop(RowScanStop::TrackingLimit,
                  issues::row_identity_duplicate_tracking_limit_exceeded,
                  limits_.max_row_map_tracked_id_bytes);
    }
    if (ids_.size() >= ids_.room()) grow_ids(index);
    ids_.insert_new(row.db_id, line.hash);
    return Step::Next;
  }

  // Room for every id the limits still admit (the declared rows left, and the tracking budget
  // left at the mean id length so far) rather than doubling past them, but at most sixteen
  // times the ids seen, so that a declared count is trusted only as far as the file bears it
  // out. Called when the table is full, with this row's id counted and not yet in.
  void grow_ids(std::uint64_t index) {
    const std::uint64_t seen = ids_.size();
    const std::uint64_t rows_left =
        std::min(expected_rows_, limits_.max_row_map_rows) - index;  // this row included
    const std::uint64_t mean = std::max<std::uint64_t>(1, tracked_bytes_ / (seen + 1));
    const std::uint64_t budget_left =
        (limits_.max_row_map_tracked_id_bytes - tracked_bytes_) / mean + 1;
    const std::uint64_t more = std::clamp<std::uint64_t>(std::min(rows_left, budget_left), 1,
                                                         15 * std::max<std::uint64_t>(seen, 1));
    ids_.reserve(static_cast<std::size_t>(seen + more));
  }

  template <class... Args>
  Step stop(RowScanStop why, const report::Issue<Args...>& raise,
            const std::type_identity_t<Args>&... args) {
    push(raise, args...);
    result_.stop = why;
    return Step::Stop;
  }

  // An issue that meets a full list only cuts and marks it; every later one would be dropped,
  // so it is not even looked at.
  template <class... Args>
  void push(const report::Issue<Args...>& raise, const std::type_identity_t<Args>&... args) {
    if (issues_full_) return;
    issues_full_ = issues_.size() >= limits_.max_report_issues;
    // Room for the issues the limit keeps, at most a few dozen, at once rather than by doubling.
    if (issues_.size() == issues_.capacity()) {
      issues_.reserve(issues_.size() + static_cast<std::size_t>(std::min<std::uint64_t>(
                                           limits_.max_report_issues + 1, ISSUE_ROOM)));
    }
    report::add_issue_bounded(issues_, limits_.max_report_issues, raise, args...);
  }

  // The first failing rule only.
  void check_id(std::uint64_t index, const IdIssues& raise, std::string_view id) {
    if (id.empty()) {
      push(raise.empty, index);
    } else if (id.find('\0') != std::string_view::npos) {
      push(raise.contains_nul, index);
    } else if (!is_uuid(id)) {
      push(raise.invalid_uuid, index);
    }
  }

  bool allow_duplicates_;
  const ResourceLimits& limits_;
  std::uint64_t line_limit_;
  std::uint64_t expected_rows_;
  std::vector<report::ReportIssue>& issues_;
  bool issues_full_ = false;
  RowScanResult result_;
  std::uint64_t tracked_bytes_ = 0;
  IdSet<Offset> ids_;
  std::array<Pending, LOOKAHEAD> window_;
  std::size_t head_ = 0;
  std::size_t queued_ = 0;
  std::string pending_;  // the part of a line that began in an earlier piece
};

// Pieces come from source.next() until it gives an empty one; source.digest() is then the
// digest of them all. Offsets into the id arena take 4 bytes whenever the tracking limit keeps
// the arena under 4 GiB.
template <class Source>
Result<RowScanResult> scan_pieces(const ScanParams& p, Source& source) {
  auto run = [&](auto& scan) -> Result<RowScanResult> {
    for (;;) {
      TAMREL_TRY(const std::string_view piece, source.next());
      if (piece.empty() || !scan.feed(piece)) break;
    }
    RowScanResult result = scan.finish();
    if (result.stop == RowScanStop::None) result.sha256 = source.digest();
    return result;
  };
  if (IdArena::bound_for(p.limits.max_row_map_tracked_id_bytes) <=
      std::numeric_limits<std::uint32_t>::max()) {
    RowScan<std::uint32_t> scan(p);
    return run(scan);
  }
  RowScan<std::uint64_t> scan(p);
  return run(scan);
}

ScanParams params(bool allow_duplicate_db_ids, const ResourceLimits& limits,
                  std::uint64_t expected_rows, std::uint64_t file_bytes,
                  std::vector<report::ReportIssue>& issues) {
  // One draw per scan; nothing of it outlives the call.
  return {allow_duplicate_db_ids,
          limits,
          expected_rows,
          file_bytes,
          issues,
          allow_duplicate_db_ids ? IdHashKeys{} : draw_id_hash_keys()};
}

}  // namespace

Result<RowScanResult> scan_row_identity_jsonl(int fd, bool allow_duplicate_db_ids,
                                              const ResourceLimits& limits,
                                              std::uint64_t expected_rows,
                                              std::vector<report::ReportIssue>& issues) {
  const Result<std::uint64_t> size = io::file_size(fd);
  const std::uint64_t file_bytes = size.ok() ? size.value() : 0;
  const ScanParams p = params(allow_duplicate_db_ids, limits, expected_rows, file_bytes, issues);
  struct Reads {
    explicit Reads(int fd) : fd(fd) {}
    int fd;
    std::unique_ptr<char[]> buffer{new char[READ_BUFFER_BYTES]};
    io::Sha256 hash;
    Result<std::string_view> next() {
      const long got = io::read_some(fd, buffer.get(), READ_BUFFER_BYTES);
      if (got < 0) return ManifestError::from_errno(errno);
      hash.update(buffer.get(), static_cast<std::size_t>(got));
      return std::string_view(buffer.get(), static_cast<std::size_t>(got));
    }
    std::string digest() { return hash.finish_hex(); }
  } reads(fd);
  return scan_pieces(p, reads);
}

RowScanResult scan_row_identity_bytes(std::string_view bytes, std::size_t piece_bytes,
                                      bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                      std::uint64_t expected_rows,
                                      std::vector<report::ReportIssue>& issues) {
  struct Pieces {
    std::string_view bytes;
    std::size_t step;
    std::string_view all;
    Result<std::string_view> next() {
      const std::string_view piece = bytes.substr(0, step);
      bytes.remove_prefix(piece.size());
      return piece;
    }
    std::string digest() const { return io::sha256_hex(all); }
  } pieces{bytes, std::max<std::size_t>(piece_bytes, 1), bytes};
  auto scan = scan_pieces(
      params(allow_duplicate_db_ids, limits, expected_rows, bytes.size(), issues), pieces);
  return std::move(scan).value();  // pieces from memory never fail
}

}  // namespace tamrel::verify
