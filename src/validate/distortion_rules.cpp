// The declared-value rules of the encoder-distortion block.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "base/limits.hpp"
#include "base/panic.hpp"
#include "validate/block_common.hpp"
#include "validate/block_rules.hpp"
#include "validate/issues.hpp"
#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using detail::check_agrees_with_embedding;
using detail::check_not_blank;
using detail::check_prefixed_digest;
using detail::check_present_not_blank;
using detail::Issues;
using report::add_issue;

constexpr double kRatioTolerance = 1e-9;

constexpr detail::EncoderIssues kEncoderIssues{
    issues::encoder_distortion_encoder_model_empty,
    issues::encoder_distortion_encoder_dim_zero,
    issues::encoder_distortion_encoder_model_revision_empty,
    issues::encoder_distortion_encoder_normalization_empty,
    issues::encoder_distortion_encoder_model_mismatch,
    issues::encoder_distortion_encoder_dim_mismatch,
    issues::encoder_distortion_encoder_model_revision_mismatch,
    issues::encoder_distortion_encoder_normalization_mismatch};

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }
// -0.0 >= 0.0 holds, so negative zero counts as non-negative.
bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }
bool finite_unit(double x) { return std::isfinite(x) && x >= 0.0 && x <= 1.0; }

// The shortest digits that read back as the same double, laid out without an exponent and
// without a fraction when the value is integral: 4.00000001, 4, 0.0000005, -0. Unlike the
// manifest's real layout, a reader of the message never has to decode "1e+16" or "4.0".
std::string plain_decimal(double value) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc{}) panic("to_chars failed on a double");
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  if (!std::isfinite(value)) return std::string(text);
  const std::size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  std::string out;
  if (!mantissa.empty() && mantissa.front() == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = text.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  // Digits before the decimal point.
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

void check_block_members(Issues& errors, const model::EncoderDistortionProfileRef& d,
                         const model::Embedding& emb) {
  if (d.schema_version != ENCODER_DISTORTION_SCHEMA_VERSION) {
    add_issue(errors, issues::encoder_distortion_schema_version_unsupported(
                          ENCODER_DISTORTION_SCHEMA_VERSION, d.schema_version));
  }
  check_not_blank(errors, d.profile_id, issues::encoder_distortion_profile_id_empty);
  if (d.created_at && !is_rfc3339(*d.created_at)) {
    add_issue(errors, issues::encoder_distortion_created_at_invalid());
  }
  detail::check_encoder_members(errors, d.encoder, kEncoderIssues);
  check_present_not_blank(errors, d.tokenizer_revision,
                          issues::encoder_distortion_tokenizer_revision_empty);
  check_present_not_blank(errors, d.pooling, issues::encoder_distortion_pooling_empty);

  detail::check_encoder_agrees(errors, d.encoder, emb, kEncoderIssues);
  check_agrees_with_embedding(errors, d.tokenizer_revision, emb.tokenizer_revision,
                              issues::encoder_distortion_tokenizer_revision_mismatch);
  check_agrees_with_embedding(errors, d.pooling, emb.pooling,
                              issues::encoder_distortion_pooling_mismatch);
}

// The three metric rules, with the rows of one metric.
struct MetricIssues {
  const report::Issue<>& name_empty;
  const report::Issue<>& version_empty;
  const report::Issue<>& digest_invalid;
};

void check_metric(Issues& errors, const model::MetricSpec& m, const MetricIssues& rows) {
  if (is_blank(m.name)) add_issue(errors, rows.name_empty());
  check_present_not_blank(errors, m.version, rows.version_empty);
  check_prefixed_digest(errors, m.digest, rows.digest_invalid);
}

void check_real(Issues& errors, const std::optional<double>& value, bool (*valid)(double),
                const report::Issue<>& issue) {
  if (value && !valid(*value)) add_issue(errors, issue());
}

void check_distortion_ratio(Issues& errors, double lower, double upper, double estimated) {
  const double ratio = upper / lower;
  // Both bounds are finite and positive, so the quotient is never NaN; it can overflow.
  if (std::isinf(ratio)) {
    add_issue(errors, issues::encoder_distortion_ratio_not_finite());
    return;
  }
  if (!std::isfinite(estimated)) return;  // already reported as invalid
  const double tolerance = std::max(ratio * kRatioTolerance, kRatioTolerance);
  if (std::fabs(estimated - ratio) > tolerance) {
    add_issue(errors, issues::encoder_distortion_ratio_differs(plain_decimal(estimated),
                                                               plain_decimal(ratio)));
  }
}

void check_bounds(Issues& errors, const model::DistortionBounds& b) {
  if (!b.declared_lower_bound && !b.declared_upper_bound && !b.estimated_distortion &&
      !b.violation_rate && !b.max_observed_violation && !b.quantile_observed_violation) {
    add_issue(errors, issues::encoder_distortion_bounds_empty());
    return;
  }
  check_real(errors, b.declared_lower_bound, finite_positive,
             issues::encoder_distortion_lower_bound_invalid);
  check_real(errors, b.declared_upper_bound, finite_positive,
             issues::encoder_distortion_upper_bound_invalid);
  check_real(errors, b.estimated_distortion, finite_positive,
             issues::encoder_distortion_estimated_distortion_invalid);
  check_real(errors, b.violation_rate, finite_unit,
             issues::encoder_distortion_violation_rate_invalid);
  check_real(errors, b.max_observed_violation, finite_non_negative,
             issues::encoder_distortion_max_observed_violation_invalid);
  check_real(errors, b.quantile_observed_violation, finite_non_negative,
             issues::encoder_distortion_quantile_observed_violation_invalid);
  if (!b.declared_lower_bound || !b.declared_upper_bound) return;
  const double lower = *b.declared_lower_bound;
  const double upper = *b.declared_upper_bound;
  if (std::isfinite(lower) && std::isfinite(upper) && lower > upper) {
    add_issue(errors, issues::encoder_distortion_bounds_order_invalid());
  }
  if (finite_positive(lower) && finite_positive(upper) && b.estimated_distortion) {
    check_distortion_ratio(errors, lower, upper, *b.estimated_distortion);
  }
}

void check_scope_and_evidence(Issues& errors, const model::EncoderDistortionProfileRef& d) {
  const model::DistortionScope& s = d.scope;
  check_prefixed_digest(errors, s.corpus_digest,
                        issues::encoder_distortion_scope_corpus_digest_invalid);
  check_prefixed_digest(errors, s.query_set_digest,
                        issues::encoder_distortion_scope_query_set_digest_invalid);
  check_prefixed_digest(errors, s.pair_sample_digest,
                        issues::encoder_distortion_scope_pair_sample_digest_invalid);
  check_present_not_blank(errors, s.domain, issues::encoder_distortion_scope_domain_empty);
  check_present_not_blank(errors, s.estimator_version,
                          issues::encoder_distortion_scope_estimator_version_empty);
  if (s.sample_size && *s.sample_size == 0) {
    add_issue(errors, issues::encoder_distortion_scope_sample_size_zero());
  }
  check_real(errors, s.confidence, finite_unit,
             issues::encoder_distortion_scope_confidence_invalid);
  check_real(errors, s.coverage, finite_unit, issues::encoder_distortion_scope_coverage_invalid);

  const model::DistortionEvidence& e = d.evidence;
  check_present_not_blank(errors, e.estimator_id,
                          issues::encoder_distortion_evidence_estimator_id_empty);
  check_prefixed_digest(errors, e.estimator_hash,
                        issues::encoder_distortion_evidence_estimator_hash_invalid);
  if (!d.profile && e.kind != model::DistortionEvidenceKind::CallerAsserted) {
    add_issue(errors, issues::encoder_distortion_profile_required());
  }
}

void check_profile(Issues& errors, const model::DistortionProfileArtifactRef& p) {
  check_not_blank(errors, p.path, issues::encoder_distortion_profile_path_empty);
  detail::check_digest(errors, p.sha256, issues::encoder_distortion_profile_sha256_invalid);
  if (p.file_size_bytes == 0)
    add_issue(errors, issues::encoder_distortion_profile_file_size_zero());
  check_not_blank(errors, p.format, issues::encoder_distortion_profile_format_empty);
  check_prefixed_digest(errors, p.source_digest,
                        issues::encoder_distortion_profile_source_digest_invalid);
}

}  // namespace

bool check_encoder_distortion_declared(report::VerificationReport& report,
                                       const model::EncoderDistortionProfileRef& d,
                                       const model::Embedding& embedding) {
  report::EncoderDistortionFacts& facts = detail::note_declared(report.encoder_distortion, d);
  facts.evidence_kind = model::to_json_name(d.evidence.kind);
  facts.source_metric = d.source_metric.name;
  facts.embedding_metric = d.embedding_metric.name;

  Issues& errors = report.errors;
  check_block_members(errors, d, embedding);
  check_metric(errors, d.source_metric,
               {issues::encoder_distortion_source_metric_name_empty,
                issues::encoder_distortion_source_metric_version_empty,
                issues::encoder_distortion_source_metric_digest_invalid});
  check_metric(errors, d.embedding_metric,
               {issues::encoder_distortion_embedding_metric_name_empty,
                issues::encoder_distortion_embedding_metric_version_empty,
                issues::encoder_distortion_embedding_metric_digest_invalid});
  check_bounds(errors, d.bounds);
  check_scope_and_evidence(errors, d);
  if (!d.profile) return false;
  facts.profile_manifest_path = d.profile->path;
  check_profile(errors, *d.profile);
  return !is_blank(d.profile->path);
}

void check_encoder_distortion_link(report::VerificationReport& report,
                                   const model::IndexManifest& manifest) {
  if (!manifest.encoder_distortion || !manifest.encoder_distortion->calibration_profile_id) {
    return;
  }
  const std::string& id = *manifest.encoder_distortion->calibration_profile_id;
  Issues& errors = report.errors;
  const std::string_view t = trimmed(id);
  if (t.empty()) {
    add_issue(errors, issues::encoder_distortion_calibration_profile_id_empty());
  } else if (t.size() != id.size()) {
    add_issue(errors, issues::encoder_distortion_calibration_profile_id_whitespace());
  } else if (!manifest.calibration) {
    add_issue(errors, issues::encoder_distortion_calibration_missing());
  } else if (id != manifest.calibration->profile_id) {
    add_issue(errors, issues::encoder_distortion_calibration_profile_mismatch(
                          quoted(id), quoted(manifest.calibration->profile_id)));
  }
}

}  // namespace tamrel::validate
