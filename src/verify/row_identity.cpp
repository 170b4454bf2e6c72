// The row-identity stage of verification: the declared facts, then one scan of the row map.
#include <variant>

#include <fmt/format.h>

#include "base/text.hpp"
#include "verify/issues.hpp"
#include "verify/path_policy.hpp"
#include "verify/row_scan.hpp"
#include "verify/stages.hpp"

namespace tamrel::verify {
namespace fs = std::filesystem;

void verify_row_identity(report::VerificationReport& report, const PassInput& in) {
  report::RowIdentityFacts& facts = report.row_identity;
  facts.kind = model::row_identity_tag(in.manifest.row_identity);
  const auto* jsonl = std::get_if<model::RowIdentityJsonl>(&in.manifest.row_identity);
  if (jsonl == nullptr) {
    facts.row_count = std::get<model::RowIdIdentity>(in.manifest.row_identity).row_count;
    return;
  }
  const ResourceLimits& limits = in.options.limits;
  facts.manifest_path = jsonl->path;
  facts.row_count = jsonl->row_count;
  if (jsonl->row_count > limits.max_row_map_rows) {
    report::add_issue(report.errors, issues::row_identity_declared_rows_over_limit(
                                         jsonl->row_count, limits.max_row_map_rows));
    return;
  }
  const auto checked =
      resolve_manifest_path(fs::path(jsonl->path), in.base_dir, in.options.allow_absolute_paths,
                            in.options.allow_path_escape, "row_identity", report.errors);
  if (!checked) return;
  facts.canonical_path = path_display(checked->canonical);

  auto scan = checked->read([&](int fd) {
    return scan_row_identity_jsonl(fd, in.options.allow_duplicate_db_ids, limits, jsonl->row_count,
                                   report.errors);
  });
  note_read(in.options, *checked);
  if (!scan.ok()) {
    report::add_issue(report.errors, issues::row_identity_read_failed(scan.error().text()));
    return;
  }
  facts.validated_rows = scan->validated_rows;
  if (scan->sha256) {
    facts.sha256 = *scan->sha256;
    if (*scan->sha256 != jsonl->sha256) {
      report::add_issue(report.errors, issues::sha256_mismatch("row_identity", "row_identity",
                                                               *scan->sha256, jsonl->sha256));
    }
  }
  // A scan stopped on the declared count has said so already; one count issue is enough.
  if (scan->rows != jsonl->row_count && scan->stop != RowScanStop::DeclaredRows) {
    const std::string counted =
        scan->sha256 ? fmt::format("{}", scan->rows) : fmt::format("at least {}", scan->rows);
    report::add_issue(report.errors, issues::row_identity_rows_differ(counted, jsonl->row_count));
  }
}

}  // namespace tamrel::verify
