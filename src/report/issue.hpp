// Issue codes and their message templates as data. Each subsystem lists its issues once, in its
// own issues.hpp; a rule raises a row by name: add_issue(errors, issues::manifest_id_empty()).
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "base/result.hpp"
#include "report/report.hpp"

namespace tamrel::report {

// A code and its message template. The template is checked against Args when the row is
// declared, so a row and its call sites cannot disagree on the placeholders.
template <typename... Args>
struct Issue {
  std::string_view code;
  fmt::format_string<Args...> message;

  ReportIssue operator()(const Args&... args) const {
    return ReportIssue{std::string(code), text(args...)};
  }
  // The same issue as a worker's failure (Context), for callers that stop at the first problem.
  ManifestError error(const Args&... args) const {
    return ManifestError::context(std::string(code), text(args...));
  }
  std::string text(const Args&... args) const {
    return fmt::vformat(fmt::string_view(message), fmt::make_format_args(args...));
  }
};

// An issue whose code is formed from the code prefix of the file concerned ("{}_path_unavailable"
// with "artifact"); the prefix comes first, then the message's arguments.
template <typename... Args>
struct PrefixedIssue {
  fmt::format_string<std::string_view> code;
  fmt::format_string<Args...> message;

  ReportIssue operator()(std::string_view prefix, const Args&... args) const {
    return ReportIssue{code_for(prefix),
                       fmt::vformat(fmt::string_view(message), fmt::make_format_args(args...))};
  }
  std::string code_for(std::string_view prefix) const {
    return fmt::vformat(fmt::string_view(code), fmt::make_format_args(prefix));
  }
};

// A failure without a code (Invalid): for callers that stop at their first problem and whose
// problems are not report issues.
template <typename... Args>
struct Failure {
  fmt::format_string<Args...> message;

  ManifestError operator()(const Args&... args) const {
    return ManifestError::invalid(
        fmt::vformat(fmt::string_view(message), fmt::make_format_args(args...)));
  }
};

// A code whose message another layer writes (the bounded read's "... exceeds N bytes ...").
using IssueCode = std::string_view;

// A "{}_..." code for the file with the given code prefix.
inline std::string prefixed_code(IssueCode code, std::string_view prefix) {
  return fmt::format(fmt::runtime(code), prefix);
}

inline void add_issue(std::vector<ReportIssue>& issues, ReportIssue issue) {
  issues.push_back(std::move(issue));
}
// Add under the issue limit, formatting the issue only when it is kept.
template <typename... Args>
void add_issue_bounded(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues,
                       const Issue<Args...>& raise, const std::type_identity_t<Args>&... args) {
  if (issues.size() < max_report_issues) {
    add_issue(issues, raise(args...));
  } else {
    mark_issue_limit(issues, max_report_issues);
  }
}

}  // namespace tamrel::report
