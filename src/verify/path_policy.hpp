// The path policy: where a file named by a manifest may be.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"
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

// Why the policy refused a declared path, for the caller to word as its issue.
struct PathRefusal {
  enum class Reason : std::uint8_t { Escapes, Unavailable, Outside };
  Reason reason;
  std::filesystem::path path;  // Escapes: as declared; Unavailable: as joined; Outside: canonical
  ManifestError error;         // Unavailable: why canonicalization failed
};

// The policy once absolute paths and the base are settled: the lexical walk, canonicalization of
// base_dir joined with declared, then containment in canonical_base (when given). Escaping is
// checked only when not allowed.
std::variant<std::filesystem::path, PathRefusal> resolve_within_base(
    const std::filesystem::path& declared, const std::filesystem::path& base_dir,
    const std::optional<std::filesystem::path>& canonical_base, bool allow_path_escape);

// The single-file policy. Returns the canonical path, or none after appending exactly one issue
// "{prefix}_..." to errors.
std::optional<std::filesystem::path> resolve_manifest_path(
    const std::filesystem::path& declared, const std::filesystem::path& base_dir,
    bool allow_absolute_paths, bool allow_path_escape, std::string_view prefix,
    std::vector<report::ReportIssue>& errors);

// base_dir joined with declared (declared alone when it is absolute).
std::filesystem::path join_declared(const std::filesystem::path& base_dir,
                                    const std::filesystem::path& declared);

}  // namespace tamrel::verify
