#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <linux/magic.h>
#include <string>
#include <string_view>
#include <vector>
#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif

namespace tamrel::io {
namespace {

int read_flags(Origin origin) {
  return O_RDONLY | O_CLOEXEC | (origin == Origin::Manifest ? O_NONBLOCK : 0);
}

// A manifest's file must be a regular file, or a directory (so that reading it fails with the
// system's own text): a FIFO or device opened without blocking is refused unread.
Result<UniqueFd> checked_for_read(UniqueFd fd, Origin origin) {
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

// openat2 answers EAGAIN when a rename or mount raced a ".." lookup; the walk does not race so.
constexpr int kAgainAttempts = 8;
// The kernel's limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

// The descriptor, or -1 with errno (ENOSYS where the headers know no openat2).
int try_openat2(int dirfd, const char* path, int flags, Resolve rule) {
#if defined(SYS_openat2)
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve =
      rule == Resolve::Beneath ? RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS : RESOLVE_NO_SYMLINKS;
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN || attempt + 1 == kAgainAttempts) return static_cast<int>(fd);
  }
#else
  (void)dirfd, (void)path, (void)flags, (void)rule;
  errno = ENOSYS;
  return -1;
#endif
}

// Pushes the components of text so that the first comes off the back. A trailing "/" leaves
// "." after the last name, which must then be a directory, as the kernel reads it.
void push_components(std::vector<std::string>& todo, std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!text.empty() && text.back() == '/') parts.emplace_back(".");
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.emplace_back(*it);
}

Result<std::string> read_link(int dirfd, const std::string& name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dirfd, name.c_str(), target.data(), target.size());
    if (n < 0) return ManifestError::from_errno(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// What openat2 does, one component at a time: each opened O_PATH | O_NOFOLLOW from the directory
// before it, links read and their targets walked under the same rule, ".." taken back along the
// directories entered (never above dirfd when the rule is Beneath).
Result<UniqueFd> walk_open(int dirfd, std::string_view path, int flags, Resolve rule) {
  const bool beneath = rule == Resolve::Beneath;
  UniqueFd root;
  int start = dirfd;
  if (!path.empty() && path.front() == '/') {
    if (beneath) return ManifestError::from_errno(EXDEV);
    root = UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return ManifestError::from_errno(errno);
    start = root.get();
  }
  std::vector<std::string> todo;
  push_components(todo, path);
  std::vector<UniqueFd> entered;  // below start, innermost last
  const auto here = [&] { return entered.empty() ? start : entered.back().get(); };
  int links = 0;
  while (!todo.empty()) {
    const std::string name = std::move(todo.back());
    todo.pop_back();
    const bool last = todo.empty();
    if (name == ".") continue;
    if (name == "..") {
      if (!entered.empty()) {
        entered.pop_back();
        continue;
      }
      if (beneath) return ManifestError::from_errno(EXDEV);
      UniqueFd up(::openat(here(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!up.valid()) return ManifestError::from_errno(errno);
      entered.push_back(std::move(up));
      continue;
    }
    UniqueFd fd(::openat(here(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return ManifestError::from_errno(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return ManifestError::from_errno(errno);
    if (S_ISLNK(st.st_mode)) {
      if (!beneath || ++links > kMaxLinks) return ManifestError::from_errno(ELOOP);
      // Stricter than the kernel, which lets /proc/self through: every link on procfs counts
      // as magic here.
      struct statfs fs {};
      if (::fstatfs(here(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
        return ManifestError::from_errno(ELOOP);
      }
      auto target = read_link(fd.get(), "");
      if (!target.ok()) return std::move(target).error();
      if (target->empty()) return ManifestError::from_errno(ENOENT);
      if (target->front() == '/') return ManifestError::from_errno(EXDEV);
      push_components(todo, *target);
      continue;
    }
    if (last) {
      // Opened again for use; O_NOFOLLOW keeps a link swapped in meanwhile from being followed.
      UniqueFd file(::openat(here(), name.c_str(), flags | O_NOFOLLOW));
      if (!file.valid()) return ManifestError::from_errno(errno);
      return file;
    }
    if (!S_ISDIR(st.st_mode)) return ManifestError::from_errno(ENOTDIR);
    entered.push_back(std::move(fd));
  }
  // The path ended at a directory ("", ".", "..", or a trailing "/").
  UniqueFd file(::openat(here(), ".", flags));
  if (!file.valid()) return ManifestError::from_errno(errno);
  return file;
}

}  // namespace

Result<UniqueFd> open_for_read(const std::filesystem::path& path, Origin origin) {
  UniqueFd fd(::open(path.c_str(), read_flags(origin)));
  if (!fd.valid()) return ManifestError::from_errno(errno);
  return checked_for_read(std::move(fd), origin);
}

Result<UniqueFd> open_at(int dirfd, const std::filesystem::path& path, int flags, Resolve rule) {
  UniqueFd fd(try_openat2(dirfd, path.c_str(), flags, rule));
  if (fd.valid()) return fd;
  switch (errno) {
    case ENOSYS:  // a kernel before 5.6
    case EPERM:   // a seccomp filter that does not know the call
    case EINVAL:  // a kernel that does not know a flag
    case E2BIG:   // ... or the size of open_how
    case EAGAIN: return walk_open(dirfd, path.native(), flags, rule);
    default: return ManifestError::from_errno(errno);
  }
}

Result<UniqueFd> open_for_read_at(int dirfd, const std::filesystem::path& path, Resolve rule,
                                  Origin origin) {
  TAMREL_TRY(UniqueFd fd, open_at(dirfd, path, read_flags(origin), rule));
  return checked_for_read(std::move(fd), origin);
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
