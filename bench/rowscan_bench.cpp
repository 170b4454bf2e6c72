// Times the row-map scan alone, without the interpreter: scan_row_identity_jsonl over one file,
// CALLS times after one warm call, as verification runs it (duplicates tracked).
//
// Usage: rowscan_bench FILE CALLS [TRACKED_ID_BYTES]
// Prints one JSON object: the CPU seconds and the wall seconds of each call, the rows and the
// issue count.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "verify/row_scan.hpp"

namespace {

// CPU time of the process: the machine may be shared, and waiting for a core is not scanning.
// Wall time too, for a piece that moves work to a second core.
double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
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
  std::string cpu;
  std::string wall;
  tamrel::verify::RowScanResult last;
  std::size_t issues_seen = 0;
  for (int i = 0; i <= calls; ++i) {
    std::vector<tamrel::report::ReportIssue> issues;
    const double cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall_start = seconds(CLOCK_MONOTONIC);
    auto fd = tamrel::io::open_for_read(argv[1], tamrel::io::Origin::Caller);
    auto scan = fd.ok() ? tamrel::verify::scan_row_identity_jsonl(fd->get(), false, limits,
                                                                  UINT64_MAX, issues)
                        : tamrel::Result<tamrel::verify::RowScanResult>(fd.error());
    const double cpu_elapsed = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    const double wall_elapsed = seconds(CLOCK_MONOTONIC) - wall_start;
    if (!scan.ok()) {
      std::fprintf(stderr, "%s\n", scan.error().text().c_str());
      return 1;
    }
    last = *scan;
    issues_seen = issues.size();
    if (i > 0) {
      if (i > 1) {
        cpu += ", ";
        wall += ", ";
      }
      cpu += std::to_string(cpu_elapsed);
      wall += std::to_string(wall_elapsed);
    }
  }
  std::printf("{\"times\": [%s], \"wall\": [%s], \"rows\": %llu, \"issues\": %zu}\n", cpu.c_str(),
              wall.c_str(), static_cast<unsigned long long>(last.rows), issues_seen);
  return 0;
}
