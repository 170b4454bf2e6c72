// Strict decoding and canonical encoding of manifests and row-identity lines.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "model/records.hpp"

namespace tamrel::model {

// Decodes one JSON document whose top-level value is an IndexManifest. Errors: Json with the
// rule's message and the 1-based line and byte column where decoding stopped.
Result<IndexManifest> decode_manifest(std::string_view text);

// Decodes one row-identity line (the line alone, terminator removed). Errors: Json.
Result<JsonlRow> decode_jsonl_row(std::string_view line);

// The manifest's bytes under max_manifest_bytes (issues::manifest_file_too_large past it).
// Errors: Io, Context.
Result<std::string> read_manifest_text(const std::filesystem::path& path,
                                       std::uint64_t max_manifest_bytes);

// read_manifest_text, then decode_manifest. Errors: Io, Context, Json.
Result<IndexManifest> load_manifest(const std::filesystem::path& path,
                                    std::uint64_t max_manifest_bytes);

// The canonical compact text. Cannot fail.
std::string manifest_to_json(const IndexManifest& manifest);

// The pretty form (two-space indent, no final newline) streamed to an open file descriptor.
// Errors: Json carrying the system's message and no position.
Status write_manifest_pretty(const IndexManifest& manifest, int fd);

// The pretty form as text (tests and tools).
std::string manifest_to_pretty_json(const IndexManifest& manifest);

}  // namespace tamrel::model
