// The issues the report raises itself.
#pragma once

#include <cstdint>

#include "report/issue.hpp"

namespace tamrel::report::issues {

// The marker that closes a report cut at the issue limit.
inline constexpr Issue<std::uint64_t> verification_report_issue_limit_exceeded{
    "verification_report_issue_limit_exceeded",
    "verification report issue count exceeded max_report_issues={}"};

}  // namespace tamrel::report::issues
