// Times the codec alone, without the interpreter: decode_manifest and manifest_to_json over one
// manifest, and decode_jsonl_row over every line of a JSON Lines file.
//
// Usage: codec_bench manifest FILE ITERATIONS
//        codec_bench rows FILE
// Prints one JSON object of timings.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "model/codec.hpp"

namespace {

// CPU time of the process: the machine may be shared, and waiting for a core is not decoding.
struct Clock {
  using time_point = std::chrono::duration<double>;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return time_point(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9);
  }
};

double seconds_since(Clock::time_point start) { return (Clock::now() - start).count(); }

// The process's resident high-water mark in KiB.
long hwm_kib() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int bench_manifest(const char* path, long iterations) {
  const std::string text = read_all(path);
  std::size_t sink = 0;
  (void)tamrel::model::decode_manifest(text);  // untimed, as the other contenders' first load
  auto start = Clock::now();
  for (long i = 0; i < iterations; ++i) {
    auto m = tamrel::model::decode_manifest(text);
    if (!m.ok()) {
      std::fprintf(stderr, "%s\n", m.error().text().c_str());
      return 1;
    }
    sink += m->extensions.size();
  }
  const double decode = seconds_since(start) / static_cast<double>(iterations);
  const auto manifest = tamrel::model::decode_manifest(text);
  start = Clock::now();
  for (long i = 0; i < iterations; ++i) sink += tamrel::model::manifest_to_json(*manifest).size();
  const double encode = seconds_since(start) / static_cast<double>(iterations);
  std::printf(
      "{\"bytes\": %zu, \"decode_s\": %.9f, \"encode_s\": %.9f, \"hwm_kib\": %ld, "
      "\"sink\": %zu}\n",
      text.size(), decode, encode, hwm_kib(), sink);
  return 0;
}

int bench_rows(const char* path) {
  const std::string text = read_all(path);
  std::size_t lines = 0;
  std::uint64_t sink = 0;
  const auto start = Clock::now();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    auto row = tamrel::model::decode_jsonl_row(std::string_view(text).substr(pos, end - pos));
    if (!row.ok()) {
      std::fprintf(stderr, "line %zu: %s\n", lines, row.error().text().c_str());
      return 1;
    }
    sink += row->row_id + row->db_id.size();
    ++lines;
    pos = end + 1;
  }
  const double total = seconds_since(start);
  std::printf(
      "{\"bytes\": %zu, \"lines\": %zu, \"seconds\": %.9f, \"hwm_kib\": %ld, "
      "\"sink\": %llu}\n",
      text.size(), lines, total, hwm_kib(), static_cast<unsigned long long>(sink));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "manifest") {
    return bench_manifest(argv[2], std::strtol(argv[3], nullptr, 10));
  }
  if (argc == 3 && std::string_view(argv[1]) == "rows") return bench_rows(argv[2]);
  std::fprintf(stderr, "usage: codec_bench manifest FILE ITERATIONS | codec_bench rows FILE\n");
  return 2;
}
