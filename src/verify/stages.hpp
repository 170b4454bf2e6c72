// The stages of one verification pass, in the order the pass runs them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "io/digest.hpp"
#include "model/records.hpp"
#include "report/report.hpp"
#include "verify/path_policy.hpp"
#include "verify/verify.hpp"

namespace tamrel::verify {

struct PassInput {
  const model::IndexManifest& manifest;
  std::filesystem::path base_dir;  // the manifest's directory as given, "." when none
  const VerifyOptions& options;
};

void verify_artifact(report::VerificationReport& report, const PassInput& in);
// Only for a list within max_auxiliary_artifacts (the declared-value rules refused a longer one).
void verify_auxiliary_artifacts(report::VerificationReport& report, const PassInput& in);
void verify_row_identity(report::VerificationReport& report, const PassInput& in);
// Declared rules, the profile file, then the calibration link.
void verify_encoder_distortion(report::VerificationReport& report, const PassInput& in);
// Declared rules, then the profile file.
void verify_calibration(report::VerificationReport& report, const PassInput& in);
void verify_attestations(report::VerificationReport& report, const PassInput& in);

// A profile file: path policy, bounded read with digest, digest and size compared; what is
// found goes to the block's facts.
void verify_profile_file(report::VerificationReport& report, const PassInput& in,
                         const std::string& path, const std::string& sha256,
                         std::uint64_t file_size_bytes, std::string_view prefix,
                         std::string_view label, std::uint64_t limit,
                         report::ProfileBlockFacts& facts);

// Adds the file the check read to the options' read_files, when asked for.
void note_read(const VerifyOptions& options, const CheckedFile& checked);

// The measured digest and size against the declared ones: "{prefix}_sha256_mismatch" and
// "{prefix}_file_size_mismatch" as they differ. Returns true when both agree.
bool compare_file_digest(std::vector<report::ReportIssue>& errors, std::string_view prefix,
                         std::string_view label, const io::FileDigest& observed,
                         const std::string& sha256, std::uint64_t size_bytes);

}  // namespace tamrel::verify
