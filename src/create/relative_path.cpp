// How creation stores a path: relative to the manifest's directory, "/"-separated.
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/text.hpp"
#include "create/create.hpp"
#include "create/issues.hpp"
#include "verify/path_policy.hpp"

namespace tamrel::create {
namespace fs = std::filesystem;

namespace {

bool is_named(const fs::path& component) {
  return !(component.has_root_name() || component.has_root_directory());
}

// Joins the parts with "/". A manifest is JSON text, so a name that is not UTF-8 cannot be
// written down faithfully; storing a replacement character would name a different file.
Result<std::string> stored_text(const std::vector<std::string>& parts, const fs::path& canonical,
                                std::string_view label) {
  if (parts.empty()) return std::string(".");
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text.push_back('/');
    text += part;
  }
  if (!is_valid_utf8(text)) {
    return issues::path_not_utf8(label, path_display(canonical));
  }
  return text;
}

}  // namespace

Result<CheckedInput> open_checked_input(const fs::path& path, const fs::path& manifest_dir,
                                        bool allow_path_escape, std::string_view label) {
  TAMREL_TRY(fs::path canonical, verify::canonicalize(path));
  TAMREL_TRY(fs::path dir, verify::canonicalize(manifest_dir));
  // A file outside is the caller's own choice and read as named; its stored path refuses it
  // later, after the checks that come first.
  const bool beneath = !allow_path_escape && verify::path_within(canonical, dir);
  std::optional<verify::CheckedBase> base;
  if (beneath) base = verify::open_base(dir);
  auto fd = verify::open_checked(canonical, base ? &*base : nullptr, io::Origin::Caller);
  if (!fd.ok()) {
    if (beneath && fd.error().os_errno == EXDEV) {
      return issues::path_outside_manifest_directory(label, path_display(canonical),
                                                     path_display(dir));
    }
    return std::move(fd).error();
  }
  return CheckedInput{std::move(canonical), std::move(dir), std::move(fd).value()};
}

Result<std::string> manifest_relative_path(const CheckedInput& input, bool allow_absolute_paths,
                                           bool allow_path_escape, std::string_view label) {
  const fs::path& canonical = input.canonical;
  const fs::path& base = input.canonical_dir;
  const std::vector<fs::path> target = verify::named_components(canonical);
  const std::vector<fs::path> dir = verify::named_components(base);

  const auto [dir_end, target_end] =
      std::mismatch(dir.begin(), dir.end(), target.begin(), target.end(),
                    [](const fs::path& a, const fs::path& b) { return a.native() == b.native(); });
  const auto common = static_cast<std::size_t>(dir_end - dir.begin());

  std::vector<std::string> parts;
  if (common == dir.size()) {
    for (auto it = target_end; it != target.end(); ++it) parts.push_back(it->native());
    return stored_text(parts, canonical, label);
  }
  if (!allow_path_escape) {
    return issues::path_outside_manifest_directory(label, path_display(canonical),
                                                   path_display(base));
  }
  if (common == 0) {
    if (!allow_absolute_paths) {
      return issues::path_not_relative(label, path_display(canonical), path_display(base));
    }
    std::string absolute = canonical.native();
    std::replace(absolute.begin(), absolute.end(), '\\', '/');
    return stored_text({absolute}, canonical, label);
  }
  for (auto it = dir_end; it != dir.end(); ++it) {
    if (is_named(*it)) parts.emplace_back("..");
  }
  for (auto it = target_end; it != target.end(); ++it) parts.push_back(it->native());
  return stored_text(parts, canonical, label);
}

}  // namespace tamrel::create
