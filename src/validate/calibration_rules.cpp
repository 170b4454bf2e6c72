// The declared-value rules of the calibration block.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/limits.hpp"
#include "validate/block_common.hpp"
#include "validate/block_rules.hpp"
#include "validate/issues.hpp"
#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using detail::check_not_blank;
using detail::check_present_not_blank;
using detail::Issues;
using model::ProfileParameterization;
using report::add_issue;

constexpr detail::EncoderIssues kEncoderIssues{issues::calibration_encoder_model_empty,
                                               issues::calibration_encoder_dim_zero,
                                               issues::calibration_encoder_model_revision_empty,
                                               issues::calibration_encoder_normalization_empty,
                                               issues::calibration_encoder_model_mismatch,
                                               issues::calibration_encoder_dim_mismatch,
                                               issues::calibration_encoder_model_revision_mismatch,
                                               issues::calibration_encoder_normalization_mismatch};

std::uint64_t ordinalization_dim(const model::CalibrationOrdinalization& o) {
  return std::visit([](const auto& v) { return v.dim; }, o);
}

// Bucket widths a profile can tabulate: 2^bits buckets per dimension.
bool is_supported_bucket_bits(std::uint8_t bits) { return bits == 1 || bits == 2 || bits == 4; }

void check_block_members(Issues& errors, const model::CalibrationProfileRef& c) {
  if (c.schema_version != CALIBRATION_SCHEMA_VERSION) {
    add_issue(errors, issues::calibration_schema_version_unsupported(CALIBRATION_SCHEMA_VERSION,
                                                                     c.schema_version));
  }
  check_not_blank(errors, c.profile_id, issues::calibration_profile_id_empty);
  if (c.created_at && !is_rfc3339(*c.created_at)) {
    add_issue(errors, issues::calibration_created_at_invalid());
  }
  detail::check_encoder_members(errors, c.calibrated_for, kEncoderIssues);

  if (ordinalization_dim(c.ordinalization) == 0) {
    add_issue(errors, issues::calibration_ordinalization_dim_zero());
  }
  if (const auto* top = std::get_if<model::OrdTopK>(&c.ordinalization); top && top->k == 0) {
    add_issue(errors, issues::calibration_top_k_zero());
  }
  if (const auto* b = std::get_if<model::OrdBucket>(&c.ordinalization);
      b && !is_supported_bucket_bits(b->bits)) {
    add_issue(errors, issues::calibration_bucket_bits_unsupported());
  }
  if (const auto* cd = std::get_if<model::OrdCallerDefined>(&c.ordinalization);
      cd && is_blank(cd->name)) {
    add_issue(errors, issues::calibration_caller_defined_name_empty());
  }

  if (const auto* t = std::get_if<model::NullEmpiricalTailTable>(&c.null_model);
      t && is_blank(t->statistic)) {
    add_issue(errors, issues::calibration_null_statistic_empty());
  }
  if (const auto* cd = std::get_if<model::NullCallerDefined>(&c.null_model)) {
    check_not_blank(errors, cd->name, issues::calibration_null_name_empty);
    check_present_not_blank(errors, cd->parameterization,
                            issues::calibration_null_parameterization_empty);
  }
}

bool ordinalization_suits_artifact(const model::CalibrationOrdinalization& o,
                                   const model::Artifact& a) {
  if (rank_io::params_kind(a.params) != a.kind) return false;
  switch (a.kind) {
    case model::ManifestIndexKind::Rank:
      return std::holds_alternative<model::OrdRankPosition>(o) ||
             std::holds_alternative<model::OrdCallerDefined>(o);
    case model::ManifestIndexKind::RankQuant: {
      const auto* b = std::get_if<model::OrdBucket>(&o);
      return b && b->bits == std::get<rank_io::RankQuantParams>(a.params).bits;
    }
    case model::ManifestIndexKind::Bitmap: {
      const auto* top = std::get_if<model::OrdTopK>(&o);
      return top && top->k == std::get<rank_io::BitmapParams>(a.params).n_top;
    }
    case model::ManifestIndexKind::SignBitmap: return std::holds_alternative<model::OrdSign>(o);
    case model::ManifestIndexKind::RankQuantFastscan:  // no manifest form
      break;
  }
  return false;
}

void check_agreement(Issues& errors, const model::CalibrationProfileRef& c,
                     const model::IndexManifest& m) {
  detail::check_encoder_agrees(errors, c.calibrated_for, m.embedding, kEncoderIssues);
  const std::uint64_t dim = ordinalization_dim(c.ordinalization);
  if (dim != m.artifact.dim) {
    add_issue(errors, issues::calibration_ordinalization_dim_mismatch(dim, m.artifact.dim));
  }
  if (!ordinalization_suits_artifact(c.ordinalization, m.artifact)) {
    add_issue(errors, issues::calibration_ordinalization_incompatible());
  }
}

bool parameterization_suits_ordinalization(ProfileParameterization p,
                                           const model::CalibrationOrdinalization& o) {
  if (p == ProfileParameterization::EmpiricalTailTable) return true;
  switch (o.index()) {
    case 0: return p == ProfileParameterization::MarginalTopkFrequency;
    case 1: return p == ProfileParameterization::BucketFrequency;
    case 2: return p == ProfileParameterization::SignFrequency;
    case 3: return p == ProfileParameterization::RankPositionFrequency;
    default: return true;  // caller_defined: the caller knows what it tabulated
  }
}

// The shape a parameterization implies, or none when its shape is not checked.
std::optional<std::vector<std::uint64_t>> expected_shape(
    ProfileParameterization p, const model::CalibrationOrdinalization& o) {
  const std::uint64_t d = ordinalization_dim(o);
  switch (p) {
    case ProfileParameterization::MarginalTopkFrequency:
    case ProfileParameterization::SignFrequency: return std::vector<std::uint64_t>{d};
    case ProfileParameterization::BucketFrequency: {
      const auto* b = std::get_if<model::OrdBucket>(&o);
      if (!b || !is_supported_bucket_bits(b->bits)) return std::nullopt;
      return std::vector<std::uint64_t>{d, std::uint64_t{1} << b->bits};
    }
    case ProfileParameterization::RankPositionFrequency: return std::vector<std::uint64_t>{d, d};
    case ProfileParameterization::EmpiricalTailTable: return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> element_size(std::string_view format) {
  if (format == "raw_f64_le") return 8;
  if (format == "raw_f32_le") return 4;
  return std::nullopt;
}

std::string shape_text(const std::vector<std::uint64_t>& shape) {
  return fmt::format("[{}]", fmt::join(shape, ", "));
}

void check_shape_and_size(Issues& errors, const model::ProfileArtifactRef& p,
                          const model::CalibrationOrdinalization& o) {
  if (p.shape.empty()) return;
  if (const auto expected = expected_shape(p.parameterization, o);
      expected && p.shape != *expected) {
    add_issue(errors, issues::calibration_profile_shape_differs(shape_text(p.shape),
                                                                shape_text(*expected)));
  }
  const auto elem = element_size(p.format);
  if (!elem) return;
  // Declared values are untrusted: a wrapped product could match any declared size.
  std::uint64_t count = 1;
  for (const std::uint64_t n : p.shape) {
    if (__builtin_mul_overflow(count, n, &count)) {
      add_issue(errors, issues::calibration_profile_shape_product_overflow());
      return;
    }
  }
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, *elem, &bytes)) {
    add_issue(errors, issues::calibration_profile_shape_bytes_overflow());
    return;
  }
  if (bytes != p.file_size_bytes) {
    add_issue(errors, issues::calibration_profile_file_size_mismatch(p.file_size_bytes, bytes));
  }
}

void check_profile(Issues& errors, const model::CalibrationProfileRef& c,
                   const model::ProfileArtifactRef& p, const model::IndexManifest& m) {
  check_not_blank(errors, p.path, issues::calibration_profile_path_empty);
  detail::check_digest(errors, p.sha256, issues::calibration_profile_sha256_invalid);
  if (p.file_size_bytes == 0) add_issue(errors, issues::calibration_profile_file_size_zero());
  if (p.dim != m.artifact.dim) {
    add_issue(errors, issues::calibration_profile_dim_mismatch(p.dim, m.artifact.dim));
  }
  if (p.sample_count == 0) add_issue(errors, issues::calibration_profile_sample_count_zero());
  detail::check_prefixed_digest(errors, p.source_digest,
                                issues::calibration_profile_source_digest_invalid);
  if (const auto* w = std::get_if<model::NullWeightedMarginalProfile>(&c.null_model);
      w && w->parameterization != p.parameterization) {
    add_issue(errors, issues::calibration_null_weighted_parameterization_mismatch(
                          model::message_name(w->parameterization),
                          model::message_name(p.parameterization)));
  }
  if (std::holds_alternative<model::NullEmpiricalTailTable>(c.null_model) &&
      p.parameterization != ProfileParameterization::EmpiricalTailTable) {
    add_issue(errors, issues::calibration_null_tail_table_parameterization_mismatch());
  }
  if (!parameterization_suits_ordinalization(p.parameterization, c.ordinalization)) {
    add_issue(errors, issues::calibration_profile_parameterization_ordinalization_mismatch());
  }
  check_not_blank(errors, p.format, issues::calibration_profile_format_empty);
  check_shape_and_size(errors, p, c.ordinalization);
}

}  // namespace

bool check_calibration_declared(report::VerificationReport& report,
                                const model::CalibrationProfileRef& c,
                                const model::IndexManifest& manifest) {
  report::CalibrationFacts& facts = detail::note_declared(report.calibration, c);
  facts.calibrated_for_model = c.calibrated_for.model;
  facts.ordinalization = model::ordinalization_tag(c.ordinalization);
  facts.null_model = model::null_model_tag(c.null_model);

  Issues& errors = report.errors;
  check_block_members(errors, c);
  check_agreement(errors, c, manifest);

  const bool uniform = std::holds_alternative<model::NullUniformHypergeometric>(c.null_model);
  if (uniform && !std::holds_alternative<model::OrdTopK>(c.ordinalization)) {
    add_issue(errors, issues::calibration_null_model_ordinalization_mismatch());
  }
  if (uniform && c.profile) {
    add_issue(errors, issues::calibration_profile_unexpected());
    return false;
  }
  if (!uniform && !c.profile) {
    add_issue(errors, issues::calibration_profile_required());
    return false;
  }
  if (!c.profile) return false;

  facts.profile_manifest_path = c.profile->path;
  check_profile(errors, c, *c.profile, manifest);
  return !is_blank(c.profile->path);
}

}  // namespace tamrel::validate
