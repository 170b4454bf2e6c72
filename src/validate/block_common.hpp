// Small checks shared by the rule files: each raises its catalogue row when the value fails.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "model/records.hpp"
#include "report/issue.hpp"
#include "validate/predicates.hpp"

namespace tamrel::validate::detail {

using Issues = std::vector<report::ReportIssue>;

// Two optional texts agree when both are absent or both hold the same bytes (no trimming).
inline bool optional_texts_agree(const model::OptString& a, const model::OptString& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

// The optional comparison against an embedding member: one issue when the texts disagree.
inline void check_agrees_with_embedding(Issues& errors, const model::OptString& ours,
                                        const model::OptString& embedding,
                                        const report::Issue<>& issue) {
  if (!optional_texts_agree(ours, embedding)) report::add_issue(errors, issue());
}

// An optional member that, when present, must be non-empty after trimming.
inline void check_present_not_blank(Issues& errors, const model::OptString& value,
                                    const report::Issue<>& issue) {
  if (value && is_blank(*value)) report::add_issue(errors, issue());
}

inline void check_not_blank(Issues& errors, std::string_view value, const report::Issue<>& issue) {
  if (is_blank(value)) report::add_issue(errors, issue());
}

// The report's facts of a declared block, with what identifies the block filled in.
template <class Facts, class Block>
Facts& note_declared(Facts& facts, const Block& block) {
  facts.present = true;
  facts.schema_version = block.schema_version;
  facts.profile_id = block.profile_id;
  return facts;
}

// The rows of the rules on a block's encoder: its own members, then their agreement with the
// manifest's embedding.
struct EncoderIssues {
  const report::Issue<>& model_empty;
  const report::Issue<>& dim_zero;
  const report::Issue<>& model_revision_empty;
  const report::Issue<>& normalization_empty;
  const report::Issue<std::string_view, std::string_view>& model_mismatch;
  const report::Issue<std::uint64_t, std::uint64_t>& dim_mismatch;
  const report::Issue<>& model_revision_mismatch;
  const report::Issue<>& normalization_mismatch;
};

inline void check_encoder_members(Issues& errors, const model::EncoderSpec& enc,
                                  const EncoderIssues& rows) {
  check_not_blank(errors, enc.model, rows.model_empty);
  if (enc.dim == 0) report::add_issue(errors, rows.dim_zero());
  check_present_not_blank(errors, enc.model_revision, rows.model_revision_empty);
  check_present_not_blank(errors, enc.normalization, rows.normalization_empty);
}

inline void check_encoder_agrees(Issues& errors, const model::EncoderSpec& enc,
                                 const model::Embedding& emb, const EncoderIssues& rows) {
  if (enc.model != emb.model) {
    report::add_issue(errors, rows.model_mismatch(quoted(enc.model), quoted(emb.model)));
  }
  if (enc.dim != emb.dim) report::add_issue(errors, rows.dim_mismatch(enc.dim, emb.dim));
  check_agrees_with_embedding(errors, enc.model_revision, emb.model_revision,
                              rows.model_revision_mismatch);
  check_agrees_with_embedding(errors, enc.normalization, emb.normalization,
                              rows.normalization_mismatch);
}

// An optional member that, when present, must be "sha256:" and 64 lowercase hex digits.
inline void check_prefixed_digest(Issues& errors, const model::OptString& value,
                                  const report::Issue<>& issue) {
  if (value && !is_prefixed_sha256(*value)) report::add_issue(errors, issue());
}

// A member that must hold a digest of 64 lowercase hex digits.
inline void check_digest(Issues& errors, std::string_view value, const report::Issue<>& issue) {
  if (!is_sha256_hex(value)) report::add_issue(errors, issue());
}

}  // namespace tamrel::validate::detail
