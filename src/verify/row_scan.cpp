// The row-map scanner: bytes in file order become lines, lines become rows, and every row is
// checked in order against the limits, the declared count and the ids seen before.
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
#include "verify/common_row.hpp"
#include "verify/id_set.hpp"
#include "verify/issues.hpp"
#include "verify/row_identity.hpp"
#include "verify/uuid.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

namespace {

// Large enough that reads and digest updates cost little per byte, small enough to stay in
// the second-level cache while its lines are decoded.
constexpr std::size_t READ_BUFFER_BYTES = std::size_t{128} << 10;

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

// Per-line state of one scan: counters, the duplicate set, and the issue sink.
//
// Lines are decoded a few ahead of the line being checked, so that the hash-set slot of each
// db_id can be prefetched while earlier lines are checked: with a million ids the table is far
// larger than the caches and a cold probe costs more than decoding the line. Decoding has no
// side effects; every check, count and issue still happens in line order, and lines decoded
// past a stop are dropped unseen.
template <class Offset>
class RowScanner {
 public:
  explicit RowScanner(const ScanParams& p)
      : allow_duplicates_(p.allow_duplicate_db_ids),
        limits_(p.limits),
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

  // One complete line, its terminator included.
  Step add_line(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Pending& slot = next_slot();
    slot.error = read_row(line, slot.row, slot.copy);
    return queue(slot);
  }

  // The line at the start of bytes when it is a common row that ends inside them within
  // line_limit bytes: read in place, without cutting the line first. Returns the bytes taken,
  // or 0 (nothing queued) when the caller must cut the line and call add_line.
  std::size_t add_common_line(std::string_view bytes, std::uint64_t line_limit, Step& step) {
    Pending& slot = next_slot();
    const std::size_t taken = read_common_row_line(bytes, slot.row);
    if (taken == 0 || taken > line_limit) return 0;
    slot.error.reset();
    step = queue(slot);
    return taken;
  }

  // A line longer than the limit: it always stops the scan, at the latest on itself.
  Step add_too_large_line() {
    if (queued_ == LOOKAHEAD && check_oldest() == Step::Stop) return Step::Stop;
    Pending& slot = window_[(head_ + queued_) % LOOKAHEAD];
    slot.too_large = true;
    ++queued_;
    return drain();
  }

  // The lines still queued stop viewing the bytes they were read from, which the caller is
  // about to reuse: each that still views them gets a copy of its ids, in strings that keep
  // their capacity from line to line.
  void keep_queued() {
    if (!in_place_queued_) return;
    in_place_queued_ = false;
    for (std::size_t i = 0; i < queued_; ++i) {
      Pending& slot = window_[(head_ + i) % LOOKAHEAD];
      RowView& row = slot.row;
      if (slot.too_large || slot.error || !row.in_place) continue;
      slot.copy.db_id.assign(row.db_id);
      if (row.parent_id) {
        if (!slot.copy.parent_id) slot.copy.parent_id.emplace();
        slot.copy.parent_id->assign(*row.parent_id);
      }
      row.in_place = false;
      row.db_id = slot.copy.db_id;
      if (row.parent_id) row.parent_id = *slot.copy.parent_id;
      if (!slot.key.packed) slot.key.bytes = row.db_id;
    }
  }

  // Checks every line still queued.
  Step drain() {
    while (queued_ > 0) {
      if (check_oldest() == Step::Stop) return Step::Stop;
    }
    return Step::Next;
  }

  RowScanResult stopped() { return std::move(result_); }
  RowScanResult finished(std::string sha256) {
    result_.sha256 = std::move(sha256);
    return std::move(result_);
  }

 private:
  static constexpr std::size_t LOOKAHEAD = 8;
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
    // When duplicates are tracked: row.db_id as the id set holds it, and its hash.
    IdKey key;
    std::uint64_t hash = 0;
  };

  Pending& next_slot() {
    Pending& slot = window_[(head_ + queued_) % LOOKAHEAD];
    slot.too_large = false;
    return slot;
  }

  Step queue(Pending& slot) {
    if (!slot.error && slot.row.in_place) in_place_queued_ = true;
    if (!allow_duplicates_ && !slot.error) {
      RowView& row = slot.row;
      // A row read in place was packed by the reader whenever it could be; only the strict
      // decoder's copy still has to be tried.
      if (row.db_id_packed) {
        slot.key = packed_id_key(row.packed_db_id);
      } else if (row.in_place) {
        slot.key = {row.db_id, false};
      } else {
        slot.key = id_key(row.db_id, row.packed_db_id);
      }
      slot.hash = ids_.hash(slot.key);
      ids_.prefetch(slot.hash);
    }
    ++queued_;
    return queued_ == LOOKAHEAD ? check_oldest() : Step::Next;
  }

  Step check_oldest() {
    Pending& line = window_[head_];
    head_ = (head_ + 1) % LOOKAHEAD;
    --queued_;
    return check(line);
  }

  Step check(Pending& line) {
    ++result_.rows;
    const std::uint64_t index = result_.rows - 1;
    if (result_.rows > limits_.max_row_map_rows) {
      push(issues::row_identity_rows_over_limit, limits_.max_row_map_rows);
      return Step::Stop;
    }
    if (result_.rows > expected_rows_) {
      push(issues::row_identity_rows_over_declared, expected_rows_);
      return Step::Stop;
    }
    if (line.too_large) {
      push(issues::row_identity_line_too_large, index, limits_.max_row_map_line_bytes);
      return Step::Stop;
    }
    if (line.error) {
      push(issues::row_identity_jsonl_invalid_json, index, *line.error);
      return Step::Next;
    }
    const RowView& row = line.row;
    if (row.row_id != index) {
      push(issues::row_identity_row_id_mismatch, index, row.row_id);
    }
    if (!row.ids_are_uuids) {
      check_id(index, DB_ID_ISSUES, row.db_id);
      if (row.parent_id) check_id(index, PARENT_ID_ISSUES, *row.parent_id);
    }
    ++result_.validated_rows;
    if (allow_duplicates_) return Step::Next;

    // An id the budget still admits is added in one probe, which also finds a repeat. One past
    // the budget is only looked up: a new one stops the scan right here and is never kept.
    const std::uint64_t tracked = saturating_add(tracked_bytes_, row.db_id.size());
    if (tracked <= limits_.max_row_map_tracked_id_bytes) {
      if (ids_.size() >= ids_.room()) grow_ids(index, tracked);
      if (ids_.insert(line.key, line.hash)) {
        tracked_bytes_ = tracked;
      } else {
        push(issues::row_identity_duplicate_db_id, index);
      }
      return Step::Next;
    }
    if (ids_.contains(line.key, line.hash)) {
      push(issues::row_identity_duplicate_db_id, index);
      return Step::Next;
    }
    tracked_bytes_ = tracked;
    push(issues::row_identity_duplicate_tracking_limit_exceeded,
         limits_.max_row_map_tracked_id_bytes);
    return Step::Stop;
  }

  // Room for every id the limits still admit (the declared rows left, and the tracking budget
  // left at the mean id length so far) rather than doubling past them, but at most sixteen
  // times the ids seen, so that a declared count is trusted only as far as the file bears it
  // out. Called when the table is full, with tracked the bytes counted once this row's id is in.
  void grow_ids(std::uint64_t index, std::uint64_t tracked) {
    const std::uint64_t seen = ids_.size();
    const std::uint64_t rows_left =
        std::min(expected_rows_, limits_.max_row_map_rows) - index;  // this row included
    const std::uint64_t mean = std::max<std::uint64_t>(1, tracked / (seen + 1));
    const std::uint64_t budget_left = (limits_.max_row_map_tracked_id_bytes - tracked) / mean + 1;
    const std::uint64_t more = std::clamp<std::uint64_t>(std::min(rows_left, budget_left), 1,
                                                         15 * std::max<std::uint64_t>(seen, 1));
    ids_.reserve(static_cast<std::size_t>(seen + more));
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
  std::uint64_t expected_rows_;
  std::vector<report::ReportIssue>& issues_;
  bool issues_full_ = false;
  RowScanResult result_;
  std::uint64_t tracked_bytes_ = 0;
  IdSet<Offset> ids_;
  std::array<Pending, LOOKAHEAD> window_;
  std::size_t head_ = 0;
  std::size_t queued_ = 0;
  // Some queued row may still view the caller's bytes: most pieces queue none, and keep_queued
  // then has nothing to look at.
  bool in_place_queued_ = false;
};

// Cuts the bytes into lines, hashes them as they come, and hands the lines to the row checks.
// A line that spans two pieces is put together in a buffer kept for the whole scan. Queued
// lines view the piece (or that buffer) until it is reused, then keep a copy of their ids.
template <class Offset>
class RowScan {
 public:
  explicit RowScan(const ScanParams& p)
      : rows_(p), line_limit_(std::max<std::uint64_t>(p.limits.max_row_map_line_bytes, 1)) {}

  // The next bytes of the file. False once the scan has stopped: no later byte changes its
  // result. Bytes past a stopping line are hashed but never reported on, because a stopped scan
  // returns no digest.
  bool feed(std::string_view bytes) {
    digest_.update(bytes);
    while (!bytes.empty()) {
      if (pending_.empty()) {
        Step step = Step::Next;
        if (const std::size_t taken = rows_.add_common_line(bytes, line_limit_, step)) {
          if (step == Step::Stop) return stop();
          bytes.remove_prefix(taken);
          continue;
        }
      }
      const std::size_t lf = bytes.find('\n');
      const std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
      // More than the limit without a completed line: a too-large line always stops the scan,
      // so nothing of it needs to be kept.
      if (pending_.size() + take > line_limit_) {
        (void)rows_.add_too_large_line();
        return stop();
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
      if (rows_.add_line(line) == Step::Stop) return stop();
      if (!pending_.empty()) {
        rows_.keep_queued();
        pending_.clear();
      }
      bytes.remove_prefix(take);
    }
    rows_.keep_queued();
    return true;
  }

  // After the last byte, or once feed returned false.
  RowScanResult finish() {
    if (stopped_) return rows_.stopped();
    // A final line without a terminator; a file ending in LF has no extra empty line.
    if (!pending_.empty() && rows_.add_line(pending_) == Step::Stop) return rows_.stopped();
    if (rows_.drain() == Step::Stop) return rows_.stopped();
    return rows_.finished(digest_.finish_hex());
  }

 private:
  bool stop() {
    stopped_ = true;
    return false;
  }

  RowScanner<Offset> rows_;
  std::uint64_t line_limit_;
  io::Sha256 digest_;
  std::string pending_;  // the part of a line that began in an earlier piece
  bool stopped_ = false;
};

// Pieces come from next() until it gives an empty one. Offsets into the id arena take 4 bytes
// whenever the tracking limit keeps the arena under 4 GiB.
template <class Next>
Result<RowScanResult> scan_pieces(const ScanParams& p, Next&& next) {
  auto run = [&](auto& scan) -> Result<RowScanResult> {
    for (;;) {
      TAMREL_TRY(const std::string_view piece, next());
      if (piece.empty() || !scan.feed(piece)) break;
    }
    return scan.finish();
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

Result<RowScanResult> scan_row_identity_jsonl(const fs::path& path, bool allow_duplicate_db_ids,
                                              const ResourceLimits& limits,
                                              std::uint64_t expected_rows,
                                              std::vector<report::ReportIssue>& issues,
                                              io::Origin origin) {
  TAMREL_TRY(UniqueFd fd, io::open_for_read(path, origin));
  return scan_row_identity_jsonl(fd.get(), allow_duplicate_db_ids, limits, expected_rows, issues);
}

Result<RowScanResult> scan_row_identity_jsonl(int fd, bool allow_duplicate_db_ids,
                                              const ResourceLimits& limits,
                                              std::uint64_t expected_rows,
                                              std::vector<report::ReportIssue>& issues) {
  const std::unique_ptr<char[]> buffer(new char[READ_BUFFER_BYTES]);
  const Result<std::uint64_t> size = io::file_size(fd);
  const std::uint64_t file_bytes = size.ok() ? size.value() : 0;
  return scan_pieces(params(allow_duplicate_db_ids, limits, expected_rows, file_bytes, issues),
                     [&]() -> Result<std::string_view> {
                       const long got = io::read_some(fd, buffer.get(), READ_BUFFER_BYTES);
                       if (got < 0) return ManifestError::from_errno(errno);
                       return std::string_view(buffer.get(), static_cast<std::size_t>(got));
                     });
}

RowScanResult scan_row_identity_bytes(std::string_view bytes, std::size_t piece_bytes,
                                      bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                      std::uint64_t expected_rows,
                                      std::vector<report::ReportIssue>& issues) {
  const std::size_t step = std::max<std::size_t>(piece_bytes, 1);
  auto scan =
      scan_pieces(params(allow_duplicate_db_ids, limits, expected_rows, bytes.size(), issues),
                  [&]() -> Result<std::string_view> {
                    const std::string_view piece = bytes.substr(0, step);
                    bytes.remove_prefix(piece.size());
                    return piece;
                  });
  return std::move(scan).value();  // pieces from memory never fail
}

}  // namespace tamrel::verify
