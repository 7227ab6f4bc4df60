// Numbers in the simulated card's messages: "0x" and lower-case hexadecimal
// digits without leading zeros.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

inline std::string hexText(std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[10];
  char* first = text + sizeof text;
  do {
    *--first = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  return "0x" + std::string(first, text + sizeof text);
}

}  // namespace sim
