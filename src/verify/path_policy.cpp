#include "verify/path_policy.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "base/text.hpp"
#include "verify/issues.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

std::vector<fs::path> named_components(const fs::path& path) {
  std::vector<fs::path> out;
  for (const fs::path& part : path) {
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

Result<fs::path> canonicalize(const fs::path& path) {
  // A manifest's JSON string may hold "\u0000"; the system would stop at it and resolve (and
  // later open) a shorter path than the one declared.
  if (path.native().find('\0') != std::string::npos) {
    return ManifestError::io(IoKind::InvalidData, "embedded null byte", EINVAL);
  }
  // realpath(3) rather than std::filesystem::canonical: we want the system's own error text and
  // no exceptions.
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return ManifestError::from_errno(errno);
  return fs::path(resolved.get());
}

bool lexically_escapes(const fs::path& relative) {
  if (relative.has_root_name() || relative.has_root_directory()) return true;
  std::uint64_t depth = 0;
  for (const fs::path& part : relative) {
    const std::string& text = part.native();
    if (text.empty() || text == ".") continue;
    if (text == "..") {
      if (depth == 0) return true;
      --depth;
    } else {
      ++depth;
    }
  }
  return false;
}

bool path_within(const fs::path& canonical, const fs::path& base) {
  const std::vector<fs::path> inner = named_components(canonical);
  const std::vector<fs::path> outer = named_components(base);
  if (outer.size() > inner.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i) {
    if (inner[i].native() != outer[i].native()) return false;
  }
  return true;
}

fs::path join_declared(const fs::path& base_dir, const fs::path& declared) {
  if (declared.is_absolute()) return declared;
  return base_dir / declared;
}

std::variant<fs::path, PathRefusal> resolve_within_base(
    const fs::path& declared, const fs::path& base_dir,
    const std::optional<fs::path>& canonical_base, bool allow_path_escape) {
  if (!declared.is_absolute() && !allow_path_escape && lexically_escapes(declared)) {
    return PathRefusal{PathRefusal::Reason::Escapes, declared, {}};
  }
  fs::path joined = join_declared(base_dir, declared);
  auto canonical = canonicalize(joined);
  if (!canonical.ok()) {
    return PathRefusal{PathRefusal::Reason::Unavailable, std::move(joined),
                       std::move(canonical.error())};
  }
  // Checked after resolution so that a link inside the base pointing out is caught too.
  if (!allow_path_escape && canonical_base && !path_within(*canonical, *canonical_base)) {
    return PathRefusal{PathRefusal::Reason::Outside, std::move(canonical).value(), {}};
  }
  return std::move(canonical).value();
}

std::optional<fs::path> resolve_manifest_path(const fs::path& declared, const fs::path& base_dir,
                                              bool allow_absolute_paths, bool allow_path_escape,
                                              std::string_view prefix,
                                              std::vector<report::ReportIssue>& errors) {
  if (declared.is_absolute() && !allow_absolute_paths) {
    report::add_issue(errors, issues::absolute_path_rejected(prefix, path_display(declared)));
    return std::nullopt;
  }
  // The base is resolved even when escaping is allowed: a manifest whose own directory is gone
  // should not verify.
  auto base = canonicalize(base_dir);
  if (!base.ok()) {
    report::add_issue(
        errors, issues::base_dir_unavailable(prefix, path_display(base_dir), base.error().message));
    return std::nullopt;
  }
  auto resolved = resolve_within_base(declared, base_dir, *base, allow_path_escape);
  if (auto* canonical = std::get_if<fs::path>(&resolved)) return std::move(*canonical);
  const PathRefusal& refusal = std::get<PathRefusal>(resolved);
  const std::string path = path_display(refusal.path);
  switch (refusal.reason) {
    case PathRefusal::Reason::Escapes:
      report::add_issue(errors, issues::relative_path_escapes(prefix, path));
      break;
    case PathRefusal::Reason::Unavailable:
      report::add_issue(errors, issues::path_unavailable(prefix, path, refusal.error.message));
      break;
    case PathRefusal::Reason::Outside:
      report::add_issue(errors, issues::canonical_path_outside(prefix, path, path_display(*base)));
      break;
  }
  return std::nullopt;
}

}  // namespace tamrel::verify
