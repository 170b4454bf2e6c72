// Manifest creation: probe, digest, row-map scan, auxiliary files, relative paths, the write.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/fd.hpp"
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

// An input file as creation checked it: its canonical path beside the manifest directory's, and
// the file opened from that very resolution, so that the path stored names the bytes read.
struct CheckedInput {
  std::filesystem::path canonical;
  std::filesystem::path canonical_dir;
  UniqueFd fd;
};

// Canonicalizes path and manifest_dir and opens the file (beneath the directory when it lies
// there and escaping is not allowed). Errors: Io; Invalid "{} path {} is outside manifest
// directory ..." for a file that left the directory since it was canonicalized.
Result<CheckedInput> open_checked_input(const std::filesystem::path& path,
                                        const std::filesystem::path& manifest_dir,
                                        bool allow_path_escape, std::string_view label);

// The stored form of the input's path relative to the manifest directory. Errors: Invalid.
Result<std::string> manifest_relative_path(const CheckedInput& input, bool allow_absolute_paths,
                                           bool allow_path_escape, std::string_view label);

// Writes the pretty manifest to out through a temporary file, flushed and renamed over it, so a
// failed write leaves an existing out as it was and a crash leaves the old manifest or the new
// one, whole. Errors: Io (open, rename, directory flush), Json (write or flush, no position).
Status write_manifest_file(const model::IndexManifest& manifest, const std::filesystem::path& out);
// The same for any bytes (the signature file).
Status write_file_atomically(const std::filesystem::path& out, std::string_view bytes);

}  // namespace tamrel::create
