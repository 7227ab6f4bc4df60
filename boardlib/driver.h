// The card's driver interface: request codes and the configuration block the
// driver fills.
#pragma once

#include <cstdint>

#include "card/bytes.h"
#include "card/card_map.h"  // DriverRequest and the card's numbers

// The 148-byte block the driver fills; it begins with the card's PCI
// configuration header.
struct BoardConfigInfo {
  std::uint8_t bytes[card::kConfigBlockSize];

  // The little-endian 32-bit value at a byte offset (0 to 144).
  std::uint32_t word(unsigned offset) const {
    return card::loadLe32(bytes + offset);
  }
  std::uint32_t baseAddressRegister0() const {
    return word(card::kBaseAddress0);
  }
  std::uint32_t baseAddressRegister1() const {
    return word(card::kBaseAddress1);
  }
};
static_assert(sizeof(BoardConfigInfo) == card::kConfigBlockSize);
