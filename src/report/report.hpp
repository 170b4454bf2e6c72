// The verification report: issues, facts measured on disk, and the issue limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rank_io/probe.hpp"

namespace tamrel::model {
class JsonWriter;
}

namespace tamrel::report {

using OptString = std::optional<std::string>;
using OptU64 = std::optional<std::uint64_t>;

struct ReportIssue {
  std::string code;
  std::string message;
};

struct ArtifactFacts {
  OptString manifest_path;
  OptString observed_path;
  OptString canonical_path;
  OptString sha256;
  OptU64 size_bytes;
  std::optional<rank_io::IndexMetadata> metadata;
};

enum class AuxiliaryArtifactState : std::uint8_t {
  Verified,
  OptionalAbsent,
  MissingRequired,
  Failed
};
const char* state_name(AuxiliaryArtifactState state);

struct AuxiliaryArtifactFacts {
  std::string name;
  std::string manifest_path;
  OptString resolved_path;
  OptString canonical_path;
  OptString expected_sha256;
  OptU64 expected_size_bytes;
  bool required = true;
  AuxiliaryArtifactState state = AuxiliaryArtifactState::Failed;
  OptString reason_code;
  OptString sha256;
  OptU64 size_bytes;
};

struct RowIdentityFacts {
  OptString kind;
  OptString manifest_path;
  OptString canonical_path;
  OptString sha256;
  OptU64 row_count;
  OptU64 validated_rows;
};

// An optional block that may name a profile file (encoder distortion, calibration): what
// identifies the block and the profile file as declared and as found. The report writes the
// block's own members between the two.
struct ProfileBlockFacts {
  bool present = false;
  OptString schema_version;
  OptString profile_id;
  OptString profile_manifest_path;
  OptString profile_canonical_path;
  OptString profile_sha256;
  OptU64 profile_size_bytes;
};

struct EncoderDistortionFacts : ProfileBlockFacts {
  OptString evidence_kind;
  OptString source_metric;
  OptString embedding_metric;
};

struct CalibrationFacts : ProfileBlockFacts {
  OptString calibrated_for_model;
  OptString ordinalization;
  OptString null_model;
};

struct AttestationShapeCheck {
  OptString predicate_type;
  OptString builder_id;
  bool subject_sha256_matched = false;
};

struct VerificationReport {
  bool ok = false;
  std::string checked_at;
  OptString manifest_id;
  ArtifactFacts artifact;
  std::vector<AuxiliaryArtifactFacts> auxiliary_artifacts;
  RowIdentityFacts row_identity;
  EncoderDistortionFacts encoder_distortion;
  CalibrationFacts calibration;
  std::vector<AttestationShapeCheck> attestation_shape_checks;
  std::vector<ReportIssue> errors;
  std::vector<ReportIssue> warnings;  // no rule adds to it
  std::vector<std::string> skipped_checks;
};

// A report with checked_at taken now (UTC, nine fractional digits) and manifest_id copied.
VerificationReport start_report(std::string manifest_id);

// The current UTC time as "YYYY-MM-DDTHH:MM:SS.nnnnnnnnnZ". A clock before 1970 is a panic.
std::string rfc3339_now_nanos();

// Plain add.
void add_issue(std::vector<ReportIssue>& issues, std::string code, std::string message);
// Add under the issue limit: at the limit the tail gives way to one marker issue.
void add_issue_bounded(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues,
                       std::string code, std::string message);
// What an issue past the limit leaves: the marker, placed once.
void mark_issue_limit(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues);

// Final limit, then the verdict.
void finish_report(VerificationReport& report, std::uint64_t max_report_issues);

// The compact report JSON, every key always written.
std::string report_to_json(const VerificationReport& report);
void write_report(model::JsonWriter& w, const VerificationReport& report);
// The metadata object {"kind":...,"params":{...},...} shared with the load plan.
void write_metadata(model::JsonWriter& w, const rank_io::IndexMetadata& metadata);

}  // namespace tamrel::report
