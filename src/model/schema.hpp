// The field table of every record, enumeration and tagged union: names in declaration order,
// presence, and the codec of each member. Leaves come first: a table may only name records
// whose tables stand above it.
#pragma once

#include <array>
#include <string_view>

#include "model/codecs.hpp"
#include "model/records.hpp"

namespace tamrel::model::detail {

template <>
struct EnumTraits<ManifestIndexKind> {
  static constexpr std::array<std::string_view, 4> names = rank_io::KIND_JSON_NAMES;
};
template <>
struct EnumTraits<ProfileParameterization> {
  static constexpr std::array<std::string_view, 5> names = {
      "marginal_topk_frequency", "bucket_frequency", "sign_frequency", "rank_position_frequency",
      "empirical_tail_table"};
};
template <>
struct EnumTraits<DistortionEvidenceKind> {
  static constexpr std::array<std::string_view, 5> names = {
      "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"};
};

// A plain record.
struct Struct {
  static constexpr std::string_view owner{};
  static constexpr bool unit = false;
};
// A variant of a tagged union.
template <const char* Owner, bool Unit = false>
struct VariantOf {
  static constexpr std::string_view owner = Owner;
  static constexpr bool unit = Unit;
};

inline constexpr char PARAMS[] = "ManifestIndexParams";
inline constexpr char ROW_IDENTITY[] = "RowIdentity";
inline constexpr char ORDINALIZATION[] = "CalibrationOrdinalization";
inline constexpr char NULL_MODEL[] = "NullModelSpec";

// ---- ManifestIndexParams ----

template <>
struct RecordTraits<rank_io::RankParams> : VariantOf<PARAMS, true> {
  static constexpr std::string_view name = "Rank";
  static constexpr std::array<Field<rank_io::RankParams>, 0> fields{};
};
template <>
struct RecordTraits<rank_io::RankQuantParams> : VariantOf<PARAMS> {
  static constexpr std::string_view name = "RankQuant";
  static constexpr std::array fields = {field<U8, &rank_io::RankQuantParams::bits>("bits", REQ)};
};
template <>
struct RecordTraits<rank_io::BitmapParams> : VariantOf<PARAMS> {
  static constexpr std::string_view name = "Bitmap";
  static constexpr std::array fields = {field<Count, &rank_io::BitmapParams::n_top>("n_top", REQ)};
};
template <>
struct RecordTraits<rank_io::SignBitmapParams> : VariantOf<PARAMS, true> {
  static constexpr std::string_view name = "SignBitmap";
  static constexpr std::array<Field<rank_io::SignBitmapParams>, 0> fields{};
};
template <>
struct UnionTraits<ManifestIndexParams> {
  static constexpr std::string_view name = PARAMS;
  static constexpr std::array<std::string_view, 4> tags = rank_io::KIND_JSON_NAMES;
};

// ---- core records ----

template <>
struct RecordTraits<Artifact> : Struct {
  static constexpr std::string_view name = "Artifact";
  static constexpr std::array fields = {
      field<Str, &Artifact::path>("path", REQ),
      field<Str, &Artifact::sha256>("sha256", REQ),
      field<Enum<ManifestIndexKind>, &Artifact::kind>("kind", REQ),
      field<U8, &Artifact::format_version>("format_version", REQ),
      field<Count, &Artifact::dim>("dim", REQ),
      field<Count, &Artifact::vector_count>("vector_count", REQ),
      field<Count, &Artifact::bytes_per_vec>("bytes_per_vec", REQ),
      field<Union<ManifestIndexParams>, &Artifact::params>("params", REQ),
      field<Size, &Artifact::file_size_bytes>("file_size_bytes", REQ),
  };
};

template <>
struct RecordTraits<Embedding> : Struct {
  static constexpr std::string_view name = "Embedding";
  static constexpr std::array fields = {
      field<Str, &Embedding::model>("model", REQ),
      field<Count, &Embedding::dim>("dim", REQ),
      field<Opt<Str>, &Embedding::model_revision>("model_revision", OPT),
      field<Opt<Str>, &Embedding::tokenizer_revision>("tokenizer_revision", OPT),
      field<Opt<Str>, &Embedding::pooling>("pooling", OPT),
      field<Opt<Str>, &Embedding::corpus_digest>("corpus_digest", OPT),
      field<Opt<Str>, &Embedding::embedding_matrix_digest>("embedding_matrix_digest", OPT),
      field<Opt<Str>, &Embedding::normalization>("normalization", OPT),
  };
};

template <>
struct RecordTraits<RowIdentityDb> : Struct {
  static constexpr std::string_view name = "RowIdentityDb";
  static constexpr std::array fields = {
      field<Opt<Str>, &RowIdentityDb::path>("path", OPT),
      field<Opt<Str>, &RowIdentityDb::table>("table", OPT),
      field<Opt<Str>, &RowIdentityDb::id_column>("id_column", OPT),
  };
};

template <>
struct RecordTraits<RowIdIdentity> : VariantOf<ROW_IDENTITY> {
  static constexpr std::string_view name = "RowIdIdentity";
  static constexpr std::array fields = {field<Count, &RowIdIdentity::row_count>("row_count", REQ)};
};
template <>
struct RecordTraits<RowIdentityJsonl> : VariantOf<ROW_IDENTITY> {
  static constexpr std::string_view name = "Jsonl";
  static constexpr std::array fields = {
      field<Str, &RowIdentityJsonl::path>("path", REQ),
      field<Str, &RowIdentityJsonl::sha256>("sha256", REQ),
      field<Count, &RowIdentityJsonl::row_count>("row_count", REQ),
      field<Str, &RowIdentityJsonl::id_kind>("id_kind", REQ),
      field<Opt<Rec<RowIdentityDb>>, &RowIdentityJsonl::db>("db", OPT),
  };
};
template <>
struct UnionTraits<RowIdentity> {
  static constexpr std::string_view name = ROW_IDENTITY;
  static constexpr std::array<std::string_view, 2> tags = {"row_id_identity", "jsonl"};
};

template <>
struct RecordTraits<BuildInfo> : Struct {
  static constexpr std::string_view name = "BuildInfo";
  static constexpr std::array fields = {
      field<Str, &BuildInfo::invocation_id>("invocation_id", REQ),
      field<Opt<Str>, &BuildInfo::builder_id>("builder_id", OPT),
      field<Opt<Str>, &BuildInfo::source_repo>("source_repo", OPT),
      field<Opt<Str>, &BuildInfo::source_commit>("source_commit", OPT),
      field<Opt<Str>, &BuildInfo::ci_provider>("ci_provider", OPT),
      field<Opt<Str>, &BuildInfo::ci_run_id>("ci_run_id", OPT),
  };
};

template <>
struct RecordTraits<AuxiliaryArtifact> : Struct {
  static constexpr std::string_view name = "AuxiliaryArtifact";
  static constexpr std::array fields = {
      field<Str, &AuxiliaryArtifact::name>("name", REQ),
      field<Str, &AuxiliaryArtifact::path>("path", REQ),
      field<Str, &AuxiliaryArtifact::sha256>("sha256", REQ),
      field<Size, &AuxiliaryArtifact::file_size_bytes>("file_size_bytes", REQ),
      field<DefaultTrue, &AuxiliaryArtifact::required>("required", DEF),
  };
};

// ---- calibration block ----

template <>
struct RecordTraits<EncoderSpec> : Struct {
  static constexpr std::string_view name = "EncoderSpec";
  static constexpr std::array fields = {
      field<Str, &EncoderSpec::model>("model", REQ),
      field<Count, &EncoderSpec::dim>("dim", REQ),
      field<Opt<Str>, &EncoderSpec::model_revision>("model_revision", OPT),
      field<Opt<Str>, &EncoderSpec::normalization>("normalization", OPT),
  };
};

template <>
struct RecordTraits<OrdTopK> : VariantOf<ORDINALIZATION> {
  static constexpr std::string_view name = "TopK";
  static constexpr std::array fields = {field<Count, &OrdTopK::dim>("dim", REQ),
                                        field<Count, &OrdTopK::k>("k", REQ)};
};
template <>
struct RecordTraits<OrdBucket> : VariantOf<ORDINALIZATION> {
  static constexpr std::string_view name = "Bucket";
  static constexpr std::array fields = {field<Count, &OrdBucket::dim>("dim", REQ),
                                        field<U8, &OrdBucket::bits>("bits", REQ)};
};
template <>
struct RecordTraits<OrdSign> : VariantOf<ORDINALIZATION> {
  static constexpr std::string_view name = "Sign";
  static constexpr std::array fields = {field<Count, &OrdSign::dim>("dim", REQ)};
};
template <>
struct RecordTraits<OrdRankPosition> : VariantOf<ORDINALIZATION> {
  static constexpr std::string_view name = "RankPosition";
  static constexpr std::array fields = {field<Count, &OrdRankPosition::dim>("dim", REQ)};
};
template <>
struct RecordTraits<OrdCallerDefined> : VariantOf<ORDINALIZATION> {
  static constexpr std::string_view name = "CallerDefined";
  static constexpr std::array fields = {field<Count, &OrdCallerDefined::dim>("dim", REQ),
                                        field<Str, &OrdCallerDefined::name>("name", REQ)};
};
template <>
struct UnionTraits<CalibrationOrdinalization> {
  static constexpr std::string_view name = ORDINALIZATION;
  static constexpr std::array<std::string_view, 5> tags = {"top_k", "bucket", "sign",
                                                           "rank_position", "caller_defined"};
};

template <>
struct RecordTraits<NullUniformHypergeometric> : VariantOf<NULL_MODEL, true> {
  static constexpr std::string_view name = "UniformHypergeometric";
  static constexpr std::array<Field<NullUniformHypergeometric>, 0> fields{};
};
template <>
struct RecordTraits<NullWeightedMarginalProfile> : VariantOf<NULL_MODEL> {
  static constexpr std::string_view name = "WeightedMarginalProfile";
  static constexpr std::array fields = {
      field<Enum<ProfileParameterization>, &NullWeightedMarginalProfile::parameterization>(
          "parameterization", REQ)};
};
template <>
struct RecordTraits<NullEmpiricalTailTable> : VariantOf<NULL_MODEL> {
  static constexpr std::string_view name = "EmpiricalTailTable";
  static constexpr std::array fields = {
      field<Str, &NullEmpiricalTailTable::statistic>("statistic", REQ)};
};
template <>
struct RecordTraits<NullCallerDefined> : VariantOf<NULL_MODEL> {
  static constexpr std::string_view name = "CallerDefined";
  static constexpr std::array fields = {
      field<Str, &NullCallerDefined::name>("name", REQ),
      field<Opt<Str>, &NullCallerDefined::parameterization>("parameterization", OPT)};
};
template <>
struct UnionTraits<NullModelSpec> {
  static constexpr std::string_view name = NULL_MODEL;
  static constexpr std::array<std::string_view, 4> tags = {
      "uniform_hypergeometric", "weighted_marginal_profile", "empirical_tail_table",
      "caller_defined"};
};

template <>
struct RecordTraits<ProfileArtifactRef> : Struct {
  static constexpr std::string_view name = "ProfileArtifactRef";
  static constexpr std::array fields = {
      field<Str, &ProfileArtifactRef::path>("path", REQ),
      field<Str, &ProfileArtifactRef::sha256>("sha256", REQ),
      field<Size, &ProfileArtifactRef::file_size_bytes>("file_size_bytes", REQ),
      field<Count, &ProfileArtifactRef::dim>("dim", REQ),
      field<Count, &ProfileArtifactRef::sample_count>("sample_count", REQ),
      field<Enum<ProfileParameterization>, &ProfileArtifactRef::parameterization>(
          "parameterization", REQ),
      field<Str, &ProfileArtifactRef::format>("format", REQ),
      field<Seq<Count>, &ProfileArtifactRef::shape>("shape", DEF),
      field<Opt<Str>, &ProfileArtifactRef::source_digest>("source_digest", OPT),
  };
};

template <>
struct RecordTraits<CalibrationProfileRef> : Struct {
  static constexpr std::string_view name = "CalibrationProfileRef";
  static constexpr std::array fields = {
      field<Str, &CalibrationProfileRef::schema_version>("schema_version", REQ),
      field<Str, &CalibrationProfileRef::profile_id>("profile_id", REQ),
      field<Opt<Str>, &CalibrationProfileRef::created_at>("created_at", OPT),
      field<Rec<EncoderSpec>, &CalibrationProfileRef::calibrated_for>("calibrated_for", REQ),
      field<Union<CalibrationOrdinalization>, &CalibrationProfileRef::ordinalization>(
          "ordinalization", REQ),
      field<Opt<Rec<ProfileArtifactRef>>, &CalibrationProfileRef::profile>("profile", OPT),
      field<Union<NullModelSpec>, &CalibrationProfileRef::null_model>("null_model", REQ),
  };
};

// ---- encoder-distortion block ----

template <>
struct RecordTraits<MetricSpec> : Struct {
  static constexpr std::string_view name = "MetricSpec";
  static constexpr std::array fields = {
      field<Str, &MetricSpec::name>("name", REQ),
      field<Opt<Str>, &MetricSpec::version>("version", OPT),
      field<Opt<Str>, &MetricSpec::digest>("digest", OPT),
  };
};

template <>
struct RecordTraits<DistortionBounds> : Struct {
  static constexpr std::string_view name = "DistortionBounds";
  static constexpr std::array fields = {
      field<Opt<Real>, &DistortionBounds::declared_lower_bound>("declared_lower_bound", OPT),
      field<Opt<Real>, &DistortionBounds::declared_upper_bound>("declared_upper_bound", OPT),
      field<Opt<Real>, &DistortionBounds::estimated_distortion>("estimated_distortion", OPT),
      field<Opt<Real>, &DistortionBounds::violation_rate>("violation_rate", OPT),
      field<Opt<Real>, &DistortionBounds::max_observed_violation>("max_observed_violation", OPT),
      field<Opt<Real>, &DistortionBounds::quantile_observed_violation>(
          "quantile_observed_violation", OPT),
  };
};

template <>
struct RecordTraits<DistortionScope> : Struct {
  static constexpr std::string_view name = "DistortionScope";
  static constexpr std::array fields = {
      field<Opt<Str>, &DistortionScope::corpus_digest>("corpus_digest", OPT),
      field<Opt<Str>, &DistortionScope::query_set_digest>("query_set_digest", OPT),
      field<Opt<Str>, &DistortionScope::pair_sample_digest>("pair_sample_digest", OPT),
      field<Opt<Str>, &DistortionScope::domain>("domain", OPT),
      field<Opt<Size>, &DistortionScope::sample_size>("sample_size", OPT),
      field<Opt<Real>, &DistortionScope::confidence>("confidence", OPT),
      field<Opt<Real>, &DistortionScope::coverage>("coverage", OPT),
      field<Opt<Str>, &DistortionScope::estimator_version>("estimator_version", OPT),
  };
};

template <>
struct RecordTraits<DistortionEvidence> : Struct {
  static constexpr std::string_view name = "DistortionEvidence";
  static constexpr std::array fields = {
      field<Enum<DistortionEvidenceKind>, &DistortionEvidence::kind>("kind", REQ),
      field<Opt<Str>, &DistortionEvidence::estimator_id>("estimator_id", OPT),
      field<Opt<Str>, &DistortionEvidence::estimator_hash>("estimator_hash", OPT),
  };
};

template <>
struct RecordTraits<DistortionProfileArtifactRef> : Struct {
  static constexpr std::string_view name = "DistortionProfileArtifactRef";
  static constexpr std::array fields = {
      field<Str, &DistortionProfileArtifactRef::path>("path", REQ),
      field<Str, &DistortionProfileArtifactRef::sha256>("sha256", REQ),
      field<Size, &DistortionProfileArtifactRef::file_size_bytes>("file_size_bytes", REQ),
      field<Str, &DistortionProfileArtifactRef::format>("format", REQ),
      field<Opt<Str>, &DistortionProfileArtifactRef::source_digest>("source_digest", OPT),
  };
};

template <>
struct RecordTraits<EncoderDistortionProfileRef> : Struct {
  using R = EncoderDistortionProfileRef;
  static constexpr std::string_view name = "EncoderDistortionProfileRef";
  static constexpr std::array fields = {
      field<Str, &R::schema_version>("schema_version", REQ),
      field<Str, &R::profile_id>("profile_id", REQ),
      field<Opt<Str>, &R::created_at>("created_at", OPT),
      field<Rec<EncoderSpec>, &R::encoder>("encoder", REQ),
      field<Opt<Str>, &R::tokenizer_revision>("tokenizer_revision", OPT),
      field<Opt<Str>, &R::pooling>("pooling", OPT),
      field<Rec<MetricSpec>, &R::source_metric>("source_metric", REQ),
      field<Rec<MetricSpec>, &R::embedding_metric>("embedding_metric", REQ),
      field<Rec<DistortionBounds>, &R::bounds>("bounds", REQ),
      field<Rec<DistortionScope>, &R::scope>("scope", REQ),
      field<Rec<DistortionEvidence>, &R::evidence>("evidence", REQ),
      field<Opt<Rec<DistortionProfileArtifactRef>>, &R::profile>("profile", OPT),
      field<Opt<Str>, &R::calibration_profile_id>("calibration_profile_id", OPT),
  };
};

// ---- the document and the row line ----

template <>
struct RecordTraits<IndexManifest> : Struct {
  using R = IndexManifest;
  static constexpr std::string_view name = "IndexManifest";
  static constexpr std::array fields = {
      field<Str, &R::schema_version>("schema_version", REQ),
      field<Str, &R::manifest_id>("manifest_id", REQ),
      field<Str, &R::created_at>("created_at", REQ),
      field<Rec<Artifact>, &R::artifact>("artifact", REQ),
      field<Seq<Rec<AuxiliaryArtifact>>, &R::auxiliary_artifacts>("auxiliary_artifacts", DEF),
      field<Rec<Embedding>, &R::embedding>("embedding", REQ),
      field<Opt<Rec<EncoderDistortionProfileRef>>, &R::encoder_distortion>("encoder_distortion",
                                                                           OPT),
      field<Opt<Rec<CalibrationProfileRef>>, &R::calibration>("calibration", OPT),
      field<Union<RowIdentity>, &R::row_identity>("row_identity", REQ),
      field<Opt<Rec<BuildInfo>>, &R::build>("build", OPT),
      field<Seq<Any>, &R::attestations>("attestations", DEF),
      field<ExtMap, &R::extensions>("extensions", DEF),
  };
};

template <>
struct RecordTraits<JsonlRow> : Struct {
  static constexpr std::string_view name = "JsonlRow";
  static constexpr std::array fields = {
      field<Count, &JsonlRow::row_id>("row_id", REQ),
      field<Str, &JsonlRow::db_id>("db_id", REQ),
      field<Opt<Str>, &JsonlRow::parent_id>("parent_id", OPT),
  };
};

}  // namespace tamrel::model::detail
