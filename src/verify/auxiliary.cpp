// Auxiliary artifacts and profile files on disk: path policy, bounded read, digest and size.
#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/text.hpp"
#include "io/digest.hpp"
#include "validate/issues.hpp"
#include "validate/predicates.hpp"
#include "verify/issues.hpp"
#include "verify/path_policy.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

namespace {

using report::AuxiliaryArtifactFacts;
using report::AuxiliaryArtifactState;

using Issues = std::vector<report::ReportIssue>;

constexpr std::string_view kPathEmptyCode = validate::issues::auxiliary_artifact_path_empty.code;

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
void fail(Issues& errors, AuxiliaryArtifactFacts& v, report::ReportIssue issue) {
  if (!v.reason_code) v.reason_code = issue.code;
  report::add_issue(errors, std::move(issue));
}

// The auxiliary path policy, worded with the artifact's name; a missing file is a verdict of its
// own. Returns the canonical path and its file, or none after settling the verdict.
std::optional<CheckedFile> resolve_auxiliary(Issues& errors, AuxiliaryArtifactFacts& v,
                                             const model::AuxiliaryArtifact& aux,
                                             const fs::path& base_dir,
                                             const std::optional<CheckedBase>& base,
                                             const VerifyOptions& options) {
  const fs::path declared(aux.path);
  const std::string name = validate::quoted(aux.name);
  if (declared.is_absolute() && !options.allow_absolute_paths) {
    fail(errors, v,
         issues::auxiliary_artifact_absolute_path_rejected(path_display(declared), name));
    return std::nullopt;
  }
  auto resolved = resolve_within_base(declared, base_dir, base ? &*base : nullptr,
                                      options.allow_path_escape, io::Origin::Manifest);
  if (auto* checked = std::get_if<CheckedFile>(&resolved)) return std::move(*checked);
  const PathRefusal& refusal = std::get<PathRefusal>(resolved);
  const std::string path = path_display(refusal.path);
  switch (refusal.reason) {
    case PathRefusal::Reason::Escapes:
      fail(errors, v, issues::auxiliary_artifact_relative_path_escapes(path, name));
      break;
    case PathRefusal::Reason::Unavailable:
      if (refusal.error.io_kind != IoKind::NotFound) {
        fail(errors, v,
             issues::auxiliary_artifact_path_unavailable(name, path, refusal.error.message));
      } else if (aux.required) {
        v.state = AuxiliaryArtifactState::MissingRequired;
        fail(errors, v, issues::auxiliary_artifact_missing_required(name, path));
      } else {
        // Optional and absent is a verdict, not a problem.
        v.state = AuxiliaryArtifactState::OptionalAbsent;
        v.reason_code = issues::auxiliary_artifact_optional_absent;
      }
      break;
    case PathRefusal::Reason::Outside:
      fail(errors, v,
           issues::auxiliary_artifact_canonical_path_outside(path, name,
                                                             path_display(base->canonical)));
      break;
  }
  return std::nullopt;
}

// A file a manifest declares by digest and size, and how its issues name it.
struct DeclaredFile {
  std::string_view prefix;  // of its codes
  std::string label;        // in its messages
  std::string_view kind;    // in the bounded read's message
  std::string too_large;    // the bounded read's code
  std::uint64_t limit;
};

// The bounded read with digest, then digest and size against the declared ones. A read that
// fails gives one issue: its own when it was refused under the limit, else "{}_hash_failed".
// Returns the digest when the file was read.
std::optional<io::FileDigest> check_declared_file(Issues& errors, const DeclaredFile& file,
                                                  const CheckedFile& checked,
                                                  const std::string& sha256,
                                                  std::uint64_t size_bytes) {
  auto digest = checked.read([&](int fd) {
    return io::bounded_read_digest(fd, checked.canonical, file.limit, file.too_large, file.kind);
  });
  if (!digest.ok()) {
    ManifestError& e = digest.error();
    if (e.variant == ManifestError::Variant::Context) {
      report::add_issue(errors, std::move(e.code), std::move(e.message));
    } else {
      report::add_issue(errors, issues::hash_failed(file.prefix, file.label, e.message));
    }
    return std::nullopt;
  }
  compare_file_digest(errors, file.prefix, file.label, *digest, sha256, size_bytes);
  return std::move(digest).value();
}

void check_auxiliary_file(Issues& errors, AuxiliaryArtifactFacts& v,
                          const model::AuxiliaryArtifact& aux, const CheckedFile& checked,
                          std::uint64_t limit) {
  v.canonical_path = path_display(checked.canonical);
  const DeclaredFile file{
      "auxiliary_artifact", fmt::format("auxiliary artifact {}", validate::quoted(aux.name)),
      "auxiliary artifact", std::string(issues::auxiliary_artifact_file_too_large), limit};
  const std::size_t before = errors.size();
  const auto digest = check_declared_file(errors, file, checked, aux.sha256, aux.file_size_bytes);
  if (errors.size() > before && !v.reason_code) v.reason_code = errors[before].code;
  if (!digest) return;
  v.sha256 = digest->sha256;
  v.size_bytes = digest->size_bytes;
  if (errors.size() == before) v.state = AuxiliaryArtifactState::Verified;
}

}  // namespace

void verify_auxiliary_artifacts(report::VerificationReport& report, const PassInput& in) {
  const auto& list = in.manifest.auxiliary_artifacts;
  const ResourceLimits& limits = in.options.limits;
  auto& errors = report.errors;
  if (list.empty()) return;
  const std::vector<std::size_t> order = examination_order(list);

  // Opened once: every artifact is opened beneath it.
  std::optional<CheckedBase> base;
  if (!in.options.allow_path_escape) {
    auto canonical = canonicalize(in.base_dir);
    if (!canonical.ok()) {
      for (const std::size_t i : order) {
        const model::AuxiliaryArtifact& aux = list[i];
        AuxiliaryArtifactFacts v = start_verdict(aux, in.base_dir);
        if (validate::is_blank(aux.path)) {
          v.reason_code = kPathEmptyCode;
        } else {
          fail(errors, v,
               issues::auxiliary_artifact_base_dir_unavailable(path_display(in.base_dir),
                                                               validate::quoted(aux.name),
                                                               canonical.error().message));
        }
        report.auxiliary_artifacts.push_back(std::move(v));
      }
      return;
    }
    base = open_base(std::move(canonical).value());
  }

  for (const std::size_t i : order) {
    const model::AuxiliaryArtifact& aux = list[i];
    AuxiliaryArtifactFacts v = start_verdict(aux, in.base_dir);
    if (validate::is_blank(aux.path)) {
      v.reason_code = kPathEmptyCode;  // reported by the declared-value rules
    } else if (const auto checked =
                   resolve_auxiliary(errors, v, aux, in.base_dir, base, in.options)) {
      check_auxiliary_file(errors, v, aux, *checked, limits.max_auxiliary_artifact_bytes);
      note_read(in.options, *checked);
    }
    report.auxiliary_artifacts.push_back(std::move(v));
  }
}

void verify_profile_file(report::VerificationReport& report, const PassInput& in,
                         const std::string& path, const std::string& sha256,
                         std::uint64_t file_size_bytes, std::string_view prefix,
                         std::string_view label, std::uint64_t limit,
                         report::ProfileBlockFacts& facts) {
  if (validate::is_blank(path)) return;  // the declared-value rules reported it
  auto& errors = report.errors;
  const auto checked =
      resolve_manifest_path(fs::path(path), in.base_dir, in.options.allow_absolute_paths,
                            in.options.allow_path_escape, prefix, errors);
  if (!checked) return;
  facts.profile_canonical_path = path_display(checked->canonical);
  const DeclaredFile file{prefix, std::string(label), label,
                          report::prefixed_code(issues::file_too_large, prefix), limit};
  const auto digest = check_declared_file(errors, file, *checked, sha256, file_size_bytes);
  note_read(in.options, *checked);
  if (!digest) return;
  facts.profile_sha256 = digest->sha256;
  facts.profile_size_bytes = digest->size_bytes;
}

bool compare_file_digest(Issues& errors, std::string_view prefix, std::string_view label,
                         const io::FileDigest& observed, const std::string& sha256,
                         std::uint64_t size_bytes) {
  const bool digest_differs = observed.sha256 != sha256;
  const bool size_differs = observed.size_bytes != size_bytes;
  if (digest_differs) {
    report::add_issue(errors, issues::sha256_mismatch(prefix, label, observed.sha256, sha256));
  }
  if (size_differs) {
    report::add_issue(errors,
                      issues::file_size_mismatch(prefix, label, observed.size_bytes, size_bytes));
  }
  return !digest_differs && !size_differs;
}

}  // namespace tamrel::verify
