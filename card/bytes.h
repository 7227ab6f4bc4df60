// Little-endian 32-bit words in byte buffers, such as the configuration
// block.
#pragma once

#include <cstdint>

namespace card {

// The word at bytes[0] to bytes[3], least significant byte first.
constexpr std::uint32_t loadLe32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
         std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
}

// Stores the word at bytes[0] to bytes[3], least significant byte first.
constexpr void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace card
