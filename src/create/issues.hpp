// Why creation refuses its inputs; codes shared with verification come from its catalogues.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/issue.hpp"

namespace tamrel::create::issues {

using report::Failure;
using U64 = std::uint64_t;
using Text = std::string_view;

inline constexpr Failure<Text, Text> input_changed{"{} changed while it was being read: {}"};
inline constexpr Failure<Text> params_not_supported{
    "artifact metadata params {} are not supported by tamrel-manifest v1"};
inline constexpr Failure<Text> row_map_invalid{"row map is invalid: {}"};
inline constexpr Failure<U64, U64> row_map_row_count_differs{
    "row map has {} rows but index has {} vectors"};
inline constexpr Failure<> row_map_hash_unavailable{
    "row map hash unavailable after bounded validation"};
inline constexpr Failure<Text, Text> path_not_utf8{
    "{} path {} is not valid UTF-8 and cannot be stored in a manifest"};
inline constexpr Failure<Text, Text, Text> path_outside_manifest_directory{
    "{} path {} is outside manifest directory {}; use --allow-path-escape to create a manifest "
    "that requires non-default verification policy"};
inline constexpr Failure<Text, Text, Text> path_not_relative{
    "{} path {} cannot be expressed relative to manifest directory {}; use "
    "--allow-absolute-paths with --allow-path-escape"};

}  // namespace tamrel::create::issues
