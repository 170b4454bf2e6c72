// The header probe's failure texts. Messages name a kind by its primary magic ("KXRQ"), also for a
// file that carries the twin.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/message.hpp"

namespace tamrel::rank_io::messages {

using U64 = std::uint64_t;
using Text = std::string_view;

// ---- the notes of the format registry ----
// A kind with a probe note cannot be probed: the note is the probe's whole message.
inline constexpr Text kxfs_probe_note =
    "KXFS (RankQuantFastscan) metadata probing is not supported in this version; load the index "
    "with RankQuantFastscan::load (tracked in #232)";
// Appended to the coverage message of a kind that manifests cannot describe.
inline constexpr Text kxfs_coverage_note =
    "RankQuantFastscan (.kxfs) is not covered by tamrel-manifest v1 (tracked in #232)";
inline constexpr Text kxfs_abi_note =
    "ABI v1 does not support RankQuantFastscan indexes (tracked in #232)";
inline constexpr Text abi_rank_sign = "ABI v1 supports only RankQuant and Bitmap indexes";

// ---- a header cut short (unexpected end of file) ----
// The magic, or unknown_kind before it is read, then the field.
inline constexpr Message<Text, Text> header_truncated{"{} header truncated while reading {}"};
inline constexpr Text unknown_kind = "tamrel index";

// ---- the magic and the version ----
inline constexpr Message<> unknown_magic{"unknown tamrel index magic"};
inline constexpr Message<Text, U64> unsupported_version{"unsupported {} version: {}"};
// A kind whose header layout this code does not read (never reached: such kinds have a probe note).
inline constexpr Message<Text> layout_unknown{"{} header layout is not known"};

// ---- the header fields, in the order they are checked ----
inline constexpr Message<U64> kxrq_bits_unsupported{
    "unsupported KXRQ bits: {} (expected 1, 2, or 4)"};
inline constexpr Message<U64, U64> dim_out_of_range{"dim {} out of range [2, {}]"};
inline constexpr Message<U64, U64> kxsb_dim_out_of_range{"KXSB dim {} out of range [64, {}]"};
inline constexpr Message<U64> kxsb_dim_not_multiple_of_64{"KXSB dim {} is not a multiple of 64"};
inline constexpr Message<U64> kxbm_dim_not_multiple_of_64{"KXBM dim {} is not a multiple of 64"};
inline constexpr Message<U64, U64> kxrq_dim_not_multiple_of_levels{
    "KXRQ dim {} is not a multiple of 2^bits = {}; constant-composition invariant violated"};
inline constexpr Message<U64, U64> kxrq_dim_not_multiple_of_codes_per_byte{
    "KXRQ dim {} is not a multiple of codes_per_byte = {}"};
inline constexpr Message<U64, U64> kxbm_n_top_out_of_range{
    "KXBM n_top {} must satisfy 0 < n_top < dim ({})"};
inline constexpr Message<U64, U64> n_vectors_over_limit{"n_vectors {} exceeds MAX_VECTORS={}"};

// ---- the payload the header declares ----
inline constexpr Message<> kxrq_bytes_per_vec_overflows{"KXRQ bytes_per_vec overflows usize"};
inline constexpr Message<Text> payload_size_overflows{"{} payload size overflows usize"};
inline constexpr Message<U64, U64> payload_over_limit{"payload {} B exceeds MAX_PAYLOAD={}"};
// The magic, the declared payload, then the bytes after the header.
inline constexpr Message<Text, U64, U64> payload_truncated{
    "{} payload truncated: header declares {} B but file has {} B remaining"};
inline constexpr Message<Text, U64, U64> payload_trailing_bytes{
    "{} payload has trailing bytes: header declares {} B but file has {} B remaining"};

}  // namespace tamrel::rank_io::messages
