// Paths as the manifest's relative paths see them.
#pragma once

#include <filesystem>

namespace tamrel {

// The directory that holds path's file: its parent as written, "." for a bare file name.
inline std::filesystem::path directory_of(const std::filesystem::path& path) {
  std::filesystem::path dir = path.parent_path();
  return dir.empty() ? std::filesystem::path(".") : dir;
}

}  // namespace tamrel
