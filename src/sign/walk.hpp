// The one walk of a signed directory, for signing it and for checking it: from a descriptor, no
// link followed, in the model-signing tool's order, bounded.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.hpp"

namespace tamrel::sign {

// Bounds of a walk over storage that may be hostile: a directory of a million empty files or a
// chain of nested directories is refused, not walked for ever.
inline constexpr std::uint64_t DEFAULT_MAX_SIGNED_ENTRIES = 1000000;
inline constexpr std::uint64_t DEFAULT_MAX_SIGNED_DEPTH = 128;
// The bytes hashed in one check of a signed tree: 1 TiB.
inline constexpr std::uint64_t DEFAULT_MAX_SIGNED_BYTES = 1099511627776;

struct WalkLimits {
  std::uint64_t max_entries = DEFAULT_MAX_SIGNED_ENTRIES;
  std::uint64_t max_depth = DEFAULT_MAX_SIGNED_DEPTH;
};

// One entry as the walk meets it, before anything opens it.
struct WalkEntry {
  std::string name;    // relative to the walked directory, "/" separators, UTF-8 (lossy)
  bool utf8 = true;    // the name's own bytes were UTF-8
  int parent_fd = -1;  // the directory holding it, open for the callback's openat
  std::string leaf;    // its own name in parent_fd, as the system spells it
  struct stat st {};   // lstat: a link is a link
};

// What the callback says of an entry: descend into it (a directory only) or not.
enum class Visit : std::uint8_t { Descend, Skip };

// Visits every entry below dir (a directory descriptor) in order of name within each directory,
// a directory before what it holds; subdirectories opened with O_NOFOLLOW. A callback error
// ends the walk. Errors: the callback's; the walk's own (an unreadable directory, a limit) from
// `failed`, given the directory's name ("" for dir itself) and the errno or 0 for a limit with
// its text.
using WalkVisitor = std::function<Result<Visit>(const WalkEntry&)>;
using WalkFailure = std::function<ManifestError(std::string_view dir, int err, std::string_view)>;
Status walk_directory(int dir, const WalkLimits& limits, const WalkVisitor& visit,
                      const WalkFailure& failed);

}  // namespace tamrel::sign
