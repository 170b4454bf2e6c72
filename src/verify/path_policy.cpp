#include "verify/path_policy.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "base/text.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

std::vector<fs::path> named_components(const fs::path& path) {
  std::vector<fs::path> out;
  for (const fs::path& part : path) {
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

namespace {


std::string code_for(std::string_view prefix, std::string_view suffix) {
  return fmt::format("{}_{}", prefix, suffix);
}

}  // namespace

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

std::optional<fs::path> resolve_manifest_path(const fs::path& declared, const fs::path& base_dir,
                                              bool allow_absolute_paths, bool allow_path_escape,
                                              std::string_view prefix,
                                              std::vector<report::ReportIssue>& errors) {
  const bool absolute = declared.is_absolute();
  if (absolute && !allow_absolute_paths) {
    report::add_issue(errors, code_for(prefix, "absolute_path_rejected"),
                      fmt::format("absolute path {} is rejected by default", path_display(declared)));
    return std::nullopt;
  }
  // The base is resolved even when escaping is allowed: a manifest whose own directory is gone
  // should not verify.
  auto base = canonicalize(base_dir);
  if (!base.ok()) {
    report::add_issue(errors, code_for(prefix, "base_dir_unavailable"),
                      fmt::format("failed to canonicalize base_dir {}: {}", path_display(base_dir),
                                  base.error().message));
    return std::nullopt;
  }
  if (!absolute && !allow_path_escape && lexically_escapes(declared)) {
    report::add_issue(errors, code_for(prefix, "path_escape_rejected"),
                      fmt::format("relative path {} escapes the manifest base",
                                  path_display(declared)));
    return std::nullopt;
  }
  const fs::path joined = join_declared(base_dir, declared);
  auto canonical = canonicalize(joined);
  if (!canonical.ok()) {
    report::add_issue(errors, code_for(prefix, "path_unavailable"),
                      fmt::format("failed to canonicalize {}: {}", path_display(joined),
                                  canonical.error().message));
    return std::nullopt;
  }
  // Checked after resolution so that a link inside the base pointing out is caught too.
  if (!allow_path_escape && !path_within(*canonical, *base)) {
    report::add_issue(errors, code_for(prefix, "path_escape_rejected"),
                      fmt::format("canonical path {} is outside manifest base {}",
                                  path_display(*canonical), path_display(*base)));
    return std::nullopt;
  }
  return std::move(canonical).value();
}

}  // namespace tamrel::verify
