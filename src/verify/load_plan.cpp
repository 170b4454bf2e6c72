// verify_for_load: the pass, then the facts a loader needs, taken from what was measured.
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "model/codec.hpp"
#include "model/writer.hpp"
#include "validate/predicates.hpp"
#include "verify/issues.hpp"
#include "verify/verify.hpp"

namespace tamrel::verify {
namespace {

constexpr std::size_t FAILED_CODES_SHOWN = 3;
constexpr std::string_view OPTIONAL_ABSENT_CODE = issues::auxiliary_artifact_optional_absent;

// A failing report has at least one error.
ManifestError refusal(const std::vector<report::ReportIssue>& errors) {
  std::string codes;
  for (std::size_t i = 0; i < errors.size() && i < FAILED_CODES_SHOWN; ++i) {
    if (i > 0) codes += ", ";
    codes += errors[i].code;
  }
  if (errors.size() > FAILED_CODES_SHOWN) codes += ", ...";
  return issues::verification_failed(codes);
}

}  // namespace

std::string failure_text(const std::vector<report::ReportIssue>& errors) {
  return refusal(errors).message;
}

namespace {

// A verified artifact with its path; an optional one that is absent with its reason.
void write_plan_auxiliary(model::JsonWriter& w, const report::AuxiliaryArtifactFacts& aux) {
  const bool verified = aux.state == report::AuxiliaryArtifactState::Verified;
  model::ObjectWriter o(w);
  o.str("name", std::string_view(aux.name));
  o.str("path", verified ? aux.canonical_path : std::nullopt);
  o.boolean("required", aux.required);
  o.str("reason_code", verified ? std::nullopt : report::OptString(OPTIONAL_ABSENT_CODE));
  o.str("sha256", aux.sha256);
  o.u64("size_bytes", aux.size_bytes);
}

// The guards of the hand-over, in order; on success the plan text.
Result<std::string> plan_json(const std::filesystem::path& manifest_path,
                              const report::VerificationReport& report) {
  const report::ArtifactFacts& artifact = report.artifact;
  if (!artifact.canonical_path) {
    return issues::plan_artifact_path_missing();
  }
  if (!artifact.metadata) return issues::plan_metadata_missing();
  const report::RowIdentityFacts& rows = report.row_identity;
  if (!rows.kind) return issues::plan_row_identity_kind_missing();
  if (!rows.row_count) return issues::plan_row_count_missing();
  report::OptString rows_path;
  if (*rows.kind == "jsonl") {
    if (!rows.canonical_path) {
      return issues::plan_row_identity_path_missing();
    }
    rows_path = rows.canonical_path;
  } else if (*rows.kind != "row_id_identity") {
    return issues::plan_row_identity_kind_unsupported(*rows.kind);
  }
  for (const report::AuxiliaryArtifactFacts& aux : report.auxiliary_artifacts) {
    using State = report::AuxiliaryArtifactState;
    if (aux.state == State::MissingRequired || aux.state == State::Failed) {
      return issues::plan_auxiliary_not_loadable(validate::quoted(aux.name));
    }
    if (aux.state == State::Verified && !aux.canonical_path) {
      return issues::plan_auxiliary_path_missing(validate::quoted(aux.name));
    }
  }

  model::JsonWriter w(model::JsonWriter::Layout::Compact);
  {
    model::ObjectWriter plan(w);
    plan.str("manifest_path", std::string_view(path_display(manifest_path)));
    plan.str("artifact_path", std::string_view(*artifact.canonical_path));
    report::write_metadata(plan.key("metadata"), *artifact.metadata);
    {
      model::ObjectWriter o(plan.key("row_identity"));
      o.str("kind", std::string_view(*rows.kind));
      o.str("path", rows_path);
      o.u64("row_count", *rows.row_count);
      o.u64("validated_rows", rows.validated_rows);
      o.str("sha256", rows.sha256);
    }
    model::write_array(plan.key("auxiliary_artifacts"), report.auxiliary_artifacts,
                       write_plan_auxiliary);
    report::write_report(plan.key("report"), report);
  }
  return w.take();
}

}  // namespace

Result<std::string> verify_for_load_json(const std::filesystem::path& manifest_path,
                                         const VerifyOptions& options,
                                         std::string* refused_report) {
  TAMREL_TRY(const model::IndexManifest manifest,
             model::load_manifest(manifest_path, options.limits.max_manifest_bytes));
  const report::VerificationReport report =
      verify_loaded_manifest(manifest, manifest_path, options);
  return load_plan_json(manifest_path, report, refused_report);
}

Result<std::string> load_plan_json(const std::filesystem::path& manifest_path,
                                   const report::VerificationReport& report,
                                   std::string* refused_report) {
  if (!report.ok) {
    if (refused_report != nullptr) *refused_report = report::report_to_json(report);
    return refusal(report.errors);
  }
  return plan_json(manifest_path, report);
}

}  // namespace tamrel::verify
