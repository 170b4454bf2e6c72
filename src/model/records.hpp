// The manifest's records as plain values: built by the decoder or by creation, read by the rest.
// Member order in each struct is the JSON declaration order. Tagged unions are std::variant
// whose alternative index is the declaration order of the variants.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/json_value.hpp"
#include "model/tree_arena.hpp"
#include "rank_io/probe.hpp"

namespace tamrel::model {

using OptString = std::optional<std::string>;

// ---- core (schema tamrel.index_manifest.v1) ----

// A manifest declares one of the probeable kinds and its parameters in the probe's own terms,
// so that declared and probed values compare directly (the fast-scan kind has no manifest form).
using ManifestIndexKind = rank_io::IndexKind;
using ManifestIndexParams = rank_io::IndexParams;

struct Artifact {
  std::string path;
  std::string sha256;
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  std::uint8_t format_version = 0;
  std::uint64_t dim = 0;
  std::uint64_t vector_count = 0;
  std::uint64_t bytes_per_vec = 0;
  ManifestIndexParams params;
  std::uint64_t file_size_bytes = 0;
};

struct Embedding {
  std::string model;
  std::uint64_t dim = 0;
  OptString model_revision;
  OptString tokenizer_revision;
  OptString pooling;
  OptString corpus_digest;
  OptString embedding_matrix_digest;
  OptString normalization;
};

struct RowIdentityDb {
  OptString path;
  OptString table;
  OptString id_column;
};

struct RowIdIdentity {
  std::uint64_t row_count = 0;
};
struct RowIdentityJsonl {
  std::string path;
  std::string sha256;
  std::uint64_t row_count = 0;
  std::string id_kind;
  std::optional<RowIdentityDb> db;
};
using RowIdentity = std::variant<RowIdIdentity, RowIdentityJsonl>;

struct BuildInfo {
  std::string invocation_id;
  OptString builder_id;
  OptString source_repo;
  OptString source_commit;
  OptString ci_provider;
  OptString ci_run_id;
};

struct AuxiliaryArtifact {
  std::string name;
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  bool required = true;
};

// ---- calibration block (tamrel.calibration.v1) ----

struct EncoderSpec {
  std::string model;
  std::uint64_t dim = 0;
  OptString model_revision;
  OptString normalization;
};

struct OrdTopK {
  std::uint64_t dim = 0;
  std::uint64_t k = 0;
};
struct OrdBucket {
  std::uint64_t dim = 0;
  std::uint8_t bits = 0;
};
struct OrdSign {
  std::uint64_t dim = 0;
};
struct OrdRankPosition {
  std::uint64_t dim = 0;
};
struct OrdCallerDefined {
  std::uint64_t dim = 0;
  std::string name;
};
using CalibrationOrdinalization =
    std::variant<OrdTopK, OrdBucket, OrdSign, OrdRankPosition, OrdCallerDefined>;

enum class ProfileParameterization : std::uint8_t {
  MarginalTopkFrequency,
  BucketFrequency,
  SignFrequency,
  RankPositionFrequency,
  EmpiricalTailTable,
};

struct NullUniformHypergeometric {};
struct NullWeightedMarginalProfile {
  ProfileParameterization parameterization = ProfileParameterization::MarginalTopkFrequency;
};
struct NullEmpiricalTailTable {
  std::string statistic;
};
struct NullCallerDefined {
  std::string name;
  OptString parameterization;  // free text, not the enumeration
};
using NullModelSpec = std::variant<NullUniformHypergeometric, NullWeightedMarginalProfile,
                                   NullEmpiricalTailTable, NullCallerDefined>;

struct ProfileArtifactRef {
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  std::uint64_t dim = 0;
  std::uint64_t sample_count = 0;
  ProfileParameterization parameterization = ProfileParameterization::MarginalTopkFrequency;
  std::string format;
  std::vector<std::uint64_t> shape;
  OptString source_digest;
};

struct CalibrationProfileRef {
  std::string schema_version;
  std::string profile_id;
  OptString created_at;
  EncoderSpec calibrated_for;
  CalibrationOrdinalization ordinalization;
  std::optional<ProfileArtifactRef> profile;
  NullModelSpec null_model;
};

// ---- encoder-distortion block (tamrel.encoder_distortion.v1) ----

struct MetricSpec {
  std::string name;
  OptString version;
  OptString digest;
};

struct DistortionBounds {
  std::optional<double> declared_lower_bound;
  std::optional<double> declared_upper_bound;
  std::optional<double> estimated_distortion;
  std::optional<double> violation_rate;
  std::optional<double> max_observed_violation;
  std::optional<double> quantile_observed_violation;
};

struct DistortionScope {
  OptString corpus_digest;
  OptString query_set_digest;
  OptString pair_sample_digest;
  OptString domain;
  std::optional<std::uint64_t> sample_size;
  std::optional<double> confidence;
  std::optional<double> coverage;
  OptString estimator_version;
};

enum class DistortionEvidenceKind : std::uint8_t {
  Certified,
  EmpiricalSample,
  BenchmarkEstimate,
  TeacherEstimate,
  CallerAsserted,
};

struct DistortionEvidence {
  DistortionEvidenceKind kind = DistortionEvidenceKind::Certified;
  OptString estimator_id;
  OptString estimator_hash;
};

struct DistortionProfileArtifactRef {
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  std::string format;
  OptString source_digest;
};

struct EncoderDistortionProfileRef {
  std::string schema_version;
  std::string profile_id;
  OptString created_at;
  EncoderSpec encoder;
  OptString tokenizer_revision;
  OptString pooling;
  MetricSpec source_metric;
  MetricSpec embedding_metric;
  DistortionBounds bounds;
  DistortionScope scope;
  DistortionEvidence evidence;
  std::optional<DistortionProfileArtifactRef> profile;
  OptString calibration_profile_id;
};

// ---- the document ----

struct IndexManifest {
  std::string schema_version;
  std::string manifest_id;
  std::string created_at;
  Artifact artifact;
  std::vector<AuxiliaryArtifact> auxiliary_artifacts;
  Embedding embedding;
  std::optional<EncoderDistortionProfileRef> encoder_distortion;
  std::optional<CalibrationProfileRef> calibration;
  RowIdentity row_identity;
  std::optional<BuildInfo> build;
  // Where the trees below keep their memory when decoded; declared before them so that it
  // outlives them.
  TreeMemory tree_memory;
  std::vector<JsonValue> attestations;
  JsonObject extensions;
};

// One line of a row-identity JSONL file.
struct JsonlRow {
  std::uint64_t row_id = 0;
  std::string db_id;
  OptString parent_id;
};

// ---- names ----

// JSON strings of the enumerations and union tags ("rank_quant", "top_k", ...).
const char* to_json_name(ManifestIndexKind kind);
const char* to_json_name(ProfileParameterization p);
const char* to_json_name(DistortionEvidenceKind kind);
const char* params_tag(const ManifestIndexParams& params);
const char* row_identity_tag(const RowIdentity& ri);
const char* ordinalization_tag(const CalibrationOrdinalization& o);
const char* null_model_tag(const NullModelSpec& n);
// Names used inside messages: "MarginalTopKFrequency", ...
const char* message_name(ProfileParameterization p);

}  // namespace tamrel::model
