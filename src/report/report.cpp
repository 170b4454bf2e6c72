#include "report/report.hpp"

#include <time.h>

#include <algorithm>

#include <fmt/format.h>

#include "base/panic.hpp"
#include "model/writer.hpp"
#include "report/issues.hpp"

namespace tamrel::report {
namespace {

constexpr std::string_view kIssueLimitCode = issues::verification_report_issue_limit_exceeded.code;

// How many issues stand before the marker: one below the limit, none for a limit of 0.
std::uint64_t kept_before_mark(std::uint64_t max_report_issues) {
  return max_report_issues == 0 ? 0 : max_report_issues - 1;
}

// Cuts issues to those kept and appends the marker.
void cut_and_mark(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues) {
  const std::uint64_t keep = kept_before_mark(max_report_issues);
  if (issues.size() > keep) issues.resize(static_cast<std::size_t>(keep));
  issues.push_back(issues::verification_report_issue_limit_exceeded(max_report_issues));
}

// Only cut_and_mark places the marker, and later issues only follow it, so it can stand nowhere
// but right after the issues kept: one look answers whether the list was cut.
bool is_cut(const std::vector<ReportIssue>& issues, std::uint64_t max_report_issues) {
  const std::uint64_t keep = kept_before_mark(max_report_issues);
  return issues.size() > keep && issues[static_cast<std::size_t>(keep)].code == kIssueLimitCode;
}

// ---- JSON ----

using model::JsonWriter;
using model::ObjectWriter;
using model::write_array;

void write_params(JsonWriter& w, const rank_io::IndexParams& params) {
  ObjectWriter o(w);
  o.str("kind", rank_io::KIND_JSON_NAMES[params.index()]);
  if (const auto* rq = std::get_if<rank_io::RankQuantParams>(&params)) o.u64("bits", rq->bits);
  if (const auto* bm = std::get_if<rank_io::BitmapParams>(&params)) o.u64("n_top", bm->n_top);
}

void write_artifact(JsonWriter& w, const ArtifactFacts& a) {
  ObjectWriter o(w);
  o.str("manifest_path", a.manifest_path);
  o.str("observed_path", a.observed_path);
  o.str("canonical_path", a.canonical_path);
  o.str("sha256", a.sha256);
  o.u64("size_bytes", a.size_bytes);
  if (a.metadata) {
    write_metadata(o.key("metadata"), *a.metadata);
  } else {
    o.key("metadata").null();
  }
}

void write_auxiliary(JsonWriter& w, const AuxiliaryArtifactFacts& x) {
  ObjectWriter o(w);
  o.str("name", std::string_view(x.name));
  o.str("manifest_path", std::string_view(x.manifest_path));
  o.str("resolved_path", x.resolved_path);
  o.str("canonical_path", x.canonical_path);
  o.str("expected_sha256", x.expected_sha256);
  o.u64("expected_size_bytes", x.expected_size_bytes);
  o.boolean("required", x.required);
  o.str("state", std::string_view(state_name(x.state)));
  o.str("reason_code", x.reason_code);
  o.str("sha256", x.sha256);
  o.u64("size_bytes", x.size_bytes);
}

void write_row_identity(JsonWriter& w, const RowIdentityFacts& r) {
  ObjectWriter o(w);
  o.str("kind", r.kind);
  o.str("manifest_path", r.manifest_path);
  o.str("canonical_path", r.canonical_path);
  o.str("sha256", r.sha256);
  o.u64("row_count", r.row_count);
  o.u64("validated_rows", r.validated_rows);
}

// The blocks with a profile file: what identifies the block, its own members, then the file.
template <class OwnMembers>
void write_profile_block(JsonWriter& w, const ProfileBlockFacts& b, OwnMembers write_own) {
  ObjectWriter o(w);
  o.boolean("present", b.present);
  o.str("schema_version", b.schema_version);
  o.str("profile_id", b.profile_id);
  write_own(o);
  o.str("profile_manifest_path", b.profile_manifest_path);
  o.str("profile_canonical_path", b.profile_canonical_path);
  o.str("profile_sha256", b.profile_sha256);
  o.u64("profile_size_bytes", b.profile_size_bytes);
}

void write_encoder_distortion(JsonWriter& w, const EncoderDistortionFacts& e) {
  write_profile_block(w, e, [&](ObjectWriter& o) {
    o.str("evidence_kind", e.evidence_kind);
    o.str("source_metric", e.source_metric);
    o.str("embedding_metric", e.embedding_metric);
  });
}

void write_calibration(JsonWriter& w, const CalibrationFacts& c) {
  write_profile_block(w, c, [&](ObjectWriter& o) {
    o.str("calibrated_for_model", c.calibrated_for_model);
    o.str("ordinalization", c.ordinalization);
    o.str("null_model", c.null_model);
  });
}

void write_attestation(JsonWriter& w, const AttestationShapeCheck& s) {
  ObjectWriter o(w);
  o.str("predicate_type", s.predicate_type);
  o.str("builder_id", s.builder_id);
  o.boolean("subject_sha256_matched", s.subject_sha256_matched);
}

void write_issue(JsonWriter& w, const ReportIssue& issue) {
  ObjectWriter o(w);
  o.str("code", std::string_view(issue.code));
  o.str("message", std::string_view(issue.message));
}

}  // namespace

const char* state_name(AuxiliaryArtifactState state) {
  static constexpr const char* kNames[] = {"verified", "optional_absent", "missing_required",
                                           "failed"};
  return kNames[static_cast<int>(state)];
}

std::string rfc3339_now_nanos() {
  struct timespec ts {};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) panic("the system clock cannot be read");
  if (ts.tv_sec < 0) panic("the system clock reads a time before 1970");
  struct tm utc {};
  if (::gmtime_r(&ts.tv_sec, &utc) == nullptr) panic("the system clock is out of range");
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:09}Z", utc.tm_year + 1900,
                     utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ts.tv_nsec);
}

VerificationReport start_report(std::string manifest_id) {
  VerificationReport report;
  report.checked_at = rfc3339_now_nanos();
  report.manifest_id = std::move(manifest_id);
  return report;
}

void add_issue(std::vector<ReportIssue>& issues, std::string code, std::string message) {
  issues.push_back(ReportIssue{std::move(code), std::move(message)});
}

void add_issue_bounded(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues,
                       std::string code, std::string message) {
  if (issues.size() < max_report_issues) {
    add_issue(issues, std::move(code), std::move(message));
    return;
  }
  mark_issue_limit(issues, max_report_issues);
}

void mark_issue_limit(std::vector<ReportIssue>& issues, std::uint64_t max_report_issues) {
  if (!is_cut(issues, max_report_issues)) cut_and_mark(issues, max_report_issues);
}

void finish_report(VerificationReport& report, std::uint64_t max_report_issues) {
  auto& errors = report.errors;
  if (errors.size() > max_report_issues) {
    std::erase_if(errors, [](const ReportIssue& i) { return i.code == kIssueLimitCode; });
    cut_and_mark(errors, max_report_issues);
  }
  report.ok = errors.empty();
}

void write_metadata(JsonWriter& w, const rank_io::IndexMetadata& m) {
  ObjectWriter o(w);
  o.str("kind", rank_io::kind_json_name(m.kind));
  o.u64("format_version", m.format_version);
  o.u64("dim", m.dim);
  o.u64("vector_count", m.vector_count);
  o.u64("bytes_per_vec", m.bytes_per_vec);
  write_params(o.key("params"), m.params);
  o.u64("file_size_bytes", m.file_size_bytes);
}

void write_report(JsonWriter& w, const VerificationReport& r) {
  ObjectWriter o(w);
  o.boolean("ok", r.ok);
  o.str("checked_at", std::string_view(r.checked_at));
  o.str("manifest_id", r.manifest_id);
  write_artifact(o.key("artifact"), r.artifact);
  write_array(o.key("auxiliary_artifacts"), r.auxiliary_artifacts, write_auxiliary);
  write_row_identity(o.key("row_identity"), r.row_identity);
  write_encoder_distortion(o.key("encoder_distortion"), r.encoder_distortion);
  write_calibration(o.key("calibration"), r.calibration);
  write_array(o.key("attestation_shape_checks"), r.attestation_shape_checks, write_attestation);
  write_array(o.key("errors"), r.errors, write_issue);
  write_array(o.key("warnings"), r.warnings, write_issue);
  write_array(o.key("skipped_checks"), r.skipped_checks,
              [](JsonWriter& s, const std::string& name) { s.string(name); });
}

std::string report_to_json(const VerificationReport& report) {
  JsonWriter w(JsonWriter::Layout::Compact);
  write_report(w, report);
  return w.take();
}

}  // namespace tamrel::report
