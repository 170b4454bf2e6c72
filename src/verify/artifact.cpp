// The index file on disk against the manifest's artifact record: digest, size, probed header.
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "base/text.hpp"
#include "io/digest.hpp"
#include "io/file.hpp"
#include "rank_io/probe.hpp"
#include "verify/issues.hpp"
#include "verify/path_policy.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace {

using report::add_issue;

void hash_pass(report::VerificationReport& report, const model::Artifact& a,
               const CheckedFile& checked) {
  auto digest = checked.read(io::digest_fd);
  if (!digest.ok()) {
    add_issue(report.errors, issues::hash_failed("artifact", "artifact", digest.error().message));
    return;
  }
  report.artifact.size_bytes = digest->size_bytes;
  report.artifact.sha256 = digest->sha256;
  compare_file_digest(report.errors, "artifact", "artifact", *digest, a.sha256, a.file_size_bytes);
}

// One probed header fact against its declared value.
void check_fact(std::vector<report::ReportIssue>& errors, std::uint64_t observed,
                std::uint64_t declared, const report::Issue<std::uint64_t, std::uint64_t>& issue) {
  if (observed != declared) add_issue(errors, issue(observed, declared));
}

// The probe reads the file the hash pass read, from its start: a second open could meet another.
Result<rank_io::IndexMetadata> probe_file(const CheckedFile& checked) {
  return checked.read([](int fd) -> Result<rank_io::IndexMetadata> {
    if (::lseek(fd, 0, SEEK_SET) != 0) return ManifestError::from_errno(errno);
    TAMREL_TRY(const std::uint64_t size, io::file_size(fd));
    return rank_io::probe_index_metadata(fd, size);
  });
}

void compare_metadata(report::VerificationReport& report, const model::Artifact& a,
                      const rank_io::IndexMetadata& meta) {
  auto& errors = report.errors;
  const rank_io::FormatEntry& entry = rank_io::format_entry(meta.kind);
  if (entry.coverage_note) {
    add_issue(errors, issues::artifact_manifest_coverage_unsupported(rank_io::kind_name(meta.kind),
                                                                     *entry.coverage_note));
  } else {
    report.artifact.metadata = meta;
    if (meta.kind != a.kind) {
      add_issue(errors, issues::artifact_kind_mismatch(rank_io::kind_name(meta.kind),
                                                       rank_io::kind_name(a.kind)));
    }
  }
  if (meta.params != a.params) {
    add_issue(errors, issues::artifact_params_mismatch(rank_io::params_display(meta.params),
                                                       rank_io::params_display(a.params)));
  }
  check_fact(errors, meta.format_version, a.format_version,
             issues::artifact_format_version_mismatch);
  check_fact(errors, meta.dim, a.dim, issues::artifact_dim_mismatch);
  check_fact(errors, meta.vector_count, a.vector_count, issues::artifact_vector_count_mismatch);
  check_fact(errors, meta.bytes_per_vec, a.bytes_per_vec, issues::artifact_bytes_per_vec_mismatch);
  check_fact(errors, meta.file_size_bytes, a.file_size_bytes,
             issues::artifact_metadata_file_size_mismatch);
}

}  // namespace

void verify_artifact(report::VerificationReport& report, const PassInput& in) {
  const model::Artifact& a = in.manifest.artifact;
  const VerifyOptions& opt = in.options;
  const std::filesystem::path declared = opt.index ? *opt.index : std::filesystem::path(a.path);
  report.artifact.manifest_path = a.path;
  report.artifact.observed_path = opt.index ? path_display(*opt.index) : a.path;

  // An index= override is the caller's own choice of file, opened as usual; a path taken from
  // the manifest is opened without blocking and must be a regular file.
  const io::Origin origin = opt.index ? io::Origin::Caller : io::Origin::Manifest;
  const auto checked =
      resolve_manifest_path(declared, in.base_dir, opt.allow_absolute_paths, opt.allow_path_escape,
                            "artifact", report.errors, origin);
  if (!checked) return;
  report.artifact.canonical_path = path_display(checked->canonical);

  hash_pass(report, a, *checked);
  note_read(opt, *checked);

  auto meta = probe_file(*checked);
  if (!meta.ok()) {
    add_issue(report.errors, issues::artifact_probe_failed(meta.error().message));
    return;
  }
  compare_metadata(report, a, *meta);
}

}  // namespace tamrel::verify
