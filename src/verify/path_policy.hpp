// The path policy: where a file named by a manifest may be.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "base/fd.hpp"
#include "base/result.hpp"
#include "io/file.hpp"
#include "report/report.hpp"

namespace tamrel::verify {

// realpath(3): absolute, links, "." and ".." resolved. Errors: Io with the system's text.
Result<std::filesystem::path> canonicalize(const std::filesystem::path& path);

// The lexical walk: true when a relative path climbs above its start (or has a root).
bool lexically_escapes(const std::filesystem::path& relative);

// Every component, root included, without the empty element a trailing separator yields (it
// says nothing about location).
std::vector<std::filesystem::path> named_components(const std::filesystem::path& path);

// Component-wise containment of one canonical path in another (/a/b2 is not inside /a/b).
bool path_within(const std::filesystem::path& canonical, const std::filesystem::path& base);

// The canonical manifest base, and a descriptor of it opened once for every file checked
// beneath it.
struct CheckedBase {
  std::filesystem::path canonical;
  Result<UniqueFd> dir;
};

// Opens canonical_base, a path canonicalize returned, following no link on the way: one met
// there was swapped in since.
CheckedBase open_base(std::filesystem::path canonical_base);

// Opens canonical, a path canonicalize returned and the policy accepted, so that the file opened
// is the one checked: beneath base's descriptor when containment is required (base given);
// otherwise along canonical without following any link, and only if it is still the file
// (device and inode) canonical named just before. The one way a checked path is opened.
// Errors: Io; errno EXDEV when the file has left the base, and FILE_REPLACED when it is another.
Result<UniqueFd> open_checked(const std::filesystem::path& canonical, const CheckedBase* base,
                              io::Origin origin);

// A path the policy accepted, and its file opened as checked. A failure to open is the file's
// own, for the check that reads it to report.
struct CheckedFile {
  std::filesystem::path canonical;
  Result<UniqueFd> file;

  // read(fd) on the file, or the failure to open it as read's own.
  template <class Read>
  auto read(Read&& read) const -> decltype(read(0)) {
    if (!file.ok()) return file.error();
    return read(file->get());
  }
};

// Why the policy refused a declared path, for the caller to word as its issue.
struct PathRefusal {
  enum class Reason : std::uint8_t { Escapes, Unavailable, Outside };
  Reason reason;
  std::filesystem::path path;  // Escapes: as declared; Unavailable: as joined; Outside: canonical
  ManifestError error;         // Unavailable: why canonicalization failed
};

// The policy once absolute paths and the base are settled: the lexical walk, canonicalization of
// base_dir joined with declared, then containment in base (when given), then the open. Escaping
// is checked only when not allowed; a file found outside by the open is refused as Outside,
// unread.
std::variant<CheckedFile, PathRefusal> resolve_within_base(const std::filesystem::path& declared,
                                                           const std::filesystem::path& base_dir,
                                                           const CheckedBase* base,
                                                           bool allow_path_escape,
                                                           io::Origin origin);

// The single-file policy. Returns the canonical path and its file, or none after appending
// exactly one issue "{prefix}_..." to errors.
std::optional<CheckedFile> resolve_manifest_path(const std::filesystem::path& declared,
                                                 const std::filesystem::path& base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view prefix,
                                                 std::vector<report::ReportIssue>& errors,
                                                 io::Origin origin = io::Origin::Manifest);

// base_dir joined with declared (declared alone when it is absolute).
std::filesystem::path join_declared(const std::filesystem::path& base_dir,
                                    const std::filesystem::path& declared);

}  // namespace tamrel::verify
