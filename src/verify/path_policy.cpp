#include "verify/path_policy.hpp"

#include <fcntl.h>
#include <stdio.h>

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

namespace {

#ifdef TAMREL_TEST_HOOKS
// Test builds only: a rename at the one point between the check and the open, made
// deterministic. TAMREL_TEST_SWAP names two paths, one per line, exchanged each time.
void between_check_and_open() {
  const char* swap = std::getenv("TAMREL_TEST_SWAP");
  if (swap == nullptr) return;
  const std::string_view text(swap);
  const std::size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return;
  const std::string first(text.substr(0, newline));
  const std::string second(text.substr(newline + 1));
  (void)::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
}
#else
void between_check_and_open() {}
#endif

// canonical's components below canonical_base, "." for the base itself.
fs::path path_below(const fs::path& canonical, const fs::path& canonical_base) {
  const std::vector<fs::path> inner = named_components(canonical);
  const std::size_t skip = named_components(canonical_base).size();
  fs::path below;
  for (std::size_t i = skip; i < inner.size(); ++i) below /= inner[i];
  return below.empty() ? fs::path(".") : below;
}

}  // namespace

CheckedBase open_base(fs::path canonical_base) {
  auto dir = io::open_at(AT_FDCWD, canonical_base, O_PATH | O_DIRECTORY | O_CLOEXEC,
                         io::Resolve::NoSymlinks);
  return CheckedBase{std::move(canonical_base), std::move(dir)};
}

Result<UniqueFd> open_checked(const fs::path& canonical, const CheckedBase* base,
                              io::Origin origin) {
  if (base != nullptr) {
    if (!base->dir.ok()) return base->dir.error();
    between_check_and_open();
    return io::open_for_read_at(base->dir->get(), path_below(canonical, base->canonical),
                                io::Resolve::Beneath, origin);
  }
  TAMREL_TRY(const io::FileVersion seen, io::path_version(canonical));
  between_check_and_open();
  TAMREL_TRY(UniqueFd fd,
             io::open_for_read_at(AT_FDCWD, canonical, io::Resolve::NoSymlinks, origin));
  TAMREL_TRY(const io::FileVersion opened, io::file_version(fd.get()));
  if (opened.device != seen.device || opened.inode != seen.inode) {
    return ManifestError::io(IoKind::Other, io::FILE_REPLACED);
  }
  return fd;
}

std::variant<CheckedFile, PathRefusal> resolve_within_base(const fs::path& declared,
                                                           const fs::path& base_dir,
                                                           const CheckedBase* base,
                                                           bool allow_path_escape,
                                                           io::Origin origin) {
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
  const CheckedBase* within = allow_path_escape ? nullptr : base;
  if (within != nullptr && !path_within(*canonical, within->canonical)) {
    return PathRefusal{PathRefusal::Reason::Outside, std::move(canonical).value(), {}};
  }
  auto file = open_checked(*canonical, within, origin);
  if (within != nullptr && !file.ok() && file.error().os_errno == EXDEV) {
    return PathRefusal{PathRefusal::Reason::Outside, std::move(canonical).value(), {}};
  }
  return CheckedFile{std::move(canonical).value(), std::move(file)};
}

std::optional<CheckedFile> resolve_manifest_path(const fs::path& declared, const fs::path& base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view prefix,
                                                 std::vector<report::ReportIssue>& errors,
                                                 io::Origin origin) {
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
  std::optional<CheckedBase> checked_base;
  if (!allow_path_escape) checked_base = open_base(*base);
  auto resolved = resolve_within_base(declared, base_dir, checked_base ? &*checked_base : nullptr,
                                      allow_path_escape, origin);
  if (auto* checked = std::get_if<CheckedFile>(&resolved)) return std::move(*checked);
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
