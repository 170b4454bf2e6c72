// The ten resource limits of one call, passed by value to every worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tamrel {

inline constexpr char SCHEMA_VERSION[] = "tamrel.index_manifest.v1";
inline constexpr char CALIBRATION_SCHEMA_VERSION[] = "tamrel.calibration.v1";
inline constexpr char ENCODER_DISTORTION_SCHEMA_VERSION[] = "tamrel.encoder_distortion.v1";

// Defaults come from LIMITS below.
struct ResourceLimits {
  std::uint64_t max_manifest_bytes{};
  std::uint64_t max_row_map_line_bytes{};
  std::uint64_t max_row_map_rows{};
  std::uint64_t max_row_map_tracked_id_bytes{};
  std::uint64_t max_auxiliary_artifacts{};
  std::uint64_t max_auxiliary_artifact_bytes{};
  std::uint64_t max_calibration_profile_bytes{};
  std::uint64_t max_encoder_distortion_profile_bytes{};
  std::uint64_t max_report_issues{};
  std::uint64_t max_cached_report_bytes{};

  constexpr ResourceLimits();
};

struct Limit {
  const char* keyword;   // the keyword argument and the key of default_resource_limits()
  const char* constant;  // the module constant holding the default
  std::uint64_t ResourceLimits::*field;
  std::uint64_t default_value;
};

// Every limit once, in the order of the keyword arguments, the constants and
// default_resource_limits().
inline constexpr Limit LIMITS[] = {
    {"max_manifest_bytes", "DEFAULT_MAX_MANIFEST_BYTES", &ResourceLimits::max_manifest_bytes,
     1048576},
    {"max_row_map_line_bytes", "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
     &ResourceLimits::max_row_map_line_bytes, 65536},
    {"max_row_map_rows", "DEFAULT_MAX_ROW_IDENTITY_ROWS", &ResourceLimits::max_row_map_rows,
     10000000},
    {"max_row_map_tracked_id_bytes", "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
     &ResourceLimits::max_row_map_tracked_id_bytes, 67108864},
    {"max_auxiliary_artifacts", "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
     &ResourceLimits::max_auxiliary_artifacts, 1024},
    {"max_auxiliary_artifact_bytes", "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
     &ResourceLimits::max_auxiliary_artifact_bytes, 67108864},
    {"max_calibration_profile_bytes", "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
     &ResourceLimits::max_calibration_profile_bytes, 67108864},
    {"max_encoder_distortion_profile_bytes", "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
     &ResourceLimits::max_encoder_distortion_profile_bytes, 67108864},
    {"max_report_issues", "DEFAULT_MAX_REPORT_ISSUES", &ResourceLimits::max_report_issues, 1024},
    {"max_cached_report_bytes", "DEFAULT_MAX_CACHED_REPORT_BYTES",
     &ResourceLimits::max_cached_report_bytes, 4194304},
};
inline constexpr std::size_t LIMIT_COUNT = std::size(LIMITS);
static_assert(LIMIT_COUNT * sizeof(std::uint64_t) == sizeof(ResourceLimits),
              "every field of ResourceLimits has its row");

constexpr ResourceLimits::ResourceLimits() {
  for (const Limit& limit : LIMITS) this->*limit.field = limit.default_value;
}

}  // namespace tamrel
