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
#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using report::add_issue;
using Issues = std::vector<report::ReportIssue>;

constexpr double kRatioTolerance = 1e-9;

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

void check_prefixed_digest(Issues& errors, const model::OptString& value, const char* code,
                           const char* message) {
  if (value && !is_prefixed_sha256(*value)) add_issue(errors, code, message);
}

void check_block_members(Issues& errors, const model::EncoderDistortionProfileRef& d,
                         const model::Embedding& emb) {
  if (d.schema_version != ENCODER_DISTORTION_SCHEMA_VERSION) {
    add_issue(errors, "encoder_distortion_schema_version_unsupported",
              fmt::format("encoder_distortion.schema_version must be {}, got {}",
                          ENCODER_DISTORTION_SCHEMA_VERSION, d.schema_version));
  }
  detail::check_not_blank(errors, d.profile_id, "encoder_distortion_profile_id_empty",
                          "encoder_distortion.profile_id must be non-empty");
  if (d.created_at && !is_rfc3339(*d.created_at)) {
    add_issue(errors, "encoder_distortion_created_at_invalid",
              "encoder_distortion.created_at must parse as RFC3339 when present");
  }
  const model::EncoderSpec& enc = d.encoder;
  detail::check_not_blank(errors, enc.model, "encoder_distortion_encoder_model_empty",
                          "encoder_distortion.encoder.model must be non-empty");
  if (enc.dim == 0) {
    add_issue(errors, "encoder_distortion_encoder_dim_zero",
              "encoder_distortion.encoder.dim must be greater than zero");
  }
  detail::check_present_not_blank(
      errors, enc.model_revision, "encoder_distortion_encoder_model_revision_empty",
      "encoder_distortion.encoder.model_revision must be non-empty when present");
  detail::check_present_not_blank(
      errors, enc.normalization, "encoder_distortion_encoder_normalization_empty",
      "encoder_distortion.encoder.normalization must be non-empty when present");
  detail::check_present_not_blank(errors, d.tokenizer_revision,
                                  "encoder_distortion_tokenizer_revision_empty",
                                  "encoder_distortion.tokenizer_revision must be non-empty when "
                                  "present");
  detail::check_present_not_blank(errors, d.pooling, "encoder_distortion_pooling_empty",
                                  "encoder_distortion.pooling must be non-empty when present");

  if (enc.model != emb.model) {
    add_issue(errors, "encoder_distortion_encoder_model_mismatch",
              fmt::format("encoder_distortion model {} does not match embedding.model {}",
                          validate::quoted(enc.model), validate::quoted(emb.model)));
  }
  if (enc.dim != emb.dim) {
    add_issue(errors, "encoder_distortion_encoder_dim_mismatch",
              fmt::format("encoder_distortion dim {} does not match embedding.dim {}", enc.dim,
                          emb.dim));
  }
  detail::check_agrees_with_embedding(errors, enc.model_revision, emb.model_revision,
                                      "encoder_distortion_encoder_model_revision_mismatch",
                                      "encoder_distortion encoder", "model_revision");
  detail::check_agrees_with_embedding(errors, enc.normalization, emb.normalization,
                                      "encoder_distortion_encoder_normalization_mismatch",
                                      "encoder_distortion encoder", "normalization");
  detail::check_agrees_with_embedding(errors, d.tokenizer_revision, emb.tokenizer_revision,
                                      "encoder_distortion_tokenizer_revision_mismatch",
                                      "encoder_distortion", "tokenizer_revision");
  detail::check_agrees_with_embedding(errors, d.pooling, emb.pooling,
                                      "encoder_distortion_pooling_mismatch", "encoder_distortion",
                                      "pooling");
}

// The prefix builds both the code and the message ("encoder_distortion_source_metric.name").
void check_metric(Issues& errors, const model::MetricSpec& m, std::string_view prefix) {
  if (is_blank(m.name)) {
    add_issue(errors, fmt::format("{}_name_empty", prefix),
              fmt::format("{}.name must be non-empty", prefix));
  }
  if (m.version && is_blank(*m.version)) {
    add_issue(errors, fmt::format("{}_version_empty", prefix),
              fmt::format("{}.version must be non-empty when present", prefix));
  }
  if (m.digest && !is_prefixed_sha256(*m.digest)) {
    add_issue(errors, fmt::format("{}_digest_invalid", prefix),
              fmt::format("{}.digest must be sha256:<lowercase-hex> when present", prefix));
  }
}

void check_real(Issues& errors, const std::optional<double>& value, bool (*valid)(double),
                const char* code, const char* message) {
  if (value && !valid(*value)) add_issue(errors, code, message);
}

void check_distortion_ratio(Issues& errors, double lower, double upper, double estimated) {
  const double ratio = upper / lower;
  // Both bounds are finite and positive, so the quotient is never NaN; it can overflow.
  if (std::isinf(ratio)) {
    add_issue(errors, "encoder_distortion_distortion_mismatch",
              "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be "
              "finite");
    return;
  }
  if (!std::isfinite(estimated)) return;  // already reported as invalid
  const double tolerance = std::max(ratio * kRatioTolerance, kRatioTolerance);
  if (std::fabs(estimated - ratio) > tolerance) {
    add_issue(errors, "encoder_distortion_distortion_mismatch",
              fmt::format("encoder_distortion.bounds.estimated_distortion {} does not match "
                          "declared_upper_bound / declared_lower_bound {}",
                          plain_decimal(estimated), plain_decimal(ratio)));
  }
}

void check_bounds(Issues& errors, const model::DistortionBounds& b) {
  if (!b.declared_lower_bound && !b.declared_upper_bound && !b.estimated_distortion &&
      !b.violation_rate && !b.max_observed_violation && !b.quantile_observed_violation) {
    add_issue(errors, "encoder_distortion_bounds_empty",
              "encoder_distortion.bounds must declare at least one bound or observed violation "
              "statistic");
    return;
  }
  check_real(errors, b.declared_lower_bound, finite_positive,
             "encoder_distortion_lower_bound_invalid",
             "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero");
  check_real(errors, b.declared_upper_bound, finite_positive,
             "encoder_distortion_upper_bound_invalid",
             "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero");
  check_real(errors, b.estimated_distortion, finite_positive,
             "encoder_distortion_estimated_distortion_invalid",
             "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero");
  check_real(errors, b.violation_rate, finite_unit, "encoder_distortion_violation_rate_invalid",
             "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]");
  check_real(errors, b.max_observed_violation, finite_non_negative,
             "encoder_distortion_max_observed_violation_invalid",
             "encoder_distortion.bounds.max_observed_violation must be finite and non-negative");
  check_real(errors, b.quantile_observed_violation, finite_non_negative,
             "encoder_distortion_quantile_observed_violation_invalid",
             "encoder_distortion.bounds.quantile_observed_violation must be finite and "
             "non-negative");
  if (!b.declared_lower_bound || !b.declared_upper_bound) return;
  const double lower = *b.declared_lower_bound;
  const double upper = *b.declared_upper_bound;
  if (std::isfinite(lower) && std::isfinite(upper) && lower > upper) {
    add_issue(errors, "encoder_distortion_bounds_order_invalid",
              "encoder_distortion.bounds.declared_lower_bound must be less than or equal to "
              "declared_upper_bound");
  }
  if (finite_positive(lower) && finite_positive(upper) && b.estimated_distortion) {
    check_distortion_ratio(errors, lower, upper, *b.estimated_distortion);
  }
}

void check_scope_and_evidence(Issues& errors, const model::EncoderDistortionProfileRef& d) {
  const model::DistortionScope& s = d.scope;
  check_prefixed_digest(errors, s.corpus_digest, "encoder_distortion_scope_corpus_digest_invalid",
                        "encoder_distortion.scope.corpus_digest must be sha256:<lowercase-hex> "
                        "when present");
  check_prefixed_digest(errors, s.query_set_digest,
                        "encoder_distortion_scope_query_set_digest_invalid",
                        "encoder_distortion.scope.query_set_digest must be "
                        "sha256:<lowercase-hex> when present");
  check_prefixed_digest(errors, s.pair_sample_digest,
                        "encoder_distortion_scope_pair_sample_digest_invalid",
                        "encoder_distortion.scope.pair_sample_digest must be "
                        "sha256:<lowercase-hex> when present");
  detail::check_present_not_blank(errors, s.domain, "encoder_distortion_scope_domain_empty",
                                  "encoder_distortion.scope.domain must be non-empty when "
                                  "present");
  detail::check_present_not_blank(errors, s.estimator_version,
                                  "encoder_distortion_scope_estimator_version_empty",
                                  "encoder_distortion.scope.estimator_version must be non-empty "
                                  "when present");
  if (s.sample_size && *s.sample_size == 0) {
    add_issue(errors, "encoder_distortion_scope_sample_size_zero",
              "encoder_distortion.scope.sample_size must be greater than zero when present");
  }
  check_real(errors, s.confidence, finite_unit, "encoder_distortion_scope_confidence_invalid",
             "encoder_distortion.scope.confidence must be finite and within [0, 1]");
  check_real(errors, s.coverage, finite_unit, "encoder_distortion_scope_coverage_invalid",
             "encoder_distortion.scope.coverage must be finite and within [0, 1]");

  const model::DistortionEvidence& e = d.evidence;
  detail::check_present_not_blank(errors, e.estimator_id,
                                  "encoder_distortion_evidence_estimator_id_empty",
                                  "encoder_distortion.evidence.estimator_id must be non-empty "
                                  "when present");
  check_prefixed_digest(errors, e.estimator_hash,
                        "encoder_distortion_evidence_estimator_hash_invalid",
                        "encoder_distortion.evidence.estimator_hash must be "
                        "sha256:<lowercase-hex> when present");
  if (!d.profile && e.kind != model::DistortionEvidenceKind::CallerAsserted) {
    add_issue(errors, "encoder_distortion_profile_required",
              "non-caller-asserted encoder distortion evidence requires a profile artifact");
  }
}

void check_profile(Issues& errors, const model::DistortionProfileArtifactRef& p) {
  detail::check_not_blank(errors, p.path, "encoder_distortion_profile_path_empty",
                          "encoder_distortion.profile.path must be non-empty");
  if (!is_sha256_hex(p.sha256)) {
    add_issue(errors, "encoder_distortion_profile_sha256_invalid",
              "encoder_distortion.profile.sha256 must be a lowercase 64-character hex SHA-256 "
              "digest");
  }
  if (p.file_size_bytes == 0) {
    add_issue(errors, "encoder_distortion_profile_file_size_zero",
              "encoder_distortion.profile.file_size_bytes must be greater than zero");
  }
  detail::check_not_blank(errors, p.format, "encoder_distortion_profile_format_empty",
                          "encoder_distortion.profile.format must be non-empty");
  check_prefixed_digest(errors, p.source_digest, "encoder_distortion_profile_source_digest_invalid",
                        "encoder_distortion.profile.source_digest must be sha256:<lowercase-hex> "
                        "when present");
}

}  // namespace

bool check_encoder_distortion_declared(report::VerificationReport& report,
                                       const model::IndexManifest& manifest) {
  if (!manifest.encoder_distortion) return false;
  const model::EncoderDistortionProfileRef& d = *manifest.encoder_distortion;
  report::EncoderDistortionFacts& facts = report.encoder_distortion;
  facts.present = true;
  facts.schema_version = d.schema_version;
  facts.profile_id = d.profile_id;
  facts.evidence_kind = model::to_json_name(d.evidence.kind);
  facts.source_metric = d.source_metric.name;
  facts.embedding_metric = d.embedding_metric.name;

  Issues& errors = report.errors;
  check_block_members(errors, d, manifest.embedding);
  check_metric(errors, d.source_metric, "encoder_distortion_source_metric");
  check_metric(errors, d.embedding_metric, "encoder_distortion_embedding_metric");
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
    add_issue(errors, "encoder_distortion_calibration_profile_id_empty",
              "encoder_distortion.calibration_profile_id must be non-empty when present");
  } else if (t.size() != id.size()) {
    add_issue(errors, "encoder_distortion_calibration_profile_id_whitespace",
              "encoder_distortion.calibration_profile_id must not contain leading or trailing "
              "whitespace");
  } else if (!manifest.calibration) {
    add_issue(errors, "encoder_distortion_calibration_missing",
              "encoder_distortion.calibration_profile_id requires a calibration block");
  } else if (id != manifest.calibration->profile_id) {
    add_issue(errors, "encoder_distortion_calibration_profile_mismatch",
              fmt::format("encoder_distortion.calibration_profile_id {} does not match "
                          "calibration.profile_id {}",
                          validate::quoted(id),
                          validate::quoted(manifest.calibration->profile_id)));
  }
}

}  // namespace tamrel::validate
