// Writing the manifest file: a temporary file beside out, flushed to stable storage, renamed over
// it once complete, and the directory flushed so that the rename itself survives a crash.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/fd.hpp"
#include "base/path.hpp"
#include "create/create.hpp"
#include "io/random.hpp"
#include "model/codec.hpp"
#include "model/writer.hpp"
#include "verify/path_policy.hpp"

namespace tamrel::create {
namespace fs = std::filesystem;

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 16;

// Removes the temporary file unless the rename has handed it over to out.
class TempFile {
 public:
  TempFile(fs::path path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)), fd_(std::move(other.fd_)), kept_(other.kept_) {
    other.kept_ = true;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!kept_) (void)::unlink(path_.c_str());
  }

  [[nodiscard]] const fs::path& path() const { return path_; }
  [[nodiscard]] int fd() const { return fd_.get(); }
  int close() { return fd_.reset(); }
  void keep() { kept_ = true; }

 private:
  fs::path path_;
  UniqueFd fd_;
  bool kept_ = false;
};

// A new file in out's directory (the same file system, so the rename is atomic). The name is
// independent of out's so that a long file name cannot push it past the name limit; the mode is
// that of any created file, 0666 less the umask.
Result<TempFile> create_temp_beside(const fs::path& out) {
  const fs::path dir = out.parent_path();
  int err = 0;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::array<std::uint8_t, 8> tag{};
    io::fill_secure_random(tag.data(), tag.size());
    const std::string name =
        fmt::format(".tamrel-manifest-{:02x}.tmp", fmt::join(tag.begin(), tag.end(), ""));
    fs::path path = dir.empty() ? fs::path(name) : dir / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return TempFile(std::move(path), UniqueFd(fd));
    err = errno;
    if (err != EEXIST) break;
  }
  return ManifestError::from_errno(err);
}

// The file the write replaces: out itself, or the file an existing symbolic link at out names,
// so that the link survives and its target gets the manifest, as a write through it would.
fs::path replaced_file(const fs::path& out) {
  struct stat st {};
  if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return out;
  auto target = verify::canonicalize(out);
  return target.ok() ? std::move(target).value() : out;
}

// fsync with EINTR retried. A descriptor whose file system cannot synchronise (EINVAL) has
// nothing more to flush. Returns 0 or the errno.
int flush_to_storage(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EINVAL ? 0 : errno;
  }
}

// The directory that holds path, opened for its flush.
Result<UniqueFd> open_parent_directory(const fs::path& path) {
  const fs::path dir = directory_of(path);
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return ManifestError::from_errno(errno);
  return fd;
}

// The temporary file filled by fill(fd), flushed, then renamed over out.
template <class Fill>
Status replace_file(const fs::path& out, Fill&& fill) {
  const fs::path target = replaced_file(out);
  TAMREL_TRY(TempFile temp, create_temp_beside(target));
  TAMREL_CHECK(fill(temp.fd()));
  // The data must reach the disk before the rename does, or a crash soon after could leave out
  // empty or partial with the previous manifest gone. Delayed write errors (a full disk on some
  // file systems) surface here or at the close.
  if (const int err = flush_to_storage(temp.fd()); err != 0) {
    return ManifestError::json(os_error_text(err), 0, 0);
  }
  if (const int err = temp.close(); err != 0) {
    return ManifestError::json(os_error_text(err), 0, 0);
  }
  // Opened before the rename, so that a directory that cannot be opened leaves out as it was.
  TAMREL_TRY(const UniqueFd dir, open_parent_directory(temp.path()));
  if (::rename(temp.path().c_str(), target.c_str()) != 0) return ManifestError::from_errno(errno);
  temp.keep();
  // Until the directory is flushed the rename may not survive a crash. A failure here leaves the
  // new manifest at out, but a crash before the system writes the directory back may restore the
  // old one (or, for a new out, no file).
  if (const int err = flush_to_storage(dir.get()); err != 0) return ManifestError::from_errno(err);
  return {};
}

}  // namespace

Status write_manifest_file(const model::IndexManifest& manifest, const fs::path& out) {
  return replace_file(out, [&](int fd) { return model::write_manifest_pretty(manifest, fd); });
}

Status write_file_atomically(const fs::path& out, std::string_view bytes) {
  return replace_file(out, [&](int fd) { return model::write_all(fd, bytes); });
}

}  // namespace tamrel::create
