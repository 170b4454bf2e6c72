// One verification pass: every declared-value rule, then every file, in a fixed order.
#include "base/path.hpp"
#include "base/text.hpp"
#include "model/codec.hpp"
#include "validate/core_rules.hpp"
#include "verify/stages.hpp"
#include "verify/verify.hpp"

namespace tamrel::verify {

void note_read(const VerifyOptions& options, const CheckedFile& checked) {
  if (options.read_files == nullptr || !checked.file.ok()) return;
  auto version = io::file_version(checked.file->get());
  if (!version.ok()) return;
  options.read_files->push_back(ReadFile{path_display(checked.canonical), *version});
}

report::VerificationReport verify_loaded_manifest(const model::IndexManifest& manifest,
                                                  const std::filesystem::path& manifest_path,
                                                  const VerifyOptions& options) {
  report::VerificationReport report = report::start_report(manifest.manifest_id);
  const validate::DeclaredRules declared =
      validate::check_core_rules(report, manifest, options.limits);
  const PassInput in{manifest, directory_of(manifest_path), options};
  verify_artifact(report, in);
  if (declared.auxiliary_within_limit) verify_auxiliary_artifacts(report, in);
  verify_row_identity(report, in);
  verify_encoder_distortion(report, in);
  verify_calibration(report, in);
  verify_attestations(report, in);
  report::finish_report(report, options.limits.max_report_issues);
  return report;
}

Result<std::string> verify_manifest_json(const std::filesystem::path& manifest_path,
                                         const VerifyOptions& options) {
  TAMREL_TRY(const model::IndexManifest manifest,
             model::load_manifest(manifest_path, options.limits.max_manifest_bytes));
  return report::report_to_json(verify_loaded_manifest(manifest, manifest_path, options));
}

}  // namespace tamrel::verify
