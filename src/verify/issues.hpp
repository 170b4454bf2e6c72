// The issues of the on-disk checks: one row per code and message.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/issue.hpp"

namespace tamrel::verify::issues {

using report::Failure;
using report::Issue;
using report::IssueCode;
using report::PrefixedIssue;
using U64 = std::uint64_t;
using Text = std::string_view;

// ---- the path policy, for the file with the given code prefix ----
inline constexpr PrefixedIssue<Text> absolute_path_rejected{
    "{}_absolute_path_rejected", "absolute path {} is rejected by default"};
inline constexpr PrefixedIssue<Text, Text> base_dir_unavailable{
    "{}_base_dir_unavailable", "failed to canonicalize base_dir {}: {}"};
inline constexpr IssueCode path_escape_rejected = "{}_path_escape_rejected";
inline constexpr PrefixedIssue<Text> relative_path_escapes{
    path_escape_rejected, "relative path {} escapes the manifest base"};
inline constexpr PrefixedIssue<Text, Text> canonical_path_outside{
    path_escape_rejected, "canonical path {} is outside manifest base {}"};
inline constexpr PrefixedIssue<Text, Text> path_unavailable{"{}_path_unavailable",
                                                            "failed to canonicalize {}: {}"};

// ---- a declared file read and compared; the label names it in messages ----
// Its too-large message is the bounded read's.
inline constexpr IssueCode file_too_large = "{}_too_large";
inline constexpr PrefixedIssue<Text, Text> hash_failed{"{}_hash_failed", "failed to hash {}: {}"};
inline constexpr PrefixedIssue<Text, Text, Text> sha256_mismatch{
    "{}_sha256_mismatch", "{} SHA-256 was {}, manifest declares {}"};
inline constexpr PrefixedIssue<Text, U64, U64> file_size_mismatch{
    "{}_file_size_mismatch", "{} size was {}, manifest declares {}"};

// ---- the index file's header against the artifact record ----
inline constexpr Issue<Text, Text> artifact_manifest_coverage_unsupported{
    "artifact_manifest_coverage_unsupported",
    "artifact metadata kind {} is not covered by tamrel-manifest v1: {}"};
inline constexpr Issue<Text, Text> artifact_kind_mismatch{
    "artifact_kind_mismatch", "artifact kind was {}, manifest declares {}"};
inline constexpr Issue<Text, Text> artifact_params_mismatch{
    "artifact_params_mismatch", "artifact params were {}, manifest declares {}"};
inline constexpr Issue<U64, U64> artifact_format_version_mismatch{
    "artifact_format_version_mismatch", "artifact format_version was {}, manifest declares {}"};
inline constexpr Issue<U64, U64> artifact_dim_mismatch{"artifact_dim_mismatch",
                                                       "artifact dim was {}, manifest declares {}"};
inline constexpr Issue<U64, U64> artifact_vector_count_mismatch{
    "artifact_vector_count_mismatch", "artifact vector_count was {}, manifest declares {}"};
inline constexpr Issue<U64, U64> artifact_bytes_per_vec_mismatch{
    "artifact_bytes_per_vec_mismatch", "artifact bytes_per_vec was {}, manifest declares {}"};
inline constexpr Issue<U64, U64> artifact_metadata_file_size_mismatch{
    "artifact_metadata_file_size_mismatch",
    "artifact metadata file_size_bytes was {}, manifest declares {}"};
inline constexpr Issue<Text> artifact_probe_failed{"artifact_probe_failed",
                                                   "failed to probe artifact metadata: {}"};

// ---- auxiliary artifacts on disk: the path policy worded with the artifact's name ----
inline constexpr Issue<Text, Text> auxiliary_artifact_absolute_path_rejected{
    "auxiliary_artifact_absolute_path_rejected",
    "absolute auxiliary artifact path {} for {} is rejected by default"};
inline constexpr IssueCode auxiliary_artifact_path_escape_rejected =
    "auxiliary_artifact_path_escape_rejected";
inline constexpr Issue<Text, Text> auxiliary_artifact_relative_path_escapes{
    auxiliary_artifact_path_escape_rejected,
    "relative auxiliary artifact path {} for {} escapes the manifest base"};
inline constexpr Issue<Text, Text, Text> auxiliary_artifact_canonical_path_outside{
    auxiliary_artifact_path_escape_rejected,
    "canonical auxiliary artifact path {} for {} is outside manifest base {}"};
inline constexpr Issue<Text, Text, Text> auxiliary_artifact_path_unavailable{
    "auxiliary_artifact_path_unavailable",
    "failed to canonicalize auxiliary artifact {} at {}: {}"};
inline constexpr Issue<Text, Text, Text> auxiliary_artifact_base_dir_unavailable{
    "auxiliary_artifact_base_dir_unavailable",
    "failed to canonicalize base_dir {} for auxiliary artifact {}: {}"};
inline constexpr Issue<Text, Text> auxiliary_artifact_missing_required{
    "auxiliary_artifact_missing_required", "required auxiliary artifact {} is missing at {}"};
// A verdict's reason, never an issue: an optional artifact that is not there.
inline constexpr IssueCode auxiliary_artifact_optional_absent =
    "auxiliary_artifact_optional_absent";
inline constexpr IssueCode auxiliary_artifact_file_too_large = "auxiliary_artifact_file_too_large";

// ---- the row map ----
inline constexpr IssueCode row_identity_row_count_limit_exceeded =
    "row_identity_row_count_limit_exceeded";
inline constexpr Issue<U64, U64> row_identity_declared_rows_over_limit{
    row_identity_row_count_limit_exceeded,
    "row_identity.row_count {} exceeds max_row_identity_rows={}"};
inline constexpr Issue<U64> row_identity_rows_over_limit{
    row_identity_row_count_limit_exceeded,
    "row identity file has more than max_row_identity_rows={} rows"};
inline constexpr IssueCode row_identity_row_count_mismatch = "row_identity_row_count_mismatch";
inline constexpr Issue<U64> row_identity_rows_over_declared{
    row_identity_row_count_mismatch, "row identity file has more than declared row_count={}"};
// The count is "N", or "at least N" when the scan stopped early.
inline constexpr Issue<Text, U64> row_identity_rows_differ{
    row_identity_row_count_mismatch, "row identity file has {} rows, manifest declares {}"};
inline constexpr Issue<U64, U64> row_identity_line_too_large{
    "row_identity_line_too_large", "line {} exceeds max_row_identity_jsonl_line_bytes={}"};
inline constexpr Issue<U64, ManifestError> row_identity_jsonl_invalid_json{
    "row_identity_jsonl_invalid_json", "line {} is not a strict row object: {}"};
inline constexpr Issue<U64, U64> row_identity_row_id_mismatch{"row_identity_row_id_mismatch",
                                                              "line {} has row_id {}"};
inline constexpr Issue<U64> row_identity_db_id_empty{"row_identity_db_id_empty",
                                                     "line {} has empty db_id"};
inline constexpr Issue<U64> row_identity_db_id_contains_nul{"row_identity_db_id_contains_nul",
                                                            "line {} db_id contains NUL"};
inline constexpr Issue<U64> row_identity_db_id_invalid_uuid{"row_identity_db_id_invalid_uuid",
                                                            "line {} db_id must be a UUID in v1"};
inline constexpr Issue<U64> row_identity_parent_id_empty{"row_identity_parent_id_empty",
                                                         "line {} has empty parent_id"};
inline constexpr Issue<U64> row_identity_parent_id_contains_nul{
    "row_identity_parent_id_contains_nul", "line {} parent_id contains NUL"};
inline constexpr Issue<U64> row_identity_parent_id_invalid_uuid{
    "row_identity_parent_id_invalid_uuid", "line {} parent_id must be a UUID in v1"};
inline constexpr Issue<U64> row_identity_duplicate_db_id{"row_identity_duplicate_db_id",
                                                         "line {} repeats db_id"};
inline constexpr Issue<U64> row_identity_duplicate_tracking_limit_exceeded{
    "row_identity_duplicate_tracking_limit_exceeded",
    "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={}"};
inline constexpr Issue<Text> row_identity_read_failed{"row_identity_read_failed",
                                                      "failed to read row identity file: {}"};

// ---- attestations ----
inline constexpr Issue<U64> attestation_predicate_type_missing{
    "attestation_predicate_type_missing", "attestation {} has no predicateType"};
inline constexpr Issue<> attestation_subject_sha256_mismatch{
    "attestation_subject_sha256_mismatch",
    "no supplied attestation subject digest matches the artifact SHA-256"};

// ---- verify_for_load: a failing report refused, a passing one handed over ----
// The first codes of the report, ", ..." when there are more.
inline constexpr Failure<Text> verification_failed{"manifest verification failed: {}"};
inline constexpr Failure<> plan_artifact_path_missing{
    "verified report is missing the captured artifact path"};
inline constexpr Failure<> plan_metadata_missing{
    "verified report is missing probed artifact metadata"};
inline constexpr Failure<> plan_row_identity_kind_missing{
    "verified report is missing row identity kind"};
inline constexpr Failure<> plan_row_count_missing{
    "verified report is missing row identity row count"};
inline constexpr Failure<> plan_row_identity_path_missing{
    "verified report is missing the captured row identity path"};
inline constexpr Failure<Text> plan_row_identity_kind_unsupported{
    "verified report has unsupported row identity kind {}"};
inline constexpr Failure<Text> plan_auxiliary_not_loadable{
    "verified report contains non-loadable auxiliary artifact {}"};
inline constexpr Failure<Text> plan_auxiliary_path_missing{
    "verified auxiliary artifact {} is missing its captured path"};

}  // namespace tamrel::verify::issues
