// The ten resource limits of one call, passed by value to every worker.
#pragma once

#include <cstdint>

namespace tamrel {

inline constexpr std::uint64_t DEFAULT_MAX_MANIFEST_BYTES = 1048576;
inline constexpr std::uint64_t DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES = 65536;
inline constexpr std::uint64_t DEFAULT_MAX_ROW_IDENTITY_ROWS = 10000000;
inline constexpr std::uint64_t DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES = 67108864;
inline constexpr std::uint64_t DEFAULT_MAX_AUXILIARY_ARTIFACTS = 1024;
inline constexpr std::uint64_t DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES = 67108864;
inline constexpr std::uint64_t DEFAULT_MAX_CALIBRATION_PROFILE_BYTES = 67108864;
inline constexpr std::uint64_t DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES = 67108864;
inline constexpr std::uint64_t DEFAULT_MAX_REPORT_ISSUES = 1024;
inline constexpr std::uint64_t DEFAULT_MAX_CACHED_REPORT_BYTES = 4194304;

inline constexpr char SCHEMA_VERSION[] = "tamrel.index_manifest.v1";
inline constexpr char CALIBRATION_SCHEMA_VERSION[] = "tamrel.calibration.v1";
inline constexpr char ENCODER_DISTORTION_SCHEMA_VERSION[] = "tamrel.encoder_distortion.v1";

struct ResourceLimits {
  std::uint64_t max_manifest_bytes = DEFAULT_MAX_MANIFEST_BYTES;
  std::uint64_t max_row_map_line_bytes = DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES;
  std::uint64_t max_row_map_rows = DEFAULT_MAX_ROW_IDENTITY_ROWS;
  std::uint64_t max_row_map_tracked_id_bytes = DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES;
  std::uint64_t max_auxiliary_artifacts = DEFAULT_MAX_AUXILIARY_ARTIFACTS;
  std::uint64_t max_auxiliary_artifact_bytes = DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES;
  std::uint64_t max_calibration_profile_bytes = DEFAULT_MAX_CALIBRATION_PROFILE_BYTES;
  std::uint64_t max_encoder_distortion_profile_bytes = DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES;
  std::uint64_t max_report_issues = DEFAULT_MAX_REPORT_ISSUES;
  std::uint64_t max_cached_report_bytes = DEFAULT_MAX_CACHED_REPORT_BYTES;
};

}  // namespace tamrel
