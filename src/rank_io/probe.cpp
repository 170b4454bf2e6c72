#include "rank_io/probe.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "base/fd.hpp"
#include "rank_io/messages.hpp"

namespace tamrel::rank_io {
namespace {

// In kind order, so format_entry can index by the enumeration's value.
constexpr FormatEntry kRegistry[] = {
    {IndexKind::Rank, "kxr", "KXR1", "KYR1", std::nullopt, std::nullopt, messages::abi_rank_sign},
    {IndexKind::RankQuant, "kxrq", "KXRQ", "KYRQ", std::nullopt, std::nullopt, std::nullopt},
    {IndexKind::Bitmap, "kxbm", "KXBM", "KYBM", std::nullopt, std::nullopt, std::nullopt},
    {IndexKind::SignBitmap, "kxsb", "KXSB", "KYSB", std::nullopt, std::nullopt,
     messages::abi_rank_sign},
    {IndexKind::RankQuantFastscan, "kxfs", "KXFS", std::nullopt, messages::kxfs_probe_note,
     messages::kxfs_coverage_note, messages::kxfs_abi_note},
};

constexpr std::uint64_t kDimMax = 65535;
constexpr std::uint64_t kSignDimMin = 64;
constexpr std::uint64_t kSignDimMax = 16777216;
constexpr std::size_t kReaderCapacity = 8192;

ManifestError invalid_data(std::string message) {
  return ManifestError::io(IoKind::InvalidData, std::move(message));
}

ManifestError truncated(std::string_view what, std::string_view field) {
  return ManifestError::io(IoKind::UnexpectedEof, messages::header_truncated(what, field));
}

// A buffered reader over a file descriptor: refills its 8192-byte buffer only when it is empty,
// so a header is served by a single read(2).
class FdSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}

  // True when n bytes were copied, false at end of file before that.
  Result<bool> read_exact(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        const long got = read_some(fd_, buf_, sizeof buf_);
        if (got < 0) return ManifestError::from_errno(errno);
        if (got == 0) return false;
        pos_ = 0;
        len_ = static_cast<std::size_t>(got);
      }
      const std::size_t take = std::min(n, len_ - pos_);
      std::memcpy(out, buf_ + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

  // The logical position: the descriptor's offset less what is buffered and not yet consumed.
  Result<std::uint64_t> position() const {
    const off_t off = ::lseek(fd_, 0, SEEK_CUR);
    if (off < 0) return ManifestError::from_errno(errno);
    const auto unread = static_cast<std::uint64_t>(len_ - pos_);
    const auto os_pos = static_cast<std::uint64_t>(off);
    return os_pos >= unread ? os_pos - unread : 0;
  }

 private:
  int fd_;
  std::uint8_t buf_[kReaderCapacity];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

// The first bytes of a file, already in memory.
class MemorySource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  Result<bool> read_exact(std::uint8_t* out, std::size_t n) {
    if (bytes_.size() - pos_ < n) {
      pos_ = bytes_.size();
      return false;
    }
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }

  Result<std::uint64_t> position() const { return static_cast<std::uint64_t>(pos_); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

template <class Source>
Result<std::uint8_t> read_u8(Source& src, std::string_view magic, std::string_view field) {
  std::uint8_t b = 0;
  TAMREL_TRY(bool full, src.read_exact(&b, 1));
  if (!full) return truncated(magic, field);
  return b;
}

template <class Source>
Result<std::uint32_t> read_u32le(Source& src, std::string_view magic, std::string_view field) {
  std::uint8_t b[4] = {};
  TAMREL_TRY(bool full, src.read_exact(b, 4));
  if (!full) return truncated(magic, field);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

Status check_common_dim(std::uint64_t dim) {
  if (dim < 2 || dim > kDimMax) {
    return invalid_data(messages::dim_out_of_range(dim, kDimMax));
  }
  return {};
}

Status check_n_vectors(std::uint64_t n) {
  if (n > MAX_VECTORS) {
    return invalid_data(messages::n_vectors_over_limit(n, MAX_VECTORS));
  }
  return {};
}

// payload = n_vectors * (dim / 64) * 8, each step checked.
Result<std::uint64_t> bitmap_payload(std::string_view magic, std::uint64_t n, std::uint64_t dim) {
  std::uint64_t words = 0;
  std::uint64_t payload = 0;
  if (__builtin_mul_overflow(n, dim / 64, &words) || __builtin_mul_overflow(words, 8, &payload)) {
    return invalid_data(messages::payload_size_overflows(magic));
  }
  return payload;
}

// Reads the header fields after the version into m (whose kind is set) and returns the payload
// size they declare.
template <class Source>
Result<std::uint64_t> read_header_fields(Source& src, IndexMetadata& m, std::string_view magic) {
  std::uint64_t payload = 0;
  switch (m.kind) {
    case IndexKind::Rank: {
      TAMREL_TRY(m.dim, read_u32le(src, magic, "dim"));
      TAMREL_CHECK(check_common_dim(m.dim));
      TAMREL_TRY(m.vector_count, read_u32le(src, magic, "n_vectors"));
      TAMREL_CHECK(check_n_vectors(m.vector_count));
      m.params = RankParams{};
      m.bytes_per_vec = m.dim * 2;
      return m.vector_count * m.dim * 2;  // at most 2^26 * 65535 * 2
    }
    case IndexKind::RankQuant: {
      TAMREL_TRY(const std::uint8_t bits, read_u8(src, magic, "bits"));
      if (bits != 1 && bits != 2 && bits != 4) {
        return invalid_data(messages::kxrq_bits_unsupported(bits));
      }
      TAMREL_TRY(m.dim, read_u32le(src, magic, "dim"));
      TAMREL_CHECK(check_common_dim(m.dim));
      const std::uint64_t levels = std::uint64_t{1} << bits;
      if (m.dim % levels != 0) {
        return invalid_data(messages::kxrq_dim_not_multiple_of_levels(m.dim, levels));
      }
      const std::uint64_t codes_per_byte = 8 / bits;
      if (m.dim % codes_per_byte != 0) {
        return invalid_data(
            messages::kxrq_dim_not_multiple_of_codes_per_byte(m.dim, codes_per_byte));
      }
      TAMREL_TRY(m.vector_count, read_u32le(src, magic, "n_vectors"));
      TAMREL_CHECK(check_n_vectors(m.vector_count));
      std::uint64_t bit_count = 0;
      if (__builtin_mul_overflow(m.dim, std::uint64_t{bits}, &bit_count)) {
        return invalid_data(messages::kxrq_bytes_per_vec_overflows());
      }
      m.bytes_per_vec = bit_count / 8;
      if (__builtin_mul_overflow(m.vector_count, m.bytes_per_vec, &payload)) {
        return invalid_data(messages::payload_size_overflows(magic));
      }
      m.params = RankQuantParams{bits};
      return payload;
    }
    case IndexKind::Bitmap: {
      TAMREL_TRY(m.dim, read_u32le(src, magic, "dim"));
      TAMREL_CHECK(check_common_dim(m.dim));
      if (m.dim % 64 != 0) {
        return invalid_data(messages::kxbm_dim_not_multiple_of_64(m.dim));
      }
      TAMREL_TRY(const std::uint64_t n_top, read_u32le(src, magic, "n_top"));
      if (n_top == 0 || n_top >= m.dim) {
        return invalid_data(messages::kxbm_n_top_out_of_range(n_top, m.dim));
      }
      TAMREL_TRY(m.vector_count, read_u32le(src, magic, "n_vectors"));
      TAMREL_CHECK(check_n_vectors(m.vector_count));
      TAMREL_TRY(payload, bitmap_payload(magic, m.vector_count, m.dim));
      m.bytes_per_vec = m.dim / 8;
      m.params = BitmapParams{n_top};
      return payload;
    }
    case IndexKind::SignBitmap: {
      TAMREL_TRY(m.dim, read_u32le(src, magic, "dim"));
      if (m.dim < kSignDimMin || m.dim > kSignDimMax) {
        return invalid_data(messages::kxsb_dim_out_of_range(m.dim, kSignDimMax));
      }
      if (m.dim % 64 != 0) {
        return invalid_data(messages::kxsb_dim_not_multiple_of_64(m.dim));
      }
      TAMREL_TRY(m.vector_count, read_u32le(src, magic, "n_vectors"));
      TAMREL_CHECK(check_n_vectors(m.vector_count));
      TAMREL_TRY(payload, bitmap_payload(magic, m.vector_count, m.dim));
      m.bytes_per_vec = m.dim / 8;
      m.params = SignBitmapParams{};
      return payload;
    }
    case IndexKind::RankQuantFastscan: break;
  }
  // Kinds that cannot be probed carry a probe note and never get here.
  return invalid_data(messages::layout_unknown(magic));
}

template <class Source>
Result<IndexMetadata> probe(Source& src, std::uint64_t file_size) {
  char magic_bytes[4] = {};
  TAMREL_TRY(bool full, src.read_exact(reinterpret_cast<std::uint8_t*>(magic_bytes), 4));
  if (!full) return truncated(messages::unknown_kind, "magic");
  const FormatEntry* entry = lookup_format(std::string_view(magic_bytes, 4));
  if (entry == nullptr) return invalid_data(messages::unknown_magic());
  if (entry->probe_note) return invalid_data(std::string(*entry->probe_note));

  // Messages name the primary magic, also for a file carrying the twin.
  const std::string_view magic = entry->magic;
  TAMREL_TRY(const std::uint8_t version, read_u8(src, magic, "version"));
  if (version != 1) return invalid_data(messages::unsupported_version(magic, version));

  IndexMetadata meta;
  meta.kind = entry->kind;
  meta.format_version = version;
  meta.file_size_bytes = file_size;
  TAMREL_TRY(const std::uint64_t payload, read_header_fields(src, meta, magic));
  if (payload > MAX_PAYLOAD) {
    return invalid_data(messages::payload_over_limit(payload, MAX_PAYLOAD));
  }
  TAMREL_TRY(const std::uint64_t position, src.position());
  const std::uint64_t remaining = file_size > position ? file_size - position : 0;
  if (remaining < payload) {
    return invalid_data(messages::payload_truncated(magic, payload, remaining));
  }
  if (remaining > payload) {
    return invalid_data(messages::payload_trailing_bytes(magic, payload, remaining));
  }
  return meta;
}

}  // namespace

const FormatEntry* lookup_format(std::string_view magic4) {
  if (magic4.size() != 4) return nullptr;
  for (const FormatEntry& e : kRegistry) {
    if (e.magic == magic4 || (e.twin_magic && *e.twin_magic == magic4)) return &e;
  }
  return nullptr;
}

const FormatEntry& format_entry(IndexKind kind) { return kRegistry[static_cast<int>(kind)]; }

std::string_view kind_name(IndexKind kind) {
  static constexpr std::string_view kNames[] = {"Rank", "RankQuant", "Bitmap", "SignBitmap",
                                                "RankQuantFastscan"};
  return kNames[static_cast<int>(kind)];
}

std::string_view kind_json_name(IndexKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < KIND_JSON_NAMES.size() ? KIND_JSON_NAMES[i] : "rank_quant_fastscan";
}

std::string params_display(const IndexParams& params) {
  if (const auto* rq = std::get_if<RankQuantParams>(&params)) {
    return fmt::format("RankQuant {{ bits: {} }}", rq->bits);
  }
  if (const auto* bm = std::get_if<BitmapParams>(&params)) {
    return fmt::format("Bitmap {{ n_top: {} }}", bm->n_top);
  }
  return std::holds_alternative<RankParams>(params) ? "Rank" : "SignBitmap";
}

Result<IndexMetadata> probe_index_metadata(int fd, std::uint64_t file_size) {
  FdSource src(fd);
  return probe(src, file_size);
}

Result<IndexMetadata> probe_index_bytes(std::span<const std::uint8_t> head,
                                        std::uint64_t file_size) {
  MemorySource src(head);
  return probe(src, file_size);
}

}  // namespace tamrel::rank_io
