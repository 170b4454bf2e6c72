// Opening files for reading and reading them with EINTR retried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/fd.hpp"
#include "base/result.hpp"

namespace tamrel::io {

// Who named the file. A path the caller passed directly is opened as usual; a path taken from a
// manifest is opened without blocking and must be a regular file (a directory is let through so
// that reading it fails with the system's own text), so a FIFO or device cannot hang a verify.
enum class Origin : std::uint8_t { Caller, Manifest };

inline constexpr char NOT_A_REGULAR_FILE[] = "not a regular file";

// The open failure of a file that is no longer the one its path named when it was checked.
inline constexpr char FILE_REPLACED[] = "file was replaced between its path check and its open";

// Opens path for reading. Errors: Io (system text, or "not a regular file" for a manifest path).
Result<UniqueFd> open_for_read(const std::filesystem::path& path, Origin origin);

// How a path opened from a directory descriptor may resolve.
enum class Resolve : std::uint8_t {
  // Never out of the directory: no absolute path or link target, no ".." above it, no magic
  // link (openat2's RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS).
  Beneath,
  // No symbolic link anywhere (RESOLVE_NO_SYMLINKS): a canonical path names its file without one.
  NoSymlinks,
};

// openat(2) of path from dirfd under the rule: with openat2(2), or where the kernel lacks or
// refuses it (ENOSYS, EPERM under a seccomp filter, EINVAL), by a walk of one openat(O_NOFOLLOW)
// per component that follows links itself under the same rule. Errors: Io with the system's
// text; its errno is EXDEV when the path leads out of dirfd, ELOOP for a forbidden link.
Result<UniqueFd> open_at(int dirfd, const std::filesystem::path& path, int flags, Resolve rule);

// open_at for reading, with the checks open_for_read makes of a file a manifest named.
Result<UniqueFd> open_for_read_at(int dirfd, const std::filesystem::path& path, Resolve rule,
                                  Origin origin);

using tamrel::read_some;

// The size the file system records for an open file. Errors: Io.
Result<std::uint64_t> file_size(int fd);

// What tells one version of a file from another: which file it is, its size, and the times any
// write or replacement of its contents moves forward.
struct FileVersion {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_sec = 0;
  std::int64_t modified_nsec = 0;
  std::int64_t changed_sec = 0;
  std::int64_t changed_nsec = 0;

  bool operator==(const FileVersion&) const = default;
};

// The version of an open file. Errors: Io.
Result<FileVersion> file_version(int fd);

// The version of the file path names now (following symbolic links, as an open does). Errors: Io.
Result<FileVersion> path_version(const std::filesystem::path& path);

}  // namespace tamrel::io
