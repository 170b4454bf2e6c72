// The verification pass and the load plan.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/limits.hpp"
#include "base/result.hpp"
#include "io/file.hpp"
#include "model/records.hpp"
#include "report/report.hpp"

namespace tamrel::verify {

// A file the pass read: its canonical path and the version fstat gave on the descriptor the pass
// read it through, just after the read.
struct ReadFile {
  std::string canonical_path;
  io::FileVersion version;
};

struct VerifyOptions {
  std::optional<std::filesystem::path> index;  // replaces artifact.path when given
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  bool allow_duplicate_db_ids = false;
  ResourceLimits limits;
  // When set, every file the pass reads is added here (for a caller that opens the files again
  // and must meet the ones that were read). No result depends on it.
  std::vector<ReadFile>* read_files = nullptr;
};

// One whole verification pass over a loaded manifest. Total: every problem is an issue.
report::VerificationReport verify_loaded_manifest(const model::IndexManifest& manifest,
                                                  const std::filesystem::path& manifest_path,
                                                  const VerifyOptions& options);

// load_manifest, the pass, and the report's JSON. Errors: those of load_manifest.
Result<std::string> verify_manifest_json(const std::filesystem::path& manifest_path,
                                         const VerifyOptions& options);

// load_manifest, the pass, and the load plan's JSON. Errors: those of load_manifest; Invalid
// "manifest verification failed..." and the hand-over guards. On that refusal the report's JSON
// goes to `refused_report` (when given), so that the caller can show why without a second pass.
Result<std::string> verify_for_load_json(const std::filesystem::path& manifest_path,
                                         const VerifyOptions& options,
                                         std::string* refused_report = nullptr);

// The load plan of a finished pass: the refusal of a failing report (its JSON to
// `refused_report` when given), the hand-over guards, or the plan's JSON.
Result<std::string> load_plan_json(const std::filesystem::path& manifest_path,
                                   const report::VerificationReport& report,
                                   std::string* refused_report = nullptr);

// "manifest verification failed" and the codes of the first issues.
std::string failure_text(const std::vector<report::ReportIssue>& errors);

}  // namespace tamrel::verify
