// The persisted index-file formats and the header probe shared by verification and creation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/result.hpp"

namespace tamrel::rank_io {

enum class IndexKind : std::uint8_t {
  Rank = 0,
  RankQuant = 1,
  Bitmap = 2,
  SignBitmap = 3,
  RankQuantFastscan = 4
};

// The parameter sets of the probeable kinds; a manifest declares the same ones.
struct RankParams {
  friend bool operator==(const RankParams&, const RankParams&) = default;
};
struct RankQuantParams {
  std::uint8_t bits = 0;
  friend bool operator==(const RankQuantParams&, const RankQuantParams&) = default;
};
struct BitmapParams {
  std::uint64_t n_top = 0;
  friend bool operator==(const BitmapParams&, const BitmapParams&) = default;
};
struct SignBitmapParams {
  friend bool operator==(const SignBitmapParams&, const SignBitmapParams&) = default;
};
// Alternatives in the order of the kinds they belong to.
using IndexParams = std::variant<RankParams, RankQuantParams, BitmapParams, SignBitmapParams>;

// The kind whose parameters these are.
constexpr IndexKind params_kind(const IndexParams& params) {
  return static_cast<IndexKind>(params.index());
}

// The probeable kinds as manifests and reports write them; the fast-scan kind has no such form.
inline constexpr std::array<std::string_view, 4> KIND_JSON_NAMES = {"rank", "rank_quant", "bitmap",
                                                                    "sign_bitmap"};
static_assert(std::variant_size_v<IndexParams> == KIND_JSON_NAMES.size());

struct IndexMetadata {
  IndexParams params;
  std::uint64_t dim = 0;
  std::uint64_t vector_count = 0;
  std::uint64_t bytes_per_vec = 0;
  std::uint64_t file_size_bytes = 0;
  IndexKind kind = IndexKind::Rank;
  std::uint8_t format_version = 0;
};

struct FormatEntry {
  IndexKind kind;
  std::string_view extension;
  std::string_view magic;  // 4 bytes
  std::optional<std::string_view> twin_magic;
  std::optional<std::string_view> probe_note;
  std::optional<std::string_view> coverage_note;
  std::optional<std::string_view> abi_note;
};

inline constexpr std::uint64_t MAX_VECTORS = 67108864;
inline constexpr std::uint64_t MAX_PAYLOAD = 137438953472;

// The registry entry whose magic or twin magic equals the 4 bytes, or null.
const FormatEntry* lookup_format(std::string_view magic4);
const FormatEntry& format_entry(IndexKind kind);

// "Rank", "RankQuant", "Bitmap", "SignBitmap", "RankQuantFastscan".
std::string_view kind_name(IndexKind kind);
// "Rank", "RankQuant { bits: 2 }", "Bitmap { n_top: 10 }", "SignBitmap".
std::string params_display(const IndexParams& params);
// KIND_JSON_NAMES, and "rank_quant_fastscan" for the fifth kind.
std::string_view kind_json_name(IndexKind kind);

// Probes an open file whose size the caller took from the file system. Reads only the header,
// through one 8192-byte buffered read. Errors: Io with kind UnexpectedEof or InvalidData and the
// format's message, or the system's error for a failing read or position query.
Result<IndexMetadata> probe_index_metadata(int fd, std::uint64_t file_size);

// The same rules over bytes in memory (the first bytes of a file of file_size bytes);
// used by tests and fuzzing.
Result<IndexMetadata> probe_index_bytes(std::span<const std::uint8_t> head,
                                        std::uint64_t file_size);

}  // namespace tamrel::rank_io
