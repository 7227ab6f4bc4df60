// The card's driver interface: request codes and the configuration block the
// driver fills.
#pragma once

#include <cstdint>

enum class DriverRequest : std::uint32_t {
  Check = 0,              // none / none: succeeds when the driver is usable
  WriteWord = 1,          // value pointer, 1 / window offset, 0
  ReadWords = 2,          // buffer, word count / window offset, 0
  SetInterruptEvent = 3,  // converted event handle, 0 / none
  Shutdown = 4,           // none / none: the event is no longer signalled
  GetConfigInfo = 5,      // none / configuration block, 148
  MapChipWindow = 6,      // none / window pointer, 4
  GetInterruptWord = 10,  // none / 32-bit word, 4
};

// The 148-byte block the driver fills; it begins with the card's PCI
// configuration header.
struct BoardConfigInfo {
  std::uint8_t bytes[148];

  // The little-endian 32-bit value at a byte offset (0 to 144).
  std::uint32_t word(unsigned offset) const {
    return std::uint32_t(bytes[offset]) |
           std::uint32_t(bytes[offset + 1]) << 8 |
           std::uint32_t(bytes[offset + 2]) << 16 |
           std::uint32_t(bytes[offset + 3]) << 24;
  }
  std::uint32_t baseAddressRegister0() const { return word(16); }
  std::uint32_t baseAddressRegister1() const { return word(20); }
};
static_assert(sizeof(BoardConfigInfo) == 148);
