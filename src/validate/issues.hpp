// The issues of the declared-value rules: one row per code and message.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/issue.hpp"

namespace tamrel::validate::issues {

using report::Issue;
using U64 = std::uint64_t;
using Text = std::string_view;

// ---- manifest core ----
inline constexpr Issue<Text, Text> schema_version_unsupported{"schema_version_unsupported",
                                                              "schema_version must be {}, got {}"};
inline constexpr Issue<> manifest_id_empty{"manifest_id_empty", "manifest_id must be non-empty"};
inline constexpr Issue<> created_at_invalid{"created_at_invalid",
                                            "created_at must parse as RFC3339"};
inline constexpr Issue<> embedding_model_empty{"embedding_model_empty",
                                               "embedding.model must be non-empty"};
inline constexpr Issue<> embedding_dim_zero{"embedding_dim_zero",
                                            "embedding.dim must be greater than zero"};
inline constexpr Issue<> artifact_path_empty{"artifact_path_empty",
                                             "artifact.path must be non-empty"};
inline constexpr Issue<> artifact_sha256_invalid{
    "artifact_sha256_invalid",
    "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> artifact_bytes_per_vec_zero{
    "artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero"};
inline constexpr Issue<U64, U64> artifact_embedding_dim_mismatch{
    "artifact_embedding_dim_mismatch", "artifact.dim {} does not match embedding.dim {}"};
inline constexpr Issue<> artifact_params_kind_mismatch{
    "artifact_params_kind_mismatch", "artifact.params discriminator does not match artifact.kind"};
inline constexpr Issue<U64, U64> artifact_row_count_mismatch{
    "artifact_row_count_mismatch",
    "artifact.vector_count {} does not match row_identity.row_count {}"};
inline constexpr Issue<> row_identity_path_empty{"row_identity_path_empty",
                                                 "row_identity.path must be non-empty"};
inline constexpr Issue<> row_identity_sha256_invalid{
    "row_identity_sha256_invalid",
    "row_identity.sha256 must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> row_identity_id_kind_unsupported{
    "row_identity_id_kind_unsupported", "row_identity.id_kind must be uuid in v1"};
inline constexpr Issue<> row_identity_db_unsupported{
    "row_identity_db_unsupported",
    "row_identity.db is reserved for a future schema and is not verified in v1"};
inline constexpr Issue<> embedding_model_revision_empty{
    "embedding_model_revision_empty", "embedding.model_revision must be non-empty when present"};
inline constexpr Issue<> embedding_tokenizer_revision_empty{
    "embedding_tokenizer_revision_empty",
    "embedding.tokenizer_revision must be non-empty when present"};
inline constexpr Issue<> embedding_pooling_empty{
    "embedding_pooling_empty", "embedding.pooling must be non-empty when present"};
inline constexpr Issue<> embedding_corpus_digest_invalid{
    "embedding_corpus_digest_invalid",
    "embedding.corpus_digest must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> embedding_matrix_digest_invalid{
    "embedding_matrix_digest_invalid",
    "embedding.embedding_matrix_digest must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> embedding_normalization_empty{
    "embedding_normalization_empty", "embedding.normalization must be non-empty when present"};
inline constexpr Issue<> build_invocation_id_empty{"build_invocation_id_empty",
                                                   "build.invocation_id must be non-empty"};
inline constexpr Issue<> build_builder_id_empty{"build_builder_id_empty",
                                                "build.builder_id must be non-empty"};
inline constexpr Issue<> build_source_repo_empty{
    "build_source_repo_empty", "build.source_repo must be non-empty when present"};
inline constexpr Issue<> build_source_commit_empty{
    "build_source_commit_empty", "build.source_commit must be non-empty when present"};
inline constexpr Issue<> build_ci_provider_empty{
    "build_ci_provider_empty", "build.ci_provider must be non-empty when present"};
inline constexpr Issue<> build_ci_run_id_empty{"build_ci_run_id_empty",
                                               "build.ci_run_id must be non-empty when present"};
inline constexpr Issue<Text> extension_key_not_namespaced{"extension_key_not_namespaced",
                                                          "extension key {} must be namespaced"};

// ---- auxiliary artifact declarations (creation refuses a long list with the same issue) ----
inline constexpr Issue<U64, U64> auxiliary_artifact_count_limit_exceeded{
    "auxiliary_artifact_count_limit_exceeded",
    "auxiliary_artifacts has {} entries, exceeding max_auxiliary_artifacts={}"};
inline constexpr Issue<> auxiliary_artifact_name_empty{"auxiliary_artifact_name_empty",
                                                       "auxiliary artifact name must be non-empty"};
inline constexpr Issue<Text> auxiliary_artifact_name_not_trimmed{
    "auxiliary_artifact_name_not_trimmed",
    "auxiliary artifact name {} must not have leading or trailing whitespace"};
inline constexpr Issue<Text> auxiliary_artifact_name_duplicate{
    "auxiliary_artifact_name_duplicate", "auxiliary artifact name {} is duplicated"};
inline constexpr Issue<Text> auxiliary_artifact_path_empty{
    "auxiliary_artifact_path_empty", "auxiliary artifact {} path must be non-empty"};
inline constexpr Issue<Text> auxiliary_artifact_sha256_invalid{
    "auxiliary_artifact_sha256_invalid",
    "auxiliary artifact {} sha256 must be a lowercase 64-character hex SHA-256 digest"};

// ---- calibration block ----
inline constexpr Issue<Text, Text> calibration_schema_version_unsupported{
    "calibration_schema_version_unsupported", "calibration.schema_version must be {}, got {}"};
inline constexpr Issue<> calibration_profile_id_empty{"calibration_profile_id_empty",
                                                      "calibration.profile_id must be non-empty"};
inline constexpr Issue<> calibration_created_at_invalid{
    "calibration_created_at_invalid", "calibration.created_at must parse as RFC3339 when present"};
inline constexpr Issue<> calibration_encoder_model_empty{
    "calibration_encoder_model_empty", "calibration.calibrated_for.model must be non-empty"};
inline constexpr Issue<> calibration_encoder_dim_zero{
    "calibration_encoder_dim_zero", "calibration.calibrated_for.dim must be greater than zero"};
inline constexpr Issue<> calibration_encoder_model_revision_empty{
    "calibration_encoder_model_revision_empty",
    "calibration.calibrated_for.model_revision must be non-empty when present"};
inline constexpr Issue<> calibration_encoder_normalization_empty{
    "calibration_encoder_normalization_empty",
    "calibration.calibrated_for.normalization must be non-empty when present"};
inline constexpr Issue<> calibration_ordinalization_dim_zero{
    "calibration_ordinalization_dim_zero",
    "calibration.ordinalization.dim must be greater than zero"};
inline constexpr Issue<> calibration_null_statistic_empty{
    "calibration_null_statistic_empty", "calibration.null_model.statistic must be non-empty"};
inline constexpr Issue<> calibration_null_name_empty{
    "calibration_null_name_empty", "calibration.null_model.name must be non-empty"};
inline constexpr Issue<> calibration_null_parameterization_empty{
    "calibration_null_parameterization_empty",
    "calibration.null_model.parameterization must be non-empty when present"};
inline constexpr Issue<Text, Text> calibration_encoder_model_mismatch{
    "calibration_encoder_model_mismatch", "calibration model {} does not match embedding.model {}"};
inline constexpr Issue<U64, U64> calibration_encoder_dim_mismatch{
    "calibration_encoder_dim_mismatch", "calibration dim {} does not match embedding.dim {}"};
inline constexpr Issue<> calibration_encoder_model_revision_mismatch{
    "calibration_encoder_model_revision_mismatch",
    "calibration encoder model_revision does not match embedding.model_revision"};
inline constexpr Issue<> calibration_encoder_normalization_mismatch{
    "calibration_encoder_normalization_mismatch",
    "calibration encoder normalization does not match embedding.normalization"};
inline constexpr Issue<U64, U64> calibration_ordinalization_dim_mismatch{
    "calibration_ordinalization_dim_mismatch",
    "calibration ordinalization dim {} does not match artifact.dim {}"};

// One code, several causes: the ordinalization cannot describe this artifact.
inline constexpr std::string_view calibration_ordinalization_artifact_mismatch =
    "calibration_ordinalization_artifact_mismatch";
inline constexpr Issue<> calibration_top_k_zero{calibration_ordinalization_artifact_mismatch,
                                                "calibration top_k.k must be greater than zero"};
inline constexpr Issue<> calibration_bucket_bits_unsupported{
    calibration_ordinalization_artifact_mismatch, "calibration bucket.bits must be 1, 2, or 4"};
inline constexpr Issue<> calibration_caller_defined_name_empty{
    calibration_ordinalization_artifact_mismatch,
    "calibration caller_defined.name must be non-empty"};
inline constexpr Issue<> calibration_ordinalization_incompatible{
    calibration_ordinalization_artifact_mismatch,
    "calibration.ordinalization is incompatible with artifact.kind/artifact.params"};

inline constexpr Issue<> calibration_profile_path_empty{
    "calibration_profile_path_empty", "calibration.profile.path must be non-empty"};
inline constexpr Issue<> calibration_profile_sha256_invalid{
    "calibration_profile_sha256_invalid",
    "calibration.profile.sha256 must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> calibration_profile_file_size_zero{
    "calibration_profile_file_size_zero",
    "calibration.profile.file_size_bytes must be greater than zero"};
inline constexpr Issue<U64, U64> calibration_profile_dim_mismatch{
    "calibration_profile_dim_mismatch",
    "calibration profile dim {} does not match artifact.dim {}"};
inline constexpr Issue<> calibration_profile_sample_count_zero{
    "calibration_profile_sample_count_zero",
    "calibration.profile.sample_count must be greater than zero"};
inline constexpr Issue<> calibration_profile_source_digest_invalid{
    "calibration_profile_source_digest_invalid",
    "calibration.profile.source_digest must be sha256:<lowercase-hex>"};

inline constexpr std::string_view calibration_null_parameterization_mismatch =
    "calibration_null_parameterization_mismatch";
inline constexpr Issue<Text, Text> calibration_null_weighted_parameterization_mismatch{
    calibration_null_parameterization_mismatch,
    "null_model parameterization {} does not match profile parameterization {}"};
inline constexpr Issue<> calibration_null_tail_table_parameterization_mismatch{
    calibration_null_parameterization_mismatch,
    "empirical_tail_table null_model requires empirical_tail_table profile parameterization"};

inline constexpr Issue<> calibration_profile_parameterization_ordinalization_mismatch{
    "calibration_profile_parameterization_ordinalization_mismatch",
    "calibration profile parameterization is incompatible with calibration ordinalization"};
inline constexpr Issue<> calibration_profile_format_empty{
    "calibration_profile_format_empty", "calibration.profile.format must be non-empty"};

inline constexpr std::string_view calibration_profile_shape_mismatch =
    "calibration_profile_shape_mismatch";
inline constexpr Issue<Text, Text> calibration_profile_shape_differs{
    calibration_profile_shape_mismatch, "calibration profile shape {} does not match expected {}"};
inline constexpr Issue<> calibration_profile_shape_product_overflow{
    calibration_profile_shape_mismatch, "calibration.profile.shape product overflows u64"};
inline constexpr Issue<> calibration_profile_shape_bytes_overflow{
    calibration_profile_shape_mismatch, "calibration.profile.shape byte size overflows u64"};

inline constexpr Issue<U64, U64> calibration_profile_file_size_mismatch{
    "calibration_profile_file_size_mismatch",
    "calibration profile size {} does not match shape/format size {}"};
inline constexpr Issue<> calibration_null_model_ordinalization_mismatch{
    "calibration_null_model_ordinalization_mismatch",
    "uniform_hypergeometric calibration requires top_k ordinalization"};
inline constexpr Issue<> calibration_profile_unexpected{
    "calibration_profile_unexpected",
    "uniform_hypergeometric calibration must not include a profile artifact"};
inline constexpr Issue<> calibration_profile_required{
    "calibration_profile_required", "non-uniform calibration requires a profile artifact"};

// ---- encoder distortion block ----
inline constexpr Issue<Text, Text> encoder_distortion_schema_version_unsupported{
    "encoder_distortion_schema_version_unsupported",
    "encoder_distortion.schema_version must be {}, got {}"};
inline constexpr Issue<> encoder_distortion_profile_id_empty{
    "encoder_distortion_profile_id_empty", "encoder_distortion.profile_id must be non-empty"};
inline constexpr Issue<> encoder_distortion_created_at_invalid{
    "encoder_distortion_created_at_invalid",
    "encoder_distortion.created_at must parse as RFC3339 when present"};
inline constexpr Issue<> encoder_distortion_encoder_model_empty{
    "encoder_distortion_encoder_model_empty", "encoder_distortion.encoder.model must be non-empty"};
inline constexpr Issue<> encoder_distortion_encoder_dim_zero{
    "encoder_distortion_encoder_dim_zero",
    "encoder_distortion.encoder.dim must be greater than zero"};
inline constexpr Issue<> encoder_distortion_encoder_model_revision_empty{
    "encoder_distortion_encoder_model_revision_empty",
    "encoder_distortion.encoder.model_revision must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_encoder_normalization_empty{
    "encoder_distortion_encoder_normalization_empty",
    "encoder_distortion.encoder.normalization must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_tokenizer_revision_empty{
    "encoder_distortion_tokenizer_revision_empty",
    "encoder_distortion.tokenizer_revision must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_pooling_empty{
    "encoder_distortion_pooling_empty",
    "encoder_distortion.pooling must be non-empty when present"};
inline constexpr Issue<Text, Text> encoder_distortion_encoder_model_mismatch{
    "encoder_distortion_encoder_model_mismatch",
    "encoder_distortion model {} does not match embedding.model {}"};
inline constexpr Issue<U64, U64> encoder_distortion_encoder_dim_mismatch{
    "encoder_distortion_encoder_dim_mismatch",
    "encoder_distortion dim {} does not match embedding.dim {}"};
inline constexpr Issue<> encoder_distortion_encoder_model_revision_mismatch{
    "encoder_distortion_encoder_model_revision_mismatch",
    "encoder_distortion encoder model_revision does not match embedding.model_revision"};
inline constexpr Issue<> encoder_distortion_encoder_normalization_mismatch{
    "encoder_distortion_encoder_normalization_mismatch",
    "encoder_distortion encoder normalization does not match embedding.normalization"};
inline constexpr Issue<> encoder_distortion_tokenizer_revision_mismatch{
    "encoder_distortion_tokenizer_revision_mismatch",
    "encoder_distortion tokenizer_revision does not match embedding.tokenizer_revision"};
inline constexpr Issue<> encoder_distortion_pooling_mismatch{
    "encoder_distortion_pooling_mismatch",
    "encoder_distortion pooling does not match embedding.pooling"};

// The metric rules, once for each of the two metrics.
inline constexpr Issue<> encoder_distortion_source_metric_name_empty{
    "encoder_distortion_source_metric_name_empty",
    "encoder_distortion_source_metric.name must be non-empty"};
inline constexpr Issue<> encoder_distortion_source_metric_version_empty{
    "encoder_distortion_source_metric_version_empty",
    "encoder_distortion_source_metric.version must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_source_metric_digest_invalid{
    "encoder_distortion_source_metric_digest_invalid",
    "encoder_distortion_source_metric.digest must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_embedding_metric_name_empty{
    "encoder_distortion_embedding_metric_name_empty",
    "encoder_distortion_embedding_metric.name must be non-empty"};
inline constexpr Issue<> encoder_distortion_embedding_metric_version_empty{
    "encoder_distortion_embedding_metric_version_empty",
    "encoder_distortion_embedding_metric.version must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_embedding_metric_digest_invalid{
    "encoder_distortion_embedding_metric_digest_invalid",
    "encoder_distortion_embedding_metric.digest must be sha256:<lowercase-hex> when present"};

inline constexpr Issue<> encoder_distortion_bounds_empty{
    "encoder_distortion_bounds_empty",
    "encoder_distortion.bounds must declare at least one bound or observed violation statistic"};
inline constexpr Issue<> encoder_distortion_lower_bound_invalid{
    "encoder_distortion_lower_bound_invalid",
    "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero"};
inline constexpr Issue<> encoder_distortion_upper_bound_invalid{
    "encoder_distortion_upper_bound_invalid",
    "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero"};
inline constexpr Issue<> encoder_distortion_estimated_distortion_invalid{
    "encoder_distortion_estimated_distortion_invalid",
    "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero"};
inline constexpr Issue<> encoder_distortion_violation_rate_invalid{
    "encoder_distortion_violation_rate_invalid",
    "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]"};
inline constexpr Issue<> encoder_distortion_max_observed_violation_invalid{
    "encoder_distortion_max_observed_violation_invalid",
    "encoder_distortion.bounds.max_observed_violation must be finite and non-negative"};
inline constexpr Issue<> encoder_distortion_quantile_observed_violation_invalid{
    "encoder_distortion_quantile_observed_violation_invalid",
    "encoder_distortion.bounds.quantile_observed_violation must be finite and non-negative"};
inline constexpr Issue<> encoder_distortion_bounds_order_invalid{
    "encoder_distortion_bounds_order_invalid",
    "encoder_distortion.bounds.declared_lower_bound must be less than or equal to "
    "declared_upper_bound"};

inline constexpr std::string_view encoder_distortion_distortion_mismatch =
    "encoder_distortion_distortion_mismatch";
inline constexpr Issue<> encoder_distortion_ratio_not_finite{
    encoder_distortion_distortion_mismatch,
    "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be finite"};
inline constexpr Issue<Text, Text> encoder_distortion_ratio_differs{
    encoder_distortion_distortion_mismatch,
    "encoder_distortion.bounds.estimated_distortion {} does not match "
    "declared_upper_bound / declared_lower_bound {}"};

inline constexpr Issue<> encoder_distortion_scope_corpus_digest_invalid{
    "encoder_distortion_scope_corpus_digest_invalid",
    "encoder_distortion.scope.corpus_digest must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_scope_query_set_digest_invalid{
    "encoder_distortion_scope_query_set_digest_invalid",
    "encoder_distortion.scope.query_set_digest must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_scope_pair_sample_digest_invalid{
    "encoder_distortion_scope_pair_sample_digest_invalid",
    "encoder_distortion.scope.pair_sample_digest must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_scope_domain_empty{
    "encoder_distortion_scope_domain_empty",
    "encoder_distortion.scope.domain must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_scope_estimator_version_empty{
    "encoder_distortion_scope_estimator_version_empty",
    "encoder_distortion.scope.estimator_version must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_scope_sample_size_zero{
    "encoder_distortion_scope_sample_size_zero",
    "encoder_distortion.scope.sample_size must be greater than zero when present"};
inline constexpr Issue<> encoder_distortion_scope_confidence_invalid{
    "encoder_distortion_scope_confidence_invalid",
    "encoder_distortion.scope.confidence must be finite and within [0, 1]"};
inline constexpr Issue<> encoder_distortion_scope_coverage_invalid{
    "encoder_distortion_scope_coverage_invalid",
    "encoder_distortion.scope.coverage must be finite and within [0, 1]"};
inline constexpr Issue<> encoder_distortion_evidence_estimator_id_empty{
    "encoder_distortion_evidence_estimator_id_empty",
    "encoder_distortion.evidence.estimator_id must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_evidence_estimator_hash_invalid{
    "encoder_distortion_evidence_estimator_hash_invalid",
    "encoder_distortion.evidence.estimator_hash must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_profile_required{
    "encoder_distortion_profile_required",
    "non-caller-asserted encoder distortion evidence requires a profile artifact"};
inline constexpr Issue<> encoder_distortion_profile_path_empty{
    "encoder_distortion_profile_path_empty", "encoder_distortion.profile.path must be non-empty"};
inline constexpr Issue<> encoder_distortion_profile_sha256_invalid{
    "encoder_distortion_profile_sha256_invalid",
    "encoder_distortion.profile.sha256 must be a lowercase 64-character hex SHA-256 digest"};
inline constexpr Issue<> encoder_distortion_profile_file_size_zero{
    "encoder_distortion_profile_file_size_zero",
    "encoder_distortion.profile.file_size_bytes must be greater than zero"};
inline constexpr Issue<> encoder_distortion_profile_format_empty{
    "encoder_distortion_profile_format_empty",
    "encoder_distortion.profile.format must be non-empty"};
inline constexpr Issue<> encoder_distortion_profile_source_digest_invalid{
    "encoder_distortion_profile_source_digest_invalid",
    "encoder_distortion.profile.source_digest must be sha256:<lowercase-hex> when present"};
inline constexpr Issue<> encoder_distortion_calibration_profile_id_empty{
    "encoder_distortion_calibration_profile_id_empty",
    "encoder_distortion.calibration_profile_id must be non-empty when present"};
inline constexpr Issue<> encoder_distortion_calibration_profile_id_whitespace{
    "encoder_distortion_calibration_profile_id_whitespace",
    "encoder_distortion.calibration_profile_id must not contain leading or trailing whitespace"};
inline constexpr Issue<> encoder_distortion_calibration_missing{
    "encoder_distortion_calibration_missing",
    "encoder_distortion.calibration_profile_id requires a calibration block"};
inline constexpr Issue<Text, Text> encoder_distortion_calibration_profile_mismatch{
    "encoder_distortion_calibration_profile_mismatch",
    "encoder_distortion.calibration_profile_id {} does not match calibration.profile_id {}"};

}  // namespace tamrel::validate::issues
