// verify_for_load: the pass, then the facts a loader needs, taken from what was measured.
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "base/text.hpp"
#include "model/codec.hpp"
#include "model/json_text.hpp"
#include "validate/predicates.hpp"
#include "verify/issues.hpp"
#include "verify/verify.hpp"

namespace tamrel::verify {
namespace {

constexpr std::size_t FAILED_CODES_SHOWN = 3;
constexpr std::string_view OPTIONAL_ABSENT_CODE = issues::auxiliary_artifact_optional_absent;

ManifestError hand_over(std::string text) { return ManifestError::invalid(std::move(text)); }

std::string failure_text(const std::vector<report::ReportIssue>& errors) {
  std::string text = "manifest verification failed";
  for (std::size_t i = 0; i < errors.size() && i < FAILED_CODES_SHOWN; ++i) {
    text += i == 0 ? ": " : ", ";
    text += errors[i].code;
  }
  if (errors.size() > FAILED_CODES_SHOWN) text += ", ...";
  return text;
}

void append_key(std::string& out, std::string_view key) {
  model::append_json_string(out, key);
  out.push_back(':');
}

void append_opt_string(std::string& out, const report::OptString& value) {
  if (value) {
    model::append_json_string(out, *value);
  } else {
    out += "null";
  }
}

void append_opt_uint(std::string& out, const report::OptU64& value) {
  if (value) {
    model::append_uint(out, *value);
  } else {
    out += "null";
  }
}

// The guards of the hand-over, in order; on success the plan text.
Result<std::string> plan_json(const std::filesystem::path& manifest_path,
                              const report::VerificationReport& report) {
  const report::ArtifactFacts& artifact = report.artifact;
  if (!artifact.canonical_path) {
    return hand_over("verified report is missing the captured artifact path");
  }
  if (!artifact.metadata) return hand_over("verified report is missing probed artifact metadata");
  const report::RowIdentityFacts& rows = report.row_identity;
  if (!rows.kind) return hand_over("verified report is missing row identity kind");
  if (!rows.row_count) return hand_over("verified report is missing row identity row count");
  report::OptString rows_path;
  if (*rows.kind == "jsonl") {
    if (!rows.canonical_path) {
      return hand_over("verified report is missing the captured row identity path");
    }
    rows_path = rows.canonical_path;
  } else if (*rows.kind != "row_id_identity") {
    return hand_over(fmt::format("verified report has unsupported row identity kind {}", *rows.kind));
  }
  for (const report::AuxiliaryArtifactFacts& aux : report.auxiliary_artifacts) {
    using State = report::AuxiliaryArtifactState;
    if (aux.state == State::MissingRequired || aux.state == State::Failed) {
      return hand_over(fmt::format("verified report contains non-loadable auxiliary artifact {}",
                                   validate::quoted(aux.name)));
    }
    if (aux.state == State::Verified && !aux.canonical_path) {
      return hand_over(fmt::format("verified auxiliary artifact {} is missing its captured path",
                                   validate::quoted(aux.name)));
    }
  }

  std::string out = "{";
  append_key(out, "manifest_path");
  model::append_json_string(out, path_display(manifest_path));
  out.push_back(',');
  append_key(out, "artifact_path");
  model::append_json_string(out, *artifact.canonical_path);
  out.push_back(',');
  append_key(out, "metadata");
  report::append_metadata_json(out, *artifact.metadata);
  out.push_back(',');

  append_key(out, "row_identity");
  out.push_back('{');
  append_key(out, "kind");
  model::append_json_string(out, *rows.kind);
  out.push_back(',');
  append_key(out, "path");
  append_opt_string(out, rows_path);
  out.push_back(',');
  append_key(out, "row_count");
  model::append_uint(out, *rows.row_count);
  out.push_back(',');
  append_key(out, "validated_rows");
  append_opt_uint(out, rows.validated_rows);
  out.push_back(',');
  append_key(out, "sha256");
  append_opt_string(out, rows.sha256);
  out += "},";

  append_key(out, "auxiliary_artifacts");
  out.push_back('[');
  bool first = true;
  for (const report::AuxiliaryArtifactFacts& aux : report.auxiliary_artifacts) {
    const bool verified = aux.state == report::AuxiliaryArtifactState::Verified;
    if (!first) out.push_back(',');
    first = false;
    out.push_back('{');
    append_key(out, "name");
    model::append_json_string(out, aux.name);
    out.push_back(',');
    append_key(out, "path");
    append_opt_string(out, verified ? aux.canonical_path : std::nullopt);
    out.push_back(',');
    append_key(out, "required");
    out += aux.required ? "true" : "false";
    out.push_back(',');
    append_key(out, "reason_code");
    append_opt_string(out, verified ? std::nullopt : report::OptString(OPTIONAL_ABSENT_CODE));
    out.push_back(',');
    append_key(out, "sha256");
    append_opt_string(out, aux.sha256);
    out.push_back(',');
    append_key(out, "size_bytes");
    append_opt_uint(out, aux.size_bytes);
    out.push_back('}');
  }
  out += "],";

  append_key(out, "report");
  report::append_report_json(out, report);
  out.push_back('}');
  return out;
}

}  // namespace

Result<std::string> verify_for_load_json(const std::filesystem::path& manifest_path,
                                         const VerifyOptions& options,
                                         std::string* refused_report) {
  TAMREL_TRY(const model::IndexManifest manifest,
             model::load_manifest(manifest_path, options.limits.max_manifest_bytes));
  const report::VerificationReport report =
      verify_loaded_manifest(manifest, manifest_path, options);
  if (!report.ok) {
    if (refused_report != nullptr) report::append_report_json(*refused_report, report);
    return hand_over(failure_text(report.errors));
  }
  return plan_json(manifest_path, report);
}

}  // namespace tamrel::verify
