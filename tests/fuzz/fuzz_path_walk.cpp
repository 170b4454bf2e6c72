// The lexical walk against an independent count of the same components.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "verify/path_policy.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find('\0') != std::string::npos) return 0;
  const std::filesystem::path p(text);
  const bool escapes = tamrel::verify::lexically_escapes(p);
  bool expect = p.has_root_path();
  long depth = 0;
  for (const auto& part : p) {
    if (expect) break;
    if (part == "..") {
      if (depth == 0) expect = true;
      --depth;
    } else if (part != "." && !part.empty()) {
      ++depth;
    }
  }
  if (escapes != expect) std::abort();
  return 0;
}
