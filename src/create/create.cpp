// create_manifest: probe, digest, row map, auxiliary files, identifiers, then the write.
#include "create/create.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>
#include <fmt/format.h>

#include "base/panic.hpp"
#include "base/path.hpp"
#include "base/text.hpp"
#include "create/issues.hpp"
#include "create/random.hpp"
#include "io/digest.hpp"
#include "io/file.hpp"
#include "rank_io/probe.hpp"
#include "report/issues.hpp"
#include "report/report.hpp"
#include "validate/issues.hpp"
#include "validate/predicates.hpp"
#include "verify/issues.hpp"
#include "verify/row_scan.hpp"

namespace tamrel::create {
namespace fs = std::filesystem;

namespace {

constexpr char BUILDER_ID[] = "tamrel-manifest";
constexpr char URN_UUID[] = "urn:uuid:";

// Scan issues that mean "a limit stopped the scan" rather than "the row map is wrong"; the caller
// can lift a limit, so these are reported as themselves.
constexpr std::array<std::string_view, 4> RESOURCE_LIMIT_CODES = {
    verify::issues::row_identity_line_too_large.code,
    verify::issues::row_identity_row_count_limit_exceeded,
    report::issues::verification_report_issue_limit_exceeded.code,
    verify::issues::row_identity_duplicate_tracking_limit_exceeded.code,
};

// Creates dir and its missing ancestors. A directory that appears meanwhile (another process
// creating the same chain) is accepted. Errors: Io.
Status ensure_directory(const fs::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return ManifestError::from_errno(ENOTDIR);
    return {};
  }
  std::vector<fs::path> missing{dir};
  for (fs::path p = dir.parent_path(); !p.empty() && p != missing.back(); p = p.parent_path()) {
    if (::stat(p.c_str(), &st) == 0) break;
    missing.push_back(p);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) continue;
    const int err = errno;
    if (err == EEXIST && ::stat(it->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return ManifestError::from_errno(err);
  }
  return {};
}

// An input opened once, as its path was checked: its size, header and digest all come through
// this descriptor, its stored path from the same check, and its version at opening is what the
// check after reading compares against.
struct OpenInput {
  CheckedInput checked;
  io::FileVersion version;
};

Result<OpenInput> open_input(const fs::path& path, const fs::path& dir,
                             const CreateOptions& options, std::string_view label) {
  TAMREL_TRY(CheckedInput checked, open_checked_input(path, dir, options.allow_path_escape, label));
  TAMREL_TRY(const io::FileVersion version, io::file_version(checked.fd.get()));
  return OpenInput{std::move(checked), version};
}

#ifdef TAMREL_TEST_HOOKS
// Lets a test change an input at a known moment, after it was read and before it is checked:
// when TAMREL_TEST_PAUSE_AT names the input ("index", "row map", ...), the call opens the FIFO
// TAMREL_TEST_PAUSE_FIFO and waits there until the test closes its end.
void test_pause(std::string_view what) {
  const char* at = std::getenv("TAMREL_TEST_PAUSE_AT");
  const char* fifo = std::getenv("TAMREL_TEST_PAUSE_FIFO");
  if (at == nullptr || fifo == nullptr || what != at) return;
  const UniqueFd fd(::open(fifo, O_RDONLY | O_CLOEXEC));
  char byte = 0;
  for (ssize_t n = 0; fd.get() >= 0;) {
    n = ::read(fd.get(), &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
}
#endif

// Refuses a file that was rewritten, truncated or replaced while it was read: its manifest entry
// would pair the size of one version with the digest of another and could never verify. The path
// must still name the version that was opened, and the read must have seen all of its bytes
// (bytes_read, where the reader counts them). A path that no longer names any file has changed
// too. Errors: Invalid.
Status check_unchanged(const OpenInput& input, const fs::path& path,
                       std::optional<std::uint64_t> bytes_read, std::string_view what) {
#ifdef TAMREL_TEST_HOOKS
  test_pause(what);
#endif
  const auto now = io::path_version(path);
  const bool same =
      now.ok() && *now == input.version && (!bytes_read || *bytes_read == input.version.size);
  if (same) return {};
  return issues::input_changed(what, path_display(path));
}

struct IndexRead {
  rank_io::IndexMetadata meta;
  io::FileDigest digest;
  OpenInput input;
};

// The header probe and the digest of one open of the index, its size taken from that open.
// Errors: Io, Invalid.
Result<IndexRead> read_index(const CreateOptions& options, const fs::path& dir) {
  const fs::path& index = options.index;
  TAMREL_TRY(OpenInput input, open_input(index, dir, options, "artifact"));
  const int fd = input.checked.fd.get();
  TAMREL_TRY(rank_io::IndexMetadata meta, rank_io::probe_index_metadata(fd, input.version.size));
  if (::lseek(fd, 0, SEEK_SET) != 0) return ManifestError::from_errno(errno);
  TAMREL_TRY(io::FileDigest digest, io::digest_fd(fd));
  TAMREL_CHECK(check_unchanged(input, index, digest.size_bytes, "index"));
  return IndexRead{std::move(meta), std::move(digest), std::move(input)};
}

// Refuses probed facts that schema v1 cannot record. Errors: Invalid.
Status check_coverage(const rank_io::IndexMetadata& meta) {
  const rank_io::FormatEntry& entry = rank_io::format_entry(meta.kind);
  if (entry.coverage_note) {
    return ManifestError::invalid(verify::issues::artifact_manifest_coverage_unsupported.text(
        rank_io::kind_name(meta.kind), *entry.coverage_note));
  }
  if (rank_io::params_kind(meta.params) != meta.kind) {
    return issues::params_not_supported(rank_io::params_display(meta.params));
  }
  return {};
}

// One error for a scan that raised issues: a limit issue as itself, else every code in order.
ManifestError row_map_issues_error(const std::vector<report::ReportIssue>& issues) {
  for (const report::ReportIssue& issue : issues) {
    if (std::find(RESOURCE_LIMIT_CODES.begin(), RESOURCE_LIMIT_CODES.end(), issue.code) !=
        RESOURCE_LIMIT_CODES.end()) {
      return ManifestError::context(issue.code, issue.message);
    }
  }
  std::string codes;
  for (const report::ReportIssue& issue : issues) {
    if (!codes.empty()) codes += ", ";
    codes += issue.code;
  }
  return issues::row_map_invalid(codes);
}

Result<model::RowIdentityJsonl> scan_row_map(const CreateOptions& options, const fs::path& dir,
                                             std::uint64_t vector_count) {
  TAMREL_TRY(const OpenInput input, open_input(*options.row_map, dir, options, "row identity"));
  std::vector<report::ReportIssue> issues;
  TAMREL_TRY(const verify::RowScanResult scan,
             verify::scan_row_identity_jsonl(input.checked.fd.get(),
                                             /*allow_duplicate_db_ids=*/false, options.limits,
                                             vector_count, issues));
  // Before judging the rows: what a change mid-scan leaves (a short count, a cut line) is not
  // the caller's row map.
  TAMREL_CHECK(check_unchanged(input, *options.row_map, std::nullopt, "row map"));
  if (!issues.empty()) return row_map_issues_error(issues);
  if (scan.rows != vector_count) {
    return issues::row_map_row_count_differs(scan.rows, vector_count);
  }
  if (!scan.sha256) {
    return issues::row_map_hash_unavailable();
  }
  TAMREL_TRY(std::string path, manifest_relative_path(input.checked, options.allow_absolute_paths,
                                                      options.allow_path_escape, "row identity"));
  model::RowIdentityJsonl jsonl;
  jsonl.path = std::move(path);
  jsonl.sha256 = *scan.sha256;
  jsonl.row_count = scan.rows;
  jsonl.id_kind = "uuid";
  return jsonl;
}

Result<std::vector<model::AuxiliaryArtifact>> read_auxiliary_artifacts(const CreateOptions& options,
                                                                       const fs::path& dir) {
  const auto& items = options.auxiliary_artifacts;
  const std::uint64_t limit = options.limits.max_auxiliary_artifacts;
  if (items.size() > limit) {
    return validate::issues::auxiliary_artifact_count_limit_exceeded.error(items.size(), limit);
  }
  std::vector<model::AuxiliaryArtifact> out;
  out.reserve(items.size());
  boost::unordered_flat_set<std::string> seen;
  for (const AuxiliaryItem& item : items) {
    std::string name(validate::trimmed(item.name));
    if (name.empty()) {
      return ManifestError::invalid(validate::issues::auxiliary_artifact_name_empty.text());
    }
    if (!seen.insert(name).second) {
      return ManifestError::invalid(
          validate::issues::auxiliary_artifact_name_duplicate.text(validate::quoted(name)));
    }
    TAMREL_TRY(const OpenInput input, open_input(item.path, dir, options, "auxiliary artifact"));
    TAMREL_TRY(io::FileDigest digest,
               io::bounded_read_digest(
                   input.checked.fd.get(), item.path, options.limits.max_auxiliary_artifact_bytes,
                   verify::issues::auxiliary_artifact_file_too_large, "auxiliary artifact"));
    TAMREL_CHECK(check_unchanged(input, item.path, digest.size_bytes,
                                 fmt::format("auxiliary artifact {}", validate::quoted(name))));
    TAMREL_TRY(std::string path,
               manifest_relative_path(input.checked, options.allow_absolute_paths,
                                      options.allow_path_escape, "auxiliary artifact"));
    model::AuxiliaryArtifact artifact;
    artifact.name = std::move(name);
    artifact.path = std::move(path);
    artifact.sha256 = std::move(digest.sha256);
    artifact.file_size_bytes = digest.size_bytes;
    artifact.required = item.required;
    out.push_back(std::move(artifact));
  }
  return out;
}

// "YYYY-MM-DDTHH:MM:SSZ": the report clock's reading cut to whole seconds.
std::string created_at_now() {
  std::string text = report::rfc3339_now_nanos();
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos) panic("the clock text has no fractional seconds");
  text.replace(dot, std::string::npos, "Z");
  return text;
}

}  // namespace

Result<model::IndexManifest> create_manifest(const CreateOptions& options) {
  const fs::path dir = directory_of(options.out);
  TAMREL_CHECK(ensure_directory(dir));

  TAMREL_TRY(IndexRead index, read_index(options, dir));
  const rank_io::IndexMetadata& meta = index.meta;
  io::FileDigest& digest = index.digest;
  TAMREL_CHECK(check_coverage(meta));

  model::IndexManifest manifest;
  manifest.schema_version = SCHEMA_VERSION;
  model::Artifact& artifact = manifest.artifact;
  TAMREL_TRY(artifact.path,
             manifest_relative_path(index.input.checked, options.allow_absolute_paths,
                                    options.allow_path_escape, "artifact"));
  artifact.sha256 = std::move(digest.sha256);
  artifact.kind = meta.kind;
  artifact.format_version = meta.format_version;
  artifact.dim = meta.dim;
  artifact.vector_count = meta.vector_count;
  artifact.bytes_per_vec = meta.bytes_per_vec;
  artifact.params = meta.params;
  // The size the open file had; the digest read exactly that many bytes of that version.
  artifact.file_size_bytes = meta.file_size_bytes;

  if (options.row_id_is_identity) {
    manifest.row_identity = model::RowIdIdentity{meta.vector_count};
  } else {
    TAMREL_TRY(manifest.row_identity, scan_row_map(options, dir, meta.vector_count));
  }
  TAMREL_TRY(manifest.auxiliary_artifacts, read_auxiliary_artifacts(options, dir));

  model::BuildInfo build;
  build.invocation_id = URN_UUID + new_uuid_v4();
  build.builder_id = BUILDER_ID;
  manifest.manifest_id = URN_UUID + new_uuid_v4();
  manifest.created_at = created_at_now();
  manifest.embedding.model = options.embedding_model;
  manifest.embedding.dim = meta.dim;
  manifest.build = std::move(build);

  TAMREL_CHECK(write_manifest_file(manifest, options.out));
  return manifest;
}

}  // namespace tamrel::create
