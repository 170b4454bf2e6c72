// The declared-value rules of the manifest core, with the auxiliary declaration rules inside.
#pragma once

#include "base/limits.hpp"
#include "model/records.hpp"
#include "report/report.hpp"

namespace tamrel::validate {

// What the pass needs to know from the declared-value rules, besides their issues.
struct DeclaredRules {
  // False when the auxiliary list is longer than max_auxiliary_artifacts: its entries were not
  // examined, and are not looked for on disk either.
  bool auxiliary_within_limit = true;
};

// Rules 1 to 29 in order (the auxiliary declaration rules at 16). Appends issues; never fails.
DeclaredRules check_core_rules(report::VerificationReport& report,
                               const model::IndexManifest& manifest, const ResourceLimits& limits);

// The auxiliary artifact declaration rules alone (count limit, names, paths, digests). False when
// the count limit stopped them.
bool check_auxiliary_declarations(report::VerificationReport& report,
                                  const model::IndexManifest& manifest,
                                  const ResourceLimits& limits);

// True when s is a namespaced extension key ("://", "urn:" or dotted segments).
bool is_namespaced_key(std::string_view key);

}  // namespace tamrel::validate
