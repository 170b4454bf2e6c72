// Small pieces shared by the calibration and encoder-distortion rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "model/records.hpp"
#include "report/report.hpp"
#include "validate/predicates.hpp"

namespace tamrel::validate::detail {

// Two optional texts agree when both are absent or both hold the same bytes (no trimming).
inline bool optional_texts_agree(const model::OptString& a, const model::OptString& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

// The optional comparison against an embedding member: one issue when the texts disagree.
inline void check_agrees_with_embedding(std::vector<report::ReportIssue>& errors,
                                        const model::OptString& ours,
                                        const model::OptString& embedding, const char* code,
                                        std::string_view subject, std::string_view member) {
  if (optional_texts_agree(ours, embedding)) return;
  report::add_issue(errors, code,
                    fmt::format("{} {} does not match embedding.{}", subject, member, member));
}

// An optional member that, when present, must be non-empty after trimming.
inline void check_present_not_blank(std::vector<report::ReportIssue>& errors,
                                    const model::OptString& value, const char* code,
                                    const char* message) {
  if (value && is_blank(*value)) report::add_issue(errors, code, message);
}

inline void check_not_blank(std::vector<report::ReportIssue>& errors, std::string_view value,
                            const char* code, const char* message) {
  if (is_blank(value)) report::add_issue(errors, code, message);
}

}  // namespace tamrel::validate::detail
