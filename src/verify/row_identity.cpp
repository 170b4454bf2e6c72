// The row-identity scanner and the verification stage around it.
#include "verify/row_identity.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <variant>

#include <boost/unordered/unordered_flat_set.hpp>
#include <fmt/format.h>

#include "base/panic.hpp"
#include "base/text.hpp"
#include "io/digest.hpp"
#include "io/random.hpp"
#include "model/codec.hpp"
#include "verify/path_policy.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t READ_BUFFER_BYTES = 8192;

// Secret keys of the id hash, drawn once per process, so that a row map crafted against a known
// hash function cannot force the duplicate set into long probe chains.
struct HashKeys {
  std::uint64_t seed;
  std::uint64_t block;
  std::uint64_t tail;
};

HashKeys process_keys() {
  static const HashKeys keys = [] {
    HashKeys value{};
    io::fill_secure_random(&value, sizeof value);
    return value;
  }();
  return keys;
}

// An id with its hash, so that the prefetch and the probe of one row hash it only once.
struct HashedId {
  std::string_view id;
  std::size_t hash;
};

// The hash of the id being inserted, already known from its lookup: the table hashes the stored
// copy once more on insertion, and this hands the hash back instead of computing it again.
struct KnownHash {
  const char* data = nullptr;
  std::size_t hash = 0;
};

// The full 128-bit product folded to 64 bits: one multiplication mixes 16 bytes.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load_bytes(const char* p, std::size_t n) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, n);
  return word;
}

// A keyed multiply-fold hash over 16-byte blocks: every row's id is hashed, and Boost 1.81's
// range hash mixes four bytes a step, three times the cost. Both operands of each product carry
// a secret, so no chosen block can cancel the keys. The last 0..15 bytes are read as overlapping
// 4-byte loads (or three single bytes) that together cover every byte, never past the end.
struct SeededIdHash {
  using is_transparent = void;
  using is_avalanching = void;  // the final product mixes every bit; the table adds none
  HashKeys keys;
  const KnownHash* known;

  std::size_t operator()(std::string_view id) const {
    if (known->data != nullptr && id.data() == known->data) return known->hash;
    const char* p = id.data();
    std::size_t n = id.size();
    std::uint64_t h = keys.seed;
    for (; n >= 16; p += 16, n -= 16) {
      h = fold_multiply(load_bytes(p, 8) ^ keys.block, load_bytes(p + 8, 8) ^ h);
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n >= 4) {
      const std::size_t step = (n >> 3) << 2;
      a = load_bytes(p, 4) << 32 | load_bytes(p + step, 4);
      b = load_bytes(p + n - 4, 4) << 32 | load_bytes(p + n - 4 - step, 4);
    } else if (n > 0) {
      a = std::uint64_t{static_cast<unsigned char>(p[0])} << 16 |
          std::uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8 |
          static_cast<unsigned char>(p[n - 1]);
    }
    h = fold_multiply(a ^ keys.tail, b ^ h);
    return static_cast<std::size_t>(fold_multiply(h ^ keys.block, id.size() ^ keys.tail));
  }
  std::size_t operator()(const HashedId& key) const { return key.hash; }
};

struct IdEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  bool operator()(std::string_view a, const HashedId& b) const { return a == b.id; }
  bool operator()(const HashedId& a, std::string_view b) const { return a.id == b; }
};

// Large blocks are asked to live on huge pages: a million ids make a table and an arena of
// tens of MiB that are touched at random, and with small pages nearly every probe also misses
// the TLB. Small requests are plain heap allocations.
constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

void* allocate_block(std::size_t bytes) {
  if (bytes < HUGE_PAGE_BYTES) {
    void* p = std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  const std::size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
  void* p = std::aligned_alloc(HUGE_PAGE_BYTES, rounded);
  if (p == nullptr) throw std::bad_alloc();
  (void)::madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without it the memory works as usual
  return p;
}

// The one buffer a flat table keeps its slots and group headers in, as last allocated.
struct TableBuffer {
  const char* base = nullptr;
};

template <class T>
struct BlockAllocator {
  using value_type = T;
  explicit BlockAllocator(TableBuffer* latest) : latest_(latest) {}
  template <class U>
  BlockAllocator(const BlockAllocator<U>& other) : latest_(other.latest_) {}  // NOLINT: rebinding
  T* allocate(std::size_t n) {
    T* p = static_cast<T*>(allocate_block(n * sizeof(T)));
    latest_->base = reinterpret_cast<const char*>(p);
    return p;
  }
  void deallocate(T* p, std::size_t) {
    if (reinterpret_cast<const char*>(p) == latest_->base) latest_->base = nullptr;
    std::free(p);
  }
  template <class U>
  bool operator==(const BlockAllocator<U>& other) const { return latest_ == other.latest_; }

  TableBuffer* latest_;
};

using IdSet = boost::unordered_flat_set<std::string_view, SeededIdHash, IdEqual,
                                        BlockAllocator<std::string_view>>;

// Asks the cache for the group where a lookup of this hash begins. The table is far larger than
// the caches and a cold probe costs more than decoding a line, so the lines ahead are prefetched
// while earlier ones are checked. Boost 1.81's flat tables keep their slots, then their 16-byte
// group headers, in one buffer and start at the group named by the hash's top bits; only a
// prefetch is computed from that, so a different layout costs speed, never correctness. Always
// inlined: as a function of its own the compiler finds it free of effects and drops the call.
[[gnu::always_inline]] inline void prefetch_probe(const IdSet& ids, const TableBuffer& buffer, std::size_t hash) {
  constexpr std::size_t GROUP_SLOTS = 15;
  constexpr std::size_t GROUP_BYTES = 16;
  const std::size_t groups = (ids.bucket_count() + 1) / GROUP_SLOTS;
  if (buffer.base == nullptr || groups < 2 || !std::has_single_bit(groups)) return;
  const std::size_t group = hash >> (64 - std::countr_zero(groups));
  const std::size_t slot_bytes = sizeof(IdSet::value_type) * (groups * GROUP_SLOTS - 1);
  const auto headers = (reinterpret_cast<std::uintptr_t>(buffer.base) + slot_bytes +
                        GROUP_BYTES - 1) / GROUP_BYTES * GROUP_BYTES;
  __builtin_prefetch(reinterpret_cast<const void*>(headers + group * GROUP_BYTES));
  __builtin_prefetch(buffer.base + group * GROUP_SLOTS * sizeof(IdSet::value_type));
}

struct FreeBlock {
  void operator()(char* p) const { std::free(p); }
};
using Block = std::unique_ptr<char[], FreeBlock>;

// Owns the bytes of every distinct id in a few large blocks, so the set holds views and a
// million rows cost a handful of allocations rather than a million strings.
class IdArena {
 public:
  std::string_view store(std::string_view id) {
    if (id.empty()) return {};
    // A large id gets a block of its own rather than abandoning the tail of the current one.
    if (id.size() > MAX_BLOCK_BYTES / 4) {
      blocks_.emplace_back(static_cast<char*>(allocate_block(id.size())));
      std::memcpy(blocks_.back().get(), id.data(), id.size());
      return {blocks_.back().get(), id.size()};
    }
    if (id.size() > left_) {
      next_block_ = std::min(next_block_ * 2, MAX_BLOCK_BYTES);
      blocks_.emplace_back(static_cast<char*>(allocate_block(next_block_)));
      cursor_ = blocks_.back().get();
      left_ = next_block_;
    }
    std::memcpy(cursor_, id.data(), id.size());
    const std::string_view stored(cursor_, id.size());
    cursor_ += id.size();
    left_ -= id.size();
    return stored;
  }

 private:
  static constexpr std::size_t MAX_BLOCK_BYTES = std::size_t{4} << 20;
  std::vector<Block> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t next_block_ = std::size_t{32} << 10;
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// Every row's id goes through these, so they are table lookups rather than range tests.
constexpr std::array<bool, 256> HEX_DIGITS = [] {
  std::array<bool, 256> table{};
  for (unsigned char c = '0'; c <= '9'; ++c) table[c] = true;
  for (unsigned char c = 'a'; c <= 'f'; ++c) table[c] = true;
  for (unsigned char c = 'A'; c <= 'F'; ++c) table[c] = true;
  return table;
}();

bool is_hex(char c) { return HEX_DIGITS[static_cast<unsigned char>(c)]; }

// 8-4-4-4-12 with hyphens at 8, 13, 18 and 23.
bool is_hyphenated_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  bool all_hex = true;
  for (std::size_t i = 0; i < 36; ++i) {
    const bool hyphen_slot = i == 8 || i == 13 || i == 18 || i == 23;
    all_hex &= hyphen_slot || is_hex(text[i]);
  }
  return all_hex;
}

// The shape nearly every row map is written in: row_id, db_id and optionally parent_id, in
// that order, numbers without sign or leading zero, strings of printable ASCII without escapes,
// JSON whitespace between tokens. For such a line the strict decoder's result is plain to see,
// and reading it directly saves most of the per-row cost. Anything else returns false and goes
// to the strict decoder, which alone decides what is invalid and what the error says.
class CommonRowReader {
 public:
  explicit CommonRowReader(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  bool read(model::JsonlRow& row) {
    if (!token('{') || !key("\"row_id\"") || !number(row.row_id)) return false;
    std::string_view text;
    if (!token(',') || !key("\"db_id\"") || !string(text)) return false;
    row.db_id.assign(text);
    if (token('}')) {
      row.parent_id.reset();
    } else {
      if (!token(',') || !key("\"parent_id\"")) return false;
      if (literal("null")) {
        row.parent_id.reset();
      } else if (string(text)) {
        if (!row.parent_id) row.parent_id.emplace();
        row.parent_id->assign(text);
      } else {
        return false;
      }
      if (!token('}')) return false;
    }
    skip_space();
    return p_ == end_;
  }

 private:
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  // The length is a constant, so the comparison compiles to a few loads, not a call.
  template <std::size_t N>
  bool literal(const char (&text)[N]) {
    skip_space();
    constexpr std::size_t len = N - 1;
    if (static_cast<std::size_t>(end_ - p_) < len || std::memcmp(p_, text, len) != 0) return false;
    p_ += len;
    return true;
  }
  bool token(char c) {
    skip_space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  template <std::size_t N>
  bool key(const char (&quoted)[N]) {
    return literal(quoted) && token(':');
  }
  // Up to 19 digits always fit 64 bits; longer numbers are left to the strict decoder.
  bool number(std::uint64_t& value) {
    skip_space();
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    const auto digits = static_cast<std::size_t>(p_ - start);
    if (digits == 0 || digits > 19 || (digits > 1 && *start == '0')) return false;
    value = 0;
    for (const char* d = start; d != p_; ++d) value = value * 10 + static_cast<unsigned>(*d - '0');
    return true;
  }
  bool string(std::string_view& text) {
    skip_space();
    if (p_ == end_ || *p_ != '"') return false;
    const char* start = ++p_;
    while (p_ != end_ && *p_ != '"') {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
      ++p_;
    }
    if (p_ == end_) return false;
    text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  const char* p_;
  const char* end_;
};

// Per-line state of one scan: counters, the duplicate set, and the issue sink.
//
// Lines are decoded a few ahead of the line being checked, so that the hash-set slot of each
// db_id can be prefetched while earlier lines are checked: with a million ids the table is far
// larger than the caches and a cold probe costs more than decoding the line. Decoding has no
// side effects; every check, count and issue still happens in line order, and lines decoded
// past a stop are dropped unseen.
class RowScanner {
 public:
  enum class Step : std::uint8_t { Next, Stop };

  RowScanner(bool allow_duplicate_db_ids, const ResourceLimits& limits,
             std::uint64_t expected_rows, std::vector<report::ReportIssue>& issues)
      : allow_duplicates_(allow_duplicate_db_ids),
        limits_(limits),
        expected_rows_(expected_rows),
        issues_(issues),
        ids_(0, SeededIdHash{process_keys(), &known_hash_}, IdEqual{},
             BlockAllocator<std::string_view>(&table_buffer_)) {
    // The declared count is a hint only; a lying manifest must not buy a huge table up front.
    if (!allow_duplicates_) {
      ids_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected_rows, 1U << 20)));
    }
  }

  // One complete line, its terminator included.
  Step add_line(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Pending& slot = window_[(head_ + queued_) % LOOKAHEAD];
    slot.too_large = false;
    slot.error.reset();
    // The slot's strings keep their capacity from row to row on the common path.
    if (!CommonRowReader(line).read(slot.row)) {
      auto decoded = model::decode_jsonl_row(line);
      if (decoded.ok()) {
        slot.row = std::move(decoded).value();
      } else {
        slot.error = std::move(decoded).error();
      }
    }
    if (!allow_duplicates_ && !slot.error) {
      slot.hash = ids_.hash_function()(std::string_view(slot.row.db_id));
      prefetch_probe(ids_, table_buffer_, slot.hash);
    }
    ++queued_;
    return queued_ == LOOKAHEAD ? check_oldest() : Step::Next;
  }

  // A line longer than the limit: it always stops the scan, at the latest on itself.
  Step add_too_large_line() {
    if (queued_ == LOOKAHEAD && check_oldest() == Step::Stop) return Step::Stop;
    Pending& slot = window_[(head_ + queued_) % LOOKAHEAD];
    slot.too_large = true;
    ++queued_;
    return drain();
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

  struct Pending {
    bool too_large = false;
    std::optional<ManifestError> error;  // the strict decoder's, when the line is no row
    model::JsonlRow row;                 // when there is no error
    std::size_t hash = 0;                // of row.db_id, when duplicates are tracked
  };

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
      push("row_identity_row_count_limit_exceeded",
           fmt::format("row identity file has more than max_row_identity_rows={} rows",
                       limits_.max_row_map_rows));
      return Step::Stop;
    }
    if (result_.rows > expected_rows_) {
      push("row_identity_row_count_mismatch",
           fmt::format("row identity file has more than declared row_count={}", expected_rows_));
      return Step::Stop;
    }
    if (line.too_large) {
      push("row_identity_line_too_large",
           fmt::format("line {} exceeds max_row_identity_jsonl_line_bytes={}", index,
                       limits_.max_row_map_line_bytes));
      return Step::Stop;
    }
    if (line.error) {
      push("row_identity_jsonl_invalid_json",
           fmt::format("line {} is not a strict row object: {}", index, line.error->text()));
      return Step::Next;
    }
    const model::JsonlRow& row = line.row;
    if (row.row_id != index) {
      push("row_identity_row_id_mismatch", fmt::format("line {} has row_id {}", index, row.row_id));
    }
    check_id(index, "db_id", row.db_id);
    if (row.parent_id) check_id(index, "parent_id", *row.parent_id);
    ++result_.validated_rows;
    if (allow_duplicates_) return Step::Next;

    // The length of a new id is added and checked before its bytes are copied: past the limit
    // the scan stops right here, so the id is never looked up again and is not kept.
    const std::string_view id = row.db_id;
    if (ids_.contains(HashedId{id, line.hash})) {
      push("row_identity_duplicate_db_id", fmt::format("line {} repeats db_id", index));
      return Step::Next;
    }
    tracked_bytes_ = saturating_add(tracked_bytes_, id.size());
    if (tracked_bytes_ <= limits_.max_row_map_tracked_id_bytes) {
      const std::string_view stored = arena_.store(id);
      known_hash_ = {stored.data(), line.hash};
      ids_.insert(stored);
      known_hash_ = {};
    }
    if (tracked_bytes_ > limits_.max_row_map_tracked_id_bytes) {
      push("row_identity_duplicate_tracking_limit_exceeded",
           fmt::format("tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={}",
                       limits_.max_row_map_tracked_id_bytes));
      return Step::Stop;
    }
    return Step::Next;
  }

  void push(std::string code, std::string message) {
    report::add_issue_bounded(issues_, limits_.max_report_issues, std::move(code),
                              std::move(message));
  }

  // The first failing rule only.
  void check_id(std::uint64_t index, std::string_view member, std::string_view id) {
    if (id.empty()) {
      push(fmt::format("row_identity_{}_empty", member),
           fmt::format("line {} has empty {}", index, member));
    } else if (id.find('\0') != std::string_view::npos) {
      push(fmt::format("row_identity_{}_contains_nul", member),
           fmt::format("line {} {} contains NUL", index, member));
    } else if (!is_uuid(id)) {
      push(fmt::format("row_identity_{}_invalid_uuid", member),
           fmt::format("line {} {} must be a UUID in v1", index, member));
    }
  }

  bool allow_duplicates_;
  const ResourceLimits& limits_;
  std::uint64_t expected_rows_;
  std::vector<report::ReportIssue>& issues_;
  RowScanResult result_;
  std::uint64_t tracked_bytes_ = 0;
  IdArena arena_;
  TableBuffer table_buffer_;  // these two are declared before the set, which uses them
  KnownHash known_hash_;
  IdSet ids_;
  std::array<Pending, LOOKAHEAD> window_;
  std::size_t head_ = 0;
  std::size_t queued_ = 0;
};

}  // namespace

bool is_uuid(std::string_view text) {
  switch (text.size()) {
    case 32:
      return std::all_of(text.begin(), text.end(), is_hex);
    case 36:
      return is_hyphenated_uuid(text);
    case 38:
      return text.front() == '{' && text.back() == '}' &&
             is_hyphenated_uuid(text.substr(1, 36));
    case 45:
      return text.starts_with("urn:uuid:") && is_hyphenated_uuid(text.substr(9));
    default:
      return false;
  }
}

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
  RowScanner scanner(allow_duplicate_db_ids, limits, expected_rows, issues);
  io::Sha256 digest;
  const std::uint64_t line_limit = std::max<std::uint64_t>(limits.max_row_map_line_bytes, 1);
  std::array<char, READ_BUFFER_BYTES> buffer;
  // The part of a line that began in an earlier read; never longer than the line limit.
  std::string pending;

  for (;;) {
    const long got = io::read_some(fd, buffer.data(), buffer.size());
    if (got < 0) return ManifestError::from_errno(errno);
    if (got == 0) break;
    // The whole read is hashed at once. Bytes past a stopping line are never reported on,
    // because a stopped scan returns no digest.
    digest.update(buffer.data(), static_cast<std::size_t>(got));
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
    while (!chunk.empty()) {
      const std::size_t lf = chunk.find('\n');
      const std::size_t take = lf == std::string_view::npos ? chunk.size() : lf + 1;
      // More than the limit without a completed line: a too-large line always stops the scan,
      // so nothing of it needs to be kept.
      if (pending.size() + take > line_limit) {
        (void)scanner.add_too_large_line();
        return scanner.stopped();
      }
      if (lf == std::string_view::npos) {
        pending.append(chunk);
        break;
      }
      std::string_view line = chunk.substr(0, take);
      if (!pending.empty()) {
        pending.append(line);
        line = pending;
      }
      if (scanner.add_line(line) == RowScanner::Step::Stop) return scanner.stopped();
      pending.clear();
      chunk.remove_prefix(take);
    }
  }
  // A final line without a terminator; a file ending in LF has no extra empty line.
  if (!pending.empty() && scanner.add_line(pending) == RowScanner::Step::Stop) {
    return scanner.stopped();
  }
  if (scanner.drain() == RowScanner::Step::Stop) return scanner.stopped();
  return scanner.finished(digest.finish_hex());
}

void verify_row_identity(report::VerificationReport& report, const PassInput& in) {
  report::RowIdentityFacts& facts = report.row_identity;
  facts.kind = model::row_identity_tag(in.manifest.row_identity);
  const auto* jsonl = std::get_if<model::RowIdentityJsonl>(&in.manifest.row_identity);
  if (jsonl == nullptr) {
    facts.row_count = std::get<model::RowIdIdentity>(in.manifest.row_identity).row_count;
    return;
  }
  const ResourceLimits& limits = in.options.limits;
  facts.manifest_path = jsonl->path;
  facts.row_count = jsonl->row_count;
  if (jsonl->row_count > limits.max_row_map_rows) {
    report::add_issue(report.errors, "row_identity_row_count_limit_exceeded",
                      fmt::format("row_identity.row_count {} exceeds max_row_identity_rows={}",
                                  jsonl->row_count, limits.max_row_map_rows));
    return;
  }
  const auto canonical =
      resolve_manifest_path(fs::path(jsonl->path), in.base_dir, in.options.allow_absolute_paths,
                            in.options.allow_path_escape, "row_identity", report.errors);
  if (!canonical) return;
  facts.canonical_path = path_display(*canonical);

  auto scan = scan_row_identity_jsonl(*canonical, in.options.allow_duplicate_db_ids, limits,
                                      jsonl->row_count, report.errors, io::Origin::Manifest);
  if (!scan.ok()) {
    report::add_issue(report.errors, "row_identity_read_failed",
                      fmt::format("failed to read row identity file: {}", scan.error().text()));
    return;
  }
  facts.validated_rows = scan->validated_rows;
  if (scan->sha256) {
    facts.sha256 = *scan->sha256;
    if (*scan->sha256 != jsonl->sha256) {
      report::add_issue(report.errors, "row_identity_sha256_mismatch",
                        fmt::format("row_identity SHA-256 was {}, manifest declares {}",
                                    *scan->sha256, jsonl->sha256));
    }
  }
  // The scanner already said "more than declared" when it stopped on the count; one count
  // issue is enough.
  if (scan->rows != jsonl->row_count &&
      !report::has_issue_code(report.errors, "row_identity_row_count_mismatch")) {
    const std::string counted = scan->sha256 ? fmt::format("{}", scan->rows)
                                             : fmt::format("at least {}", scan->rows);
    report::add_issue(report.errors, "row_identity_row_count_mismatch",
                      fmt::format("row identity file has {} rows, manifest declares {}", counted,
                                  jsonl->row_count));
  }
}

}  // namespace tamrel::verify
