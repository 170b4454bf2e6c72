// Auxiliary artifacts and profile files on disk: path policy, bounded read, digest and size.
#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/text.hpp"
#include "io/digest.hpp"
#include "validate/predicates.hpp"
#include "verify/path_policy.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

namespace {

using report::AuxiliaryArtifactFacts;
using report::AuxiliaryArtifactState;

constexpr char kCountLimitCode[] = "auxiliary_artifact_count_limit_exceeded";
constexpr char kPathEmptyCode[] = "auxiliary_artifact_path_empty";

// Declared order, then a stable sort on (name, path, required): the report reads the same
// whichever order a manifest writer listed the artifacts in.
std::vector<std::size_t> examination_order(const std::vector<model::AuxiliaryArtifact>& list) {
  std::vector<std::size_t> order(list.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const model::AuxiliaryArtifact& x = list[a];
    const model::AuxiliaryArtifact& y = list[b];
    if (x.name != y.name) return x.name < y.name;
    if (x.path != y.path) return x.path < y.path;
    return !x.required && y.required;
  });
  return order;
}

AuxiliaryArtifactFacts start_verdict(const model::AuxiliaryArtifact& aux,
                                     const fs::path& base_dir) {
  AuxiliaryArtifactFacts v;
  v.name = aux.name;
  v.manifest_path = aux.path;
  v.expected_sha256 = aux.sha256;
  v.expected_size_bytes = aux.file_size_bytes;
  v.required = aux.required;
  v.state = AuxiliaryArtifactState::Failed;
  if (!validate::is_blank(aux.path)) {
    v.resolved_path = path_display(join_declared(base_dir, fs::path(aux.path)));
  }
  return v;
}

// Adds the issue; the first problem found for an artifact is its reason code.
void fail(std::vector<report::ReportIssue>& errors, AuxiliaryArtifactFacts& v, std::string code,
          std::string message) {
  if (!v.reason_code) v.reason_code = code;
  report::add_issue(errors, std::move(code), std::move(message));
}

// The auxiliary path policy. Returns the canonical path, or none after settling the verdict.
std::optional<fs::path> resolve_auxiliary(std::vector<report::ReportIssue>& errors,
                                          AuxiliaryArtifactFacts& v,
                                          const model::AuxiliaryArtifact& aux,
                                          const fs::path& base_dir,
                                          const std::optional<fs::path>& canonical_base,
                                          const VerifyOptions& options) {
  const fs::path declared(aux.path);
  const std::string name = validate::quoted(aux.name);
  const bool absolute = declared.is_absolute();
  if (absolute && !options.allow_absolute_paths) {
    fail(errors, v, "auxiliary_artifact_absolute_path_rejected",
         fmt::format("absolute auxiliary artifact path {} for {} is rejected by default",
                     path_display(declared), name));
    return std::nullopt;
  }
  if (!absolute && !options.allow_path_escape && lexically_escapes(declared)) {
    fail(errors, v, "auxiliary_artifact_path_escape_rejected",
         fmt::format("relative auxiliary artifact path {} for {} escapes the manifest base",
                     path_display(declared), name));
    return std::nullopt;
  }
  const fs::path joined = join_declared(base_dir, declared);
  auto canonical = canonicalize(joined);
  if (!canonical.ok()) {
    if (canonical.error().io_kind == IoKind::NotFound) {
      if (aux.required) {
        v.state = AuxiliaryArtifactState::MissingRequired;
        fail(errors, v, "auxiliary_artifact_missing_required",
             fmt::format("required auxiliary artifact {} is missing at {}", name,
                         path_display(joined)));
      } else {
        // Optional and absent is a verdict, not a problem.
        v.state = AuxiliaryArtifactState::OptionalAbsent;
        v.reason_code = "auxiliary_artifact_optional_absent";
      }
      return std::nullopt;
    }
    fail(errors, v, "auxiliary_artifact_path_unavailable",
         fmt::format("failed to canonicalize auxiliary artifact {} at {}: {}", name,
                     path_display(joined), canonical.error().message));
    return std::nullopt;
  }
  if (canonical_base && !path_within(*canonical, *canonical_base)) {
    fail(errors, v, "auxiliary_artifact_path_escape_rejected",
         fmt::format("canonical auxiliary artifact path {} for {} is outside manifest base {}",
                     path_display(*canonical), name, path_display(*canonical_base)));
    return std::nullopt;
  }
  return std::move(canonical).value();
}

void check_auxiliary_file(std::vector<report::ReportIssue>& errors, AuxiliaryArtifactFacts& v,
                          const model::AuxiliaryArtifact& aux, const fs::path& canonical,
                          std::uint64_t limit) {
  v.canonical_path = path_display(canonical);
  const std::string name = validate::quoted(aux.name);
  auto digest = io::bounded_read_digest(canonical, limit, "auxiliary_artifact_file_too_large",
                                        "auxiliary artifact", io::Origin::Manifest);
  if (!digest.ok()) {
    ManifestError& e = digest.error();
    if (e.variant == ManifestError::Variant::Context) {
      fail(errors, v, std::move(e.code), std::move(e.message));
    } else {
      fail(errors, v, "auxiliary_artifact_hash_failed",
           fmt::format("failed to hash auxiliary artifact {}: {}", name, e.message));
    }
    return;
  }
  v.sha256 = digest->sha256;
  v.size_bytes = digest->size_bytes;
  const bool digest_differs = digest->sha256 != aux.sha256;
  const bool size_differs = digest->size_bytes != aux.file_size_bytes;
  if (digest_differs) {
    fail(errors, v, "auxiliary_artifact_sha256_mismatch",
         fmt::format("auxiliary artifact {} SHA-256 was {}, manifest declares {}", name,
                     digest->sha256, aux.sha256));
  }
  if (size_differs) {
    fail(errors, v, "auxiliary_artifact_file_size_mismatch",
         fmt::format("auxiliary artifact {} size was {}, manifest declares {}", name,
                     digest->size_bytes, aux.file_size_bytes));
  }
  if (!digest_differs && !size_differs) v.state = AuxiliaryArtifactState::Verified;
}

}  // namespace

void verify_auxiliary_artifacts(report::VerificationReport& report, const PassInput& in) {
  const auto& list = in.manifest.auxiliary_artifacts;
  const ResourceLimits& limits = in.options.limits;
  auto& errors = report.errors;
  if (list.size() > limits.max_auxiliary_artifacts) {
    // The declared-value rules have usually said so already; once is enough.
    if (!report::has_issue_code(errors, kCountLimitCode)) {
      report::add_issue_bounded(
          errors, limits.max_report_issues, kCountLimitCode,
          fmt::format("auxiliary_artifacts has {} entries, exceeding max_auxiliary_artifacts={}",
                      list.size(), limits.max_auxiliary_artifacts));
    }
    return;
  }
  if (list.empty()) return;
  const std::vector<std::size_t> order = examination_order(list);

  std::optional<fs::path> canonical_base;
  if (!in.options.allow_path_escape) {
    auto base = canonicalize(in.base_dir);
    if (!base.ok()) {
      for (const std::size_t i : order) {
        const model::AuxiliaryArtifact& aux = list[i];
        AuxiliaryArtifactFacts v = start_verdict(aux, in.base_dir);
        if (validate::is_blank(aux.path)) {
          v.reason_code = kPathEmptyCode;
        } else {
          fail(errors, v, "auxiliary_artifact_base_dir_unavailable",
               fmt::format("failed to canonicalize base_dir {} for auxiliary artifact {}: {}",
                           path_display(in.base_dir), validate::quoted(aux.name),
                           base.error().message));
        }
        report.auxiliary_artifacts.push_back(std::move(v));
      }
      return;
    }
    canonical_base = std::move(base).value();
  }

  for (const std::size_t i : order) {
    const model::AuxiliaryArtifact& aux = list[i];
    AuxiliaryArtifactFacts v = start_verdict(aux, in.base_dir);
    if (validate::is_blank(aux.path)) {
      v.reason_code = kPathEmptyCode;  // reported by the declared-value rules
    } else if (const auto canonical =
                   resolve_auxiliary(errors, v, aux, in.base_dir, canonical_base, in.options)) {
      check_auxiliary_file(errors, v, aux, *canonical, limits.max_auxiliary_artifact_bytes);
    }
    report.auxiliary_artifacts.push_back(std::move(v));
  }
}

void verify_profile_file(report::VerificationReport& report, const PassInput& in,
                         const std::string& path, const std::string& sha256,
                         std::uint64_t file_size_bytes, std::string_view prefix,
                         std::string_view label, std::uint64_t limit, ProfileFacts facts) {
  if (validate::is_blank(path)) return;  // the declared-value rules reported it
  auto& errors = report.errors;
  const auto canonical =
      resolve_manifest_path(fs::path(path), in.base_dir, in.options.allow_absolute_paths,
                            in.options.allow_path_escape, prefix, errors);
  if (!canonical) return;
  facts.canonical_path = path_display(*canonical);
  const std::string too_large = fmt::format("{}_too_large", prefix);
  auto digest = io::bounded_read_digest(*canonical, limit, too_large, label, io::Origin::Manifest);
  if (!digest.ok()) {
    ManifestError& e = digest.error();
    if (e.variant == ManifestError::Variant::Context) {
      report::add_issue(errors, std::move(e.code), std::move(e.message));
    } else {
      report::add_issue(errors, fmt::format("{}_hash_failed", prefix),
                        fmt::format("failed to hash {}: {}", label, e.message));
    }
    return;
  }
  facts.sha256 = digest->sha256;
  facts.size_bytes = digest->size_bytes;
  if (digest->sha256 != sha256) {
    report::add_issue(errors, fmt::format("{}_sha256_mismatch", prefix),
                      fmt::format("{} SHA-256 was {}, manifest declares {}", label,
                                  digest->sha256, sha256));
  }
  if (digest->size_bytes != file_size_bytes) {
    report::add_issue(errors, fmt::format("{}_file_size_mismatch", prefix),
                      fmt::format("{} size was {}, manifest declares {}", label,
                                  digest->size_bytes, file_size_bytes));
  }
}

}  // namespace tamrel::verify
