#include "create/random.hpp"

#include <array>
#include <cstdint>

#include <fmt/format.h>

#include "io/random.hpp"

namespace tamrel::create {

std::string new_uuid_v4() {
  std::array<std::uint8_t, 16> b{};
  io::fill_secure_random(b.data(), b.size());
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  return fmt::format(
      "{:02x}{:02x}{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-"
      "{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}",
      b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
      b[15]);
}

}  // namespace tamrel::create
