#include "validate/core_rules.hpp"

#include <boost/unordered/unordered_flat_set.hpp>

#include "validate/block_common.hpp"
#include "validate/issues.hpp"
#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using detail::check_digest;
using detail::check_present_not_blank;
using report::add_issue;

bool params_match_kind(const model::Artifact& a) {
  return rank_io::params_kind(a.params) == a.kind;
}

std::uint64_t row_count_of(const model::RowIdentity& ri) {
  return std::visit([](const auto& v) { return v.row_count; }, ri);
}

void check_row_identity_jsonl(detail::Issues& errors, const model::RowIdentityJsonl& j) {
  if (is_blank(j.path)) add_issue(errors, issues::row_identity_path_empty());
  check_digest(errors, j.sha256, issues::row_identity_sha256_invalid);
  if (j.id_kind != "uuid") add_issue(errors, issues::row_identity_id_kind_unsupported());
  if (j.db) add_issue(errors, issues::row_identity_db_unsupported());
}

void check_embedding_optionals(detail::Issues& errors, const model::Embedding& e) {
  check_present_not_blank(errors, e.model_revision, issues::embedding_model_revision_empty);
  check_present_not_blank(errors, e.tokenizer_revision, issues::embedding_tokenizer_revision_empty);
  check_present_not_blank(errors, e.pooling, issues::embedding_pooling_empty);
  if (e.corpus_digest)
    check_digest(errors, *e.corpus_digest, issues::embedding_corpus_digest_invalid);
  if (e.embedding_matrix_digest) {
    check_digest(errors, *e.embedding_matrix_digest, issues::embedding_matrix_digest_invalid);
  }
  check_present_not_blank(errors, e.normalization, issues::embedding_normalization_empty);
}

void check_build(detail::Issues& errors, const model::BuildInfo& b) {
  if (is_blank(b.invocation_id)) add_issue(errors, issues::build_invocation_id_empty());
  check_present_not_blank(errors, b.builder_id, issues::build_builder_id_empty);
  check_present_not_blank(errors, b.source_repo, issues::build_source_repo_empty);
  check_present_not_blank(errors, b.source_commit, issues::build_source_commit_empty);
  check_present_not_blank(errors, b.ci_provider, issues::build_ci_provider_empty);
  check_present_not_blank(errors, b.ci_run_id, issues::build_ci_run_id_empty);
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

bool check_auxiliary_declarations(report::VerificationReport& report,
                                  const model::IndexManifest& manifest,
                                  const ResourceLimits& limits) {
  auto& errors = report.errors;
  const auto& list = manifest.auxiliary_artifacts;
  if (list.size() > limits.max_auxiliary_artifacts) {
    report::add_issue_bounded(errors, limits.max_report_issues,
                              issues::auxiliary_artifact_count_limit_exceeded, list.size(),
                              limits.max_auxiliary_artifacts);
    return false;
  }
  boost::unordered_flat_set<std::string_view> seen;  // views into the manifest, alive for this call
  for (const model::AuxiliaryArtifact& aux : list) {
    const std::string_view t = trimmed(aux.name);
    if (t.empty()) {
      add_issue(errors, issues::auxiliary_artifact_name_empty());
    } else if (t.size() != aux.name.size()) {
      add_issue(errors, issues::auxiliary_artifact_name_not_trimmed(quoted(t)));
    } else if (!seen.insert(aux.name).second) {
      add_issue(errors, issues::auxiliary_artifact_name_duplicate(quoted(aux.name)));
    }
    if (is_blank(aux.path)) add_issue(errors, issues::auxiliary_artifact_path_empty(quoted(t)));
    if (!is_sha256_hex(aux.sha256)) {
      add_issue(errors, issues::auxiliary_artifact_sha256_invalid(quoted(t)));
    }
  }
  return true;
}

DeclaredRules check_core_rules(report::VerificationReport& report, const model::IndexManifest& m,
                               const ResourceLimits& limits) {
  auto& errors = report.errors;
  const model::Artifact& a = m.artifact;
  if (m.schema_version != SCHEMA_VERSION) {
    add_issue(errors, issues::schema_version_unsupported(SCHEMA_VERSION, m.schema_version));
  }
  if (is_blank(m.manifest_id)) add_issue(errors, issues::manifest_id_empty());
  if (!is_rfc3339(m.created_at)) add_issue(errors, issues::created_at_invalid());
  if (is_blank(m.embedding.model)) add_issue(errors, issues::embedding_model_empty());
  if (m.embedding.dim == 0) add_issue(errors, issues::embedding_dim_zero());
  if (is_blank(a.path)) add_issue(errors, issues::artifact_path_empty());
  check_digest(errors, a.sha256, issues::artifact_sha256_invalid);
  if (a.bytes_per_vec == 0) add_issue(errors, issues::artifact_bytes_per_vec_zero());
  if (a.dim != m.embedding.dim) {
    add_issue(errors, issues::artifact_embedding_dim_mismatch(a.dim, m.embedding.dim));
  }
  if (!params_match_kind(a)) add_issue(errors, issues::artifact_params_kind_mismatch());
  const std::uint64_t row_count = row_count_of(m.row_identity);
  if (a.vector_count != row_count) {
    add_issue(errors, issues::artifact_row_count_mismatch(a.vector_count, row_count));
  }
  if (const auto* jsonl = std::get_if<model::RowIdentityJsonl>(&m.row_identity)) {
    check_row_identity_jsonl(errors, *jsonl);
  }
  const DeclaredRules declared{check_auxiliary_declarations(report, m, limits)};
  check_embedding_optionals(errors, m.embedding);
  if (m.build) check_build(errors, *m.build);
  for (const auto& [key, value] : m.extensions.members) {
    if (!is_namespaced_key(key)) {
      add_issue(errors, issues::extension_key_not_namespaced(quoted(key)));
    }
  }
  return declared;
}

}  // namespace tamrel::validate
