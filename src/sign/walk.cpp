#include "sign/walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "base/fd.hpp"
#include "base/text.hpp"

namespace tamrel::sign {
namespace {

struct DirFree {
  void operator()(DIR* d) const { ::closedir(d); }
};

struct Walk {
  const WalkLimits& limits;
  const WalkVisitor& visit;
  const WalkFailure& failed;
  std::uint64_t entries = 0;

  Status names_of(int dir, std::string_view shown, std::vector<std::string>& out) {
    // fdopendir takes the descriptor it is given; the walk keeps its own.
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return failed(shown, errno, "");
    std::unique_ptr<DIR, DirFree> d(::fdopendir(copy));
    if (!d) {
      const int err = errno;
      ::close(copy);
      return failed(shown, err, "");
    }
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(d.get());
      if (e == nullptr) {
        if (errno != 0) return failed(shown, errno, "");
        break;
      }
      const std::string_view n(e->d_name);
      if (n == "." || n == "..") continue;
      if (++entries > limits.max_entries) {
        return failed(shown, 0,
                      fmt::format("more than {} entries (max_entries)", limits.max_entries));
      }
      out.emplace_back(n);
    }
    std::sort(out.begin(), out.end());
    return {};
  }

  Status walk(int dir, const std::string& prefix, std::uint64_t depth) {
    const std::string_view shown =
        prefix.empty() ? std::string_view() : std::string_view(prefix).substr(0, prefix.size() - 1);
    if (depth > limits.max_depth) {
      return failed(shown, 0,
                    fmt::format("directories nested deeper than {} (max_depth)", limits.max_depth));
    }
    std::vector<std::string> names;
    TAMREL_CHECK(names_of(dir, shown, names));
    for (std::string& raw : names) {
      WalkEntry entry;
      entry.name = prefix + utf8_lossy(raw);
      entry.utf8 = utf8_lossy(raw) == raw;
      entry.parent_fd = dir;
      entry.leaf = std::move(raw);
      if (::fstatat(dir, entry.leaf.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
        return failed(entry.name, errno, "");
      }
      TAMREL_TRY(const Visit next, visit(entry));
      if (next != Visit::Descend || !S_ISDIR(entry.st.st_mode)) continue;
      UniqueFd sub(::openat(dir, entry.leaf.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!sub.valid()) return failed(entry.name, errno, "");
      TAMREL_CHECK(walk(sub.get(), entry.name + "/", depth + 1));
    }
    return {};
  }
};

}  // namespace

Status walk_directory(int dir, const WalkLimits& limits, const WalkVisitor& visit,
                      const WalkFailure& failed) {
  Walk w{limits, visit, failed};
  return w.walk(dir, "", 1);
}

}  // namespace tamrel::sign
