// Manifest creation: probe, digest, row-map scan, auxiliary files, relative paths, the write.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/limits.hpp"
#include "base/result.hpp"
#include "model/records.hpp"

namespace tamrel::create {

struct AuxiliaryItem {
  std::string name;
  std::filesystem::path path;
  bool required = true;
};

struct CreateOptions {
  std::filesystem::path index;
  std::filesystem::path out;
  std::string embedding_model;
  std::optional<std::filesystem::path> row_map;
  bool row_id_is_identity = false;
  std::vector<AuxiliaryItem> auxiliary_artifacts;
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  ResourceLimits limits;
};

// Creates and writes the manifest; returns it. Errors: Io, Invalid, Context, Json.
Result<model::IndexManifest> create_manifest(const CreateOptions& options);

// The stored form of path relative to manifest_dir. Errors: Io, Invalid.
Result<std::string> manifest_relative_path(const std::filesystem::path& path,
                                           const std::filesystem::path& manifest_dir,
                                           bool allow_absolute_paths, bool allow_path_escape,
                                           std::string_view label);

// Writes the pretty manifest to out through a temporary file, flushed and renamed over it, so a
// failed write leaves an existing out as it was and a crash leaves the old manifest or the new
// one, whole. Errors: Io (open, rename, directory flush), Json (write or flush, no position).
Status write_manifest_file(const model::IndexManifest& manifest, const std::filesystem::path& out);
// The same for any bytes (the signature file).
Status write_file_atomically(const std::filesystem::path& out, std::string_view bytes);

}  // namespace tamrel::create
