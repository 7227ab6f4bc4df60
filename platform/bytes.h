// Little-endian 32-bit values in byte buffers: the configuration block, the
// words of driver requests, the simulated card's memory.
#pragma once

#include <cstdint>

namespace platform {

inline std::uint32_t loadLe32(const std::uint8_t* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
         std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
}

inline void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
  bytes[0] = std::uint8_t(value);
  bytes[1] = std::uint8_t(value >> 8);
  bytes[2] = std::uint8_t(value >> 16);
  bytes[3] = std::uint8_t(value >> 24);
}

}  // namespace platform
