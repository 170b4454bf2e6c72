// The header probe over bytes; the claimed file size is taken from the first 8 bytes.
#include <cstdint>
#include <cstring>
#include <span>

#include "rank_io/probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  std::uint64_t file_size = size;
  if (size >= 8) {
    std::memcpy(&file_size, data, 8);
    data += 8;
    size -= 8;
  }
  auto meta =
      tamrel::rank_io::probe_index_bytes(std::span<const std::uint8_t>(data, size), file_size);
  (void)meta.ok();
  return 0;
}
