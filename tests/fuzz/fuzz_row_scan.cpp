// The row-identity scanner over a file made from the input, with small limits so every stop
// condition is reachable.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "verify/row_identity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/tamrel_fuzz_rows." +
           std::to_string(::getpid());
  }();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  tamrel::ResourceLimits limits;
  const unsigned knob = size > 0 ? data[0] : 0;
  limits.max_row_map_line_bytes = 16 + (knob & 0x3F) * 4;
  limits.max_row_map_rows = 1 + (knob >> 6) * 8;
  limits.max_row_map_tracked_id_bytes = 64 + knob;
  limits.max_report_issues = 1 + (knob & 7);
  std::vector<tamrel::report::ReportIssue> issues;
  auto scan = tamrel::verify::scan_row_identity_jsonl(path, (knob & 1) != 0, limits,
                                                      8 + (knob & 0x0F), issues,
                                                      tamrel::io::Origin::Caller);
  if (scan.ok() && issues.size() > limits.max_report_issues) std::abort();
  return 0;
}
