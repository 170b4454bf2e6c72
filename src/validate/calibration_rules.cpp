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
#include "validate/predicates.hpp"

namespace tamrel::validate {
namespace {

using model::ProfileParameterization;
using report::add_issue;
using Issues = std::vector<report::ReportIssue>;

constexpr char kOrdArtifactMismatch[] = "calibration_ordinalization_artifact_mismatch";
constexpr char kShapeMismatch[] = "calibration_profile_shape_mismatch";

std::uint64_t ordinalization_dim(const model::CalibrationOrdinalization& o) {
  return std::visit([](const auto& v) { return v.dim; }, o);
}

// Bucket widths a profile can tabulate: 2^bits buckets per dimension.
bool is_supported_bucket_bits(std::uint8_t bits) { return bits == 1 || bits == 2 || bits == 4; }

void check_block_members(Issues& errors, const model::CalibrationProfileRef& c) {
  if (c.schema_version != CALIBRATION_SCHEMA_VERSION) {
    add_issue(errors, "calibration_schema_version_unsupported",
              fmt::format("calibration.schema_version must be {}, got {}",
                          CALIBRATION_SCHEMA_VERSION, c.schema_version));
  }
  detail::check_not_blank(errors, c.profile_id, "calibration_profile_id_empty",
                          "calibration.profile_id must be non-empty");
  if (c.created_at && !is_rfc3339(*c.created_at)) {
    add_issue(errors, "calibration_created_at_invalid",
              "calibration.created_at must parse as RFC3339 when present");
  }
  const model::EncoderSpec& enc = c.calibrated_for;
  detail::check_not_blank(errors, enc.model, "calibration_encoder_model_empty",
                          "calibration.calibrated_for.model must be non-empty");
  if (enc.dim == 0) {
    add_issue(errors, "calibration_encoder_dim_zero",
              "calibration.calibrated_for.dim must be greater than zero");
  }
  detail::check_present_not_blank(
      errors, enc.model_revision, "calibration_encoder_model_revision_empty",
      "calibration.calibrated_for.model_revision must be non-empty when present");
  detail::check_present_not_blank(
      errors, enc.normalization, "calibration_encoder_normalization_empty",
      "calibration.calibrated_for.normalization must be non-empty when present");

  if (ordinalization_dim(c.ordinalization) == 0) {
    add_issue(errors, "calibration_ordinalization_dim_zero",
              "calibration.ordinalization.dim must be greater than zero");
  }
  if (const auto* top = std::get_if<model::OrdTopK>(&c.ordinalization); top && top->k == 0) {
    add_issue(errors, kOrdArtifactMismatch, "calibration top_k.k must be greater than zero");
  }
  if (const auto* b = std::get_if<model::OrdBucket>(&c.ordinalization);
      b && !is_supported_bucket_bits(b->bits)) {
    add_issue(errors, kOrdArtifactMismatch, "calibration bucket.bits must be 1, 2, or 4");
  }
  if (const auto* cd = std::get_if<model::OrdCallerDefined>(&c.ordinalization);
      cd && is_blank(cd->name)) {
    add_issue(errors, kOrdArtifactMismatch, "calibration caller_defined.name must be non-empty");
  }

  if (const auto* t = std::get_if<model::NullEmpiricalTailTable>(&c.null_model);
      t && is_blank(t->statistic)) {
    add_issue(errors, "calibration_null_statistic_empty",
              "calibration.null_model.statistic must be non-empty");
  }
  if (const auto* cd = std::get_if<model::NullCallerDefined>(&c.null_model)) {
    detail::check_not_blank(errors, cd->name, "calibration_null_name_empty",
                            "calibration.null_model.name must be non-empty");
    detail::check_present_not_blank(
        errors, cd->parameterization, "calibration_null_parameterization_empty",
        "calibration.null_model.parameterization must be non-empty when present");
  }
}

bool ordinalization_suits_artifact(const model::CalibrationOrdinalization& o,
                                   const model::Artifact& a) {
  // ManifestIndexKind and ManifestIndexParams list their variants in the same order.
  if (a.params.index() != static_cast<std::size_t>(a.kind)) return false;
  switch (a.kind) {
    case model::ManifestIndexKind::Rank:
      return std::holds_alternative<model::OrdRankPosition>(o) ||
             std::holds_alternative<model::OrdCallerDefined>(o);
    case model::ManifestIndexKind::RankQuant: {
      const auto* b = std::get_if<model::OrdBucket>(&o);
      return b && b->bits == std::get<model::ParamsRankQuant>(a.params).bits;
    }
    case model::ManifestIndexKind::Bitmap: {
      const auto* top = std::get_if<model::OrdTopK>(&o);
      return top && top->k == std::get<model::ParamsBitmap>(a.params).n_top;
    }
    case model::ManifestIndexKind::SignBitmap:
      return std::holds_alternative<model::OrdSign>(o);
  }
  return false;
}

void check_agreement(Issues& errors, const model::CalibrationProfileRef& c,
                     const model::IndexManifest& m) {
  const model::EncoderSpec& enc = c.calibrated_for;
  if (enc.model != m.embedding.model) {
    add_issue(errors, "calibration_encoder_model_mismatch",
              fmt::format("calibration model {} does not match embedding.model {}",
                          validate::quoted(enc.model), validate::quoted(m.embedding.model)));
  }
  if (enc.dim != m.embedding.dim) {
    add_issue(errors, "calibration_encoder_dim_mismatch",
              fmt::format("calibration dim {} does not match embedding.dim {}", enc.dim,
                          m.embedding.dim));
  }
  detail::check_agrees_with_embedding(errors, enc.model_revision, m.embedding.model_revision,
                                      "calibration_encoder_model_revision_mismatch",
                                      "calibration encoder", "model_revision");
  detail::check_agrees_with_embedding(errors, enc.normalization, m.embedding.normalization,
                                      "calibration_encoder_normalization_mismatch",
                                      "calibration encoder", "normalization");
  const std::uint64_t dim = ordinalization_dim(c.ordinalization);
  if (dim != m.artifact.dim) {
    add_issue(errors, "calibration_ordinalization_dim_mismatch",
              fmt::format("calibration ordinalization dim {} does not match artifact.dim {}", dim,
                          m.artifact.dim));
  }
  if (!ordinalization_suits_artifact(c.ordinalization, m.artifact)) {
    add_issue(errors, kOrdArtifactMismatch,
              "calibration.ordinalization is incompatible with artifact.kind/artifact.params");
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
    case ProfileParameterization::SignFrequency:
      return std::vector<std::uint64_t>{d};
    case ProfileParameterization::BucketFrequency: {
      const auto* b = std::get_if<model::OrdBucket>(&o);
      if (!b || !is_supported_bucket_bits(b->bits)) return std::nullopt;
      return std::vector<std::uint64_t>{d, std::uint64_t{1} << b->bits};
    }
    case ProfileParameterization::RankPositionFrequency:
      return std::vector<std::uint64_t>{d, d};
    case ProfileParameterization::EmpiricalTailTable:
      return std::nullopt;
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
    add_issue(errors, kShapeMismatch,
              fmt::format("calibration profile shape {} does not match expected {}",
                          shape_text(p.shape), shape_text(*expected)));
  }
  const auto elem = element_size(p.format);
  if (!elem) return;
  // Declared values are untrusted: a wrapped product could match any declared size.
  std::uint64_t count = 1;
  for (const std::uint64_t n : p.shape) {
    if (__builtin_mul_overflow(count, n, &count)) {
      add_issue(errors, kShapeMismatch, "calibration.profile.shape product overflows u64");
      return;
    }
  }
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, *elem, &bytes)) {
    add_issue(errors, kShapeMismatch, "calibration.profile.shape byte size overflows u64");
    return;
  }
  if (bytes != p.file_size_bytes) {
    add_issue(errors, "calibration_profile_file_size_mismatch",
              fmt::format("calibration profile size {} does not match shape/format size {}",
                          p.file_size_bytes, bytes));
  }
}

void check_profile(Issues& errors, const model::CalibrationProfileRef& c,
                   const model::ProfileArtifactRef& p, const model::IndexManifest& m) {
  detail::check_not_blank(errors, p.path, "calibration_profile_path_empty",
                          "calibration.profile.path must be non-empty");
  if (!is_sha256_hex(p.sha256)) {
    add_issue(errors, "calibration_profile_sha256_invalid",
              "calibration.profile.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (p.file_size_bytes == 0) {
    add_issue(errors, "calibration_profile_file_size_zero",
              "calibration.profile.file_size_bytes must be greater than zero");
  }
  if (p.dim != m.artifact.dim) {
    add_issue(errors, "calibration_profile_dim_mismatch",
              fmt::format("calibration profile dim {} does not match artifact.dim {}", p.dim,
                          m.artifact.dim));
  }
  if (p.sample_count == 0) {
    add_issue(errors, "calibration_profile_sample_count_zero",
              "calibration.profile.sample_count must be greater than zero");
  }
  if (p.source_digest && !is_prefixed_sha256(*p.source_digest)) {
    add_issue(errors, "calibration_profile_source_digest_invalid",
              "calibration.profile.source_digest must be sha256:<lowercase-hex>");
  }
  if (const auto* w = std::get_if<model::NullWeightedMarginalProfile>(&c.null_model);
      w && w->parameterization != p.parameterization) {
    add_issue(errors, "calibration_null_parameterization_mismatch",
              fmt::format("null_model parameterization {} does not match profile "
                          "parameterization {}",
                          model::message_name(w->parameterization),
                          model::message_name(p.parameterization)));
  }
  if (std::holds_alternative<model::NullEmpiricalTailTable>(c.null_model) &&
      p.parameterization != ProfileParameterization::EmpiricalTailTable) {
    add_issue(errors, "calibration_null_parameterization_mismatch",
              "empirical_tail_table null_model requires empirical_tail_table profile "
              "parameterization");
  }
  if (!parameterization_suits_ordinalization(p.parameterization, c.ordinalization)) {
    add_issue(errors, "calibration_profile_parameterization_ordinalization_mismatch",
              "calibration profile parameterization is incompatible with calibration "
              "ordinalization");
  }
  detail::check_not_blank(errors, p.format, "calibration_profile_format_empty",
                          "calibration.profile.format must be non-empty");
  check_shape_and_size(errors, p, c.ordinalization);
}

}  // namespace

bool check_calibration_declared(report::VerificationReport& report,
                                const model::IndexManifest& manifest) {
  if (!manifest.calibration) return false;
  const model::CalibrationProfileRef& c = *manifest.calibration;
  report::CalibrationFacts& facts = report.calibration;
  facts.present = true;
  facts.schema_version = c.schema_version;
  facts.profile_id = c.profile_id;
  facts.calibrated_for_model = c.calibrated_for.model;
  facts.ordinalization = model::ordinalization_tag(c.ordinalization);
  facts.null_model = model::null_model_tag(c.null_model);

  Issues& errors = report.errors;
  check_block_members(errors, c);
  check_agreement(errors, c, manifest);

  const bool uniform = std::holds_alternative<model::NullUniformHypergeometric>(c.null_model);
  if (uniform && !std::holds_alternative<model::OrdTopK>(c.ordinalization)) {
    add_issue(errors, "calibration_null_model_ordinalization_mismatch",
              "uniform_hypergeometric calibration requires top_k ordinalization");
  }
  if (uniform && c.profile) {
    add_issue(errors, "calibration_profile_unexpected",
              "uniform_hypergeometric calibration must not include a profile artifact");
    return false;
  }
  if (!uniform && !c.profile) {
    add_issue(errors, "calibration_profile_required",
              "non-uniform calibration requires a profile artifact");
    return false;
  }
  if (!c.profile) return false;

  facts.profile_manifest_path = c.profile->path;
  check_profile(errors, c, *c.profile, manifest);
  return !is_blank(c.profile->path);
}

}  // namespace tamrel::validate
