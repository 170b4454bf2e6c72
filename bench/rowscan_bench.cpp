// Times the row-map scan alone, without the interpreter: scan_row_identity_jsonl over one file,
// CALLS times after one warm call, as verification runs it (duplicates tracked).
//
// Usage: rowscan_bench FILE CALLS [TRACKED_ID_BYTES]
// Prints one JSON object: the CPU seconds of each call, the rows and the issue count.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "verify/row_scan.hpp"

namespace {

// CPU time of the process: the machine may be shared, and waiting for a core is not scanning.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: rowscan_bench FILE CALLS [TRACKED_ID_BYTES]\n");
    return 2;
  }
  tamrel::ResourceLimits limits;
  limits.max_row_map_rows = UINT64_MAX;
  if (argc > 3) limits.max_row_map_tracked_id_bytes = std::strtoull(argv[3], nullptr, 10);
  const int calls = std::atoi(argv[2]);
  std::printf("{\"times\": [");
  tamrel::verify::RowScanResult last;
  std::size_t issues_seen = 0;
  for (int i = 0; i <= calls; ++i) {
    std::vector<tamrel::report::ReportIssue> issues;
    const double start = cpu_seconds();
    auto scan = tamrel::verify::scan_row_identity_jsonl(argv[1], false, limits, UINT64_MAX, issues,
                                                        tamrel::io::Origin::Caller);
    const double elapsed = cpu_seconds() - start;
    if (!scan.ok()) {
      std::fprintf(stderr, "%s\n", scan.error().text().c_str());
      return 1;
    }
    last = *scan;
    issues_seen = issues.size();
    if (i > 0) std::printf("%s%.6f", i > 1 ? ", " : "", elapsed);
  }
  std::printf("], \"rows\": %llu, \"issues\": %zu}\n", static_cast<unsigned long long>(last.rows),
              issues_seen);
  return 0;
}
