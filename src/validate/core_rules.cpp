#include "validate/core_rules.hpp"

#include <absl/container/flat_hash_set.h>

#include <fmt/format.h>

#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using report::add_issue;

constexpr char kDigestRule[] = "must be a lowercase 64-character hex SHA-256 digest";

// ManifestIndexKind and ManifestIndexParams list their variants in the same order.
bool params_match_kind(const model::Artifact& a) {
  return a.params.index() == static_cast<std::size_t>(a.kind);
}

std::uint64_t row_count_of(const model::RowIdentity& ri) {
  return std::visit([](const auto& v) { return v.row_count; }, ri);
}

// Optional member: an issue when present and blank.
void check_optional_text(std::vector<report::ReportIssue>& errors, const model::OptString& value,
                         const char* code, const char* message) {
  if (value && is_blank(*value)) add_issue(errors, code, message);
}

void check_row_identity_jsonl(std::vector<report::ReportIssue>& errors,
                              const model::RowIdentityJsonl& j) {
  if (is_blank(j.path)) {
    add_issue(errors, "row_identity_path_empty", "row_identity.path must be non-empty");
  }
  if (!is_sha256_hex(j.sha256)) {
    add_issue(errors, "row_identity_sha256_invalid",
              fmt::format("row_identity.sha256 {}", kDigestRule));
  }
  if (j.id_kind != "uuid") {
    add_issue(errors, "row_identity_id_kind_unsupported",
              "row_identity.id_kind must be uuid in v1");
  }
  if (j.db) {
    add_issue(errors, "row_identity_db_unsupported",
              "row_identity.db is reserved for a future schema and is not verified in v1");
  }
}

void check_embedding_optionals(std::vector<report::ReportIssue>& errors,
                               const model::Embedding& e) {
  check_optional_text(errors, e.model_revision, "embedding_model_revision_empty",
                      "embedding.model_revision must be non-empty when present");
  check_optional_text(errors, e.tokenizer_revision, "embedding_tokenizer_revision_empty",
                      "embedding.tokenizer_revision must be non-empty when present");
  check_optional_text(errors, e.pooling, "embedding_pooling_empty",
                      "embedding.pooling must be non-empty when present");
  if (e.corpus_digest && !is_sha256_hex(*e.corpus_digest)) {
    add_issue(errors, "embedding_corpus_digest_invalid",
              fmt::format("embedding.corpus_digest {}", kDigestRule));
  }
  if (e.embedding_matrix_digest && !is_sha256_hex(*e.embedding_matrix_digest)) {
    add_issue(errors, "embedding_matrix_digest_invalid",
              fmt::format("embedding.embedding_matrix_digest {}", kDigestRule));
  }
  check_optional_text(errors, e.normalization, "embedding_normalization_empty",
                      "embedding.normalization must be non-empty when present");
}

void check_build(std::vector<report::ReportIssue>& errors, const model::BuildInfo& b) {
  if (is_blank(b.invocation_id)) {
    add_issue(errors, "build_invocation_id_empty", "build.invocation_id must be non-empty");
  }
  check_optional_text(errors, b.builder_id, "build_builder_id_empty",
                      "build.builder_id must be non-empty");
  check_optional_text(errors, b.source_repo, "build_source_repo_empty",
                      "build.source_repo must be non-empty when present");
  check_optional_text(errors, b.source_commit, "build_source_commit_empty",
                      "build.source_commit must be non-empty when present");
  check_optional_text(errors, b.ci_provider, "build_ci_provider_empty",
                      "build.ci_provider must be non-empty when present");
  check_optional_text(errors, b.ci_run_id, "build_ci_run_id_empty",
                      "build.ci_run_id must be non-empty when present");
}

bool is_segment_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}
bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_dotted_segment(std::string_view seg) {
  return !seg.empty() && std::all_of(seg.begin(), seg.end(), is_segment_char) &&
         std::any_of(seg.begin(), seg.end(), is_alnum);
}

}  // namespace

bool is_namespaced_key(std::string_view key) {
  if (key.find("://") != std::string_view::npos) return true;
  if (key.starts_with("urn:")) return true;
  std::size_t segments = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dot = key.find('.', start);
    const std::string_view seg =
        key.substr(start, dot == std::string_view::npos ? key.npos : dot - start);
    if (!is_dotted_segment(seg)) return false;
    ++segments;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return segments >= 2;
}

void check_auxiliary_declarations(report::VerificationReport& report,
                                  const model::IndexManifest& manifest,
                                  const ResourceLimits& limits) {
  auto& errors = report.errors;
  const auto& list = manifest.auxiliary_artifacts;
  if (list.size() > limits.max_auxiliary_artifacts) {
    constexpr char kCode[] = "auxiliary_artifact_count_limit_exceeded";
    if (!report::has_issue_code(errors, kCode)) {
      report::add_issue_bounded(
          errors, limits.max_report_issues, kCode,
          fmt::format("auxiliary_artifacts has {} entries, exceeding max_auxiliary_artifacts={}",
                      list.size(), limits.max_auxiliary_artifacts));
    }
    return;
  }
  absl::flat_hash_set<std::string_view> seen;  // views into the manifest, alive for this call
  for (const model::AuxiliaryArtifact& aux : list) {
    const std::string_view t = trimmed(aux.name);
    if (t.empty()) {
      add_issue(errors, "auxiliary_artifact_name_empty",
                "auxiliary artifact name must be non-empty");
    } else if (t.size() != aux.name.size()) {
      add_issue(errors, "auxiliary_artifact_name_not_trimmed",
                fmt::format(
                    "auxiliary artifact name {} must not have leading or trailing whitespace",
                    quoted(t)));
    } else if (!seen.insert(aux.name).second) {
      add_issue(errors, "auxiliary_artifact_name_duplicate",
                fmt::format("auxiliary artifact name {} is duplicated", quoted(aux.name)));
    }
    if (is_blank(aux.path)) {
      add_issue(errors, "auxiliary_artifact_path_empty",
                fmt::format("auxiliary artifact {} path must be non-empty", quoted(t)));
    }
    if (!is_sha256_hex(aux.sha256)) {
      add_issue(errors, "auxiliary_artifact_sha256_invalid",
                fmt::format("auxiliary artifact {} sha256 {}", quoted(t), kDigestRule));
    }
  }
}

void check_core_rules(report::VerificationReport& report, const model::IndexManifest& m,
                      const ResourceLimits& limits) {
  auto& errors = report.errors;
  const model::Artifact& a = m.artifact;
  if (m.schema_version != SCHEMA_VERSION) {
    add_issue(errors, "schema_version_unsupported",
              fmt::format("schema_version must be {}, got {}", SCHEMA_VERSION, m.schema_version));
  }
  if (is_blank(m.manifest_id)) {
    add_issue(errors, "manifest_id_empty", "manifest_id must be non-empty");
  }
  if (!is_rfc3339(m.created_at)) {
    add_issue(errors, "created_at_invalid", "created_at must parse as RFC3339");
  }
  if (is_blank(m.embedding.model)) {
    add_issue(errors, "embedding_model_empty", "embedding.model must be non-empty");
  }
  if (m.embedding.dim == 0) {
    add_issue(errors, "embedding_dim_zero", "embedding.dim must be greater than zero");
  }
  if (is_blank(a.path)) {
    add_issue(errors, "artifact_path_empty", "artifact.path must be non-empty");
  }
  if (!is_sha256_hex(a.sha256)) {
    add_issue(errors, "artifact_sha256_invalid", fmt::format("artifact.sha256 {}", kDigestRule));
  }
  if (a.bytes_per_vec == 0) {
    add_issue(errors, "artifact_bytes_per_vec_zero",
              "artifact.bytes_per_vec must be greater than zero");
  }
  if (a.dim != m.embedding.dim) {
    add_issue(errors, "artifact_embedding_dim_mismatch",
              fmt::format("artifact.dim {} does not match embedding.dim {}", a.dim,
                          m.embedding.dim));
  }
  if (!params_match_kind(a)) {
    add_issue(errors, "artifact_params_kind_mismatch",
              "artifact.params discriminator does not match artifact.kind");
  }
  const std::uint64_t row_count = row_count_of(m.row_identity);
  if (a.vector_count != row_count) {
    add_issue(errors, "artifact_row_count_mismatch",
              fmt::format("artifact.vector_count {} does not match row_identity.row_count {}",
                          a.vector_count, row_count));
  }
  if (const auto* jsonl = std::get_if<model::RowIdentityJsonl>(&m.row_identity)) {
    check_row_identity_jsonl(errors, *jsonl);
  }
  check_auxiliary_declarations(report, m, limits);
  check_embedding_optionals(errors, m.embedding);
  if (m.build) check_build(errors, *m.build);
  for (const auto& [key, value] : m.extensions.members) {
    if (!is_namespaced_key(key)) {
      add_issue(errors, "extension_key_not_namespaced",
                fmt::format("extension key {} must be namespaced", quoted(key)));
    }
  }
}

}  // namespace tamrel::validate
