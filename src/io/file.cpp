#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tamrel::io {

Result<UniqueFd> open_for_read(const std::filesystem::path& path, Origin origin) {
  int flags = O_RDONLY | O_CLOEXEC;
  if (origin == Origin::Manifest) flags |= O_NONBLOCK;
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd.valid()) return ManifestError::from_errno(errno);
  if (origin == Origin::Manifest) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return ManifestError::from_errno(errno);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      return ManifestError::io(IoKind::Other, NOT_A_REGULAR_FILE);
    }
    // Regular files never block; drop the flag so reads behave as usual.
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl >= 0) (void)::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  }
  return fd;
}

namespace {

FileVersion version_of(const struct stat& st) {
  FileVersion v;
  v.device = static_cast<std::uint64_t>(st.st_dev);
  v.inode = static_cast<std::uint64_t>(st.st_ino);
  v.size = static_cast<std::uint64_t>(st.st_size);
  v.modified_sec = st.st_mtim.tv_sec;
  v.modified_nsec = st.st_mtim.tv_nsec;
  v.changed_sec = st.st_ctim.tv_sec;
  v.changed_nsec = st.st_ctim.tv_nsec;
  return v;
}

}  // namespace

Result<FileVersion> file_version(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ManifestError::from_errno(errno);
  return version_of(st);
}

Result<FileVersion> path_version(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ManifestError::from_errno(errno);
  return version_of(st);
}

Result<std::uint64_t> file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ManifestError::from_errno(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace tamrel::io
