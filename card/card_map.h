// The map of the card: every fact about it that the library, the backends,
// the simulated card and the tools share, written once. docs/card.md is the
// same map as a document.
#pragma once

#include <cstdint>

// ---- Driver requests --------------------------------------------------------
// Codes of the card driver's device I/O control requests. The comments give
// the in and out buffers (a plain number may stand in for a pointer).
enum class DriverRequest : std::uint32_t {
  Check = 0,              // none / none: succeeds when the driver is usable
  WriteWord = 1,          // value pointer, 1 / window offset, 0
  ReadWords = 2,          // buffer, word count / window offset, 0
  SetInterruptEvent = 3,  // converted event handle, 0 / none
  Shutdown = 4,           // none / none: the event is no longer signalled
  GetConfigInfo = 5,      // none / configuration block, 148
  MapChipWindow = 6,      // none / window pointer, pointer size
  GetInterruptWord = 10,  // none / 32-bit word, 4
};

namespace card {

constexpr std::uint32_t code(DriverRequest request) {
  return static_cast<std::uint32_t>(request);
}

// ---- Configuration block (request 5) ----------------------------------------
// 148 bytes beginning with the card's PCI configuration header.
inline constexpr std::uint32_t kConfigBlockSize = 148;
inline constexpr std::uint32_t kPciHeaderSize = 64;    // the standard header
inline constexpr std::uint32_t kCommandRegister = 4;   // 16 bits
inline constexpr std::uint32_t kClassRevision = 8;     // revision, class code
inline constexpr std::uint32_t kBaseAddress0 = 16;     // the chip window
inline constexpr std::uint32_t kBaseAddress1 = 20;     // the control ports
inline constexpr std::uint32_t kInterruptLine = 60;    // line, then pin
inline constexpr std::uint32_t kIoSpaceIndicator = 1;  // bit 0 of a BAR
inline constexpr std::uint32_t kIoBaseMask = 0xFFFE;   // I/O base of a BAR
// The card itself decodes its ports at address bits 2-15 of BAR1 (bit 1 of
// an I/O BAR is reserved).
inline constexpr std::uint32_t kIoDecodeMask = 0xFFFC;
inline constexpr std::uint16_t kCommandIoSpace = 1u << 0;
inline constexpr std::uint16_t kCommandMemorySpace = 1u << 1;
inline constexpr std::uint16_t kCommandInterruptDisable = 1u << 10;

// ---- Control ports ----------------------------------------------------------
// 32-bit ports at the I/O base plus an offset; the block spans offsets 0-63.
inline constexpr std::uint16_t kPortSpan = 64;
inline constexpr std::uint16_t kPort16 = 16;     // written 1 at bring-up (or 2)
inline constexpr std::uint16_t kClockPort = 20;  // the clock-programming line
inline constexpr std::uint16_t kPort24 = 24;     // written 0 at bring-up
inline constexpr std::uint16_t kPort28 = 28;
inline constexpr std::uint16_t kPort32 = 32;  // read
inline constexpr std::uint16_t kPort36 = 36;  // low byte and flag bit 8
inline constexpr std::uint16_t kPort40 = 40;
inline constexpr std::uint16_t kPort44 = 44;  // two bits
inline constexpr std::uint16_t kPort48 = 48;
inline constexpr std::uint16_t kPort52 = 52;
inline constexpr std::uint16_t kPort56 = 56;
inline constexpr std::uint16_t kPort60 = 60;  // signed byte, sign-extended
// The card's status: its own hardware drives every bit of port 32, and no
// model of the card predicts them.
inline constexpr std::uint16_t kStatusPort = kPort32;

// ---- Chip window ------------------------------------------------------------
// The driver maps the window into the program; chip address A is the 32-bit
// word at byte offset (A << 2) | kChipBase.
inline constexpr std::uint32_t kChipBase = 0x800000;
inline constexpr std::uint32_t kWindowSize = 0x840000;
inline constexpr int kChipAddressBits = 16;
inline constexpr std::uint32_t kChipAddressLimit = 1u << kChipAddressBits;
// What a read nobody answers (no card, or outside the window) gives.
inline constexpr std::uint32_t kFloatingBus = 0xFFFFFFFFu;

// A window offset that no window holds (none is 4 GiB long): an access there
// reaches nothing, so a read gives kFloatingBus and a write is dropped.
inline constexpr std::uint32_t kNoWindowOffset = 0xFFFFFFFCu;

// A chip address beyond its 16 bits has no word in the window: its offset is
// kNoWindowOffset, never one that wraps onto a register.
constexpr std::uint32_t windowOffset(std::uint32_t address) {
  return address < kChipAddressLimit ? (address << 2) | kChipBase
                                     : kNoWindowOffset;
}
// True when a window byte offset is a chip address's word.
constexpr bool isChipOffset(std::uint32_t offset) {
  return offset >= kChipBase && offset < kWindowSize && offset % 4 == 0;
}
constexpr std::uint32_t chipAddressOf(std::uint32_t offset) {
  return (offset - kChipBase) >> 2;
}

// ---- Chip addresses ---------------------------------------------------------
// A chip address: row bits 0-5, column offset bits 6-7, column bits 8-13,
// mode bits 14-15.
constexpr std::uint32_t chipAddress(std::uint32_t mode, std::uint32_t column,
                                    std::uint32_t columnOffset,
                                    std::uint32_t row) {
  return (row & 0x3f) | (columnOffset & 3) << 6 | (column & 0x3f) << 8 |
         (mode & 3) << 14;
}

// Column registers: mode 0, column offset 3, row 0; columns 0 to 63.
inline constexpr std::uint32_t kColumnRegisterOffset = 3;
inline constexpr std::uint32_t kColumnCount = 64;
constexpr std::uint32_t columnRegister(std::uint32_t column) {
  return chipAddress(0, column, kColumnRegisterOffset, 0);
}
constexpr bool isColumnRegister(std::uint32_t address) {
  return (address & 0xC0FF) == columnRegister(0);
}
constexpr std::uint32_t columnOf(std::uint32_t address) {
  return (address >> 8) & 0x3f;
}

// Control registers (mode 3).
inline constexpr std::uint32_t kControlMode = 3;
inline constexpr std::uint16_t kDeviceConfig = 0xC000;  // bus width, bits 2-3
inline constexpr std::uint16_t kControlC004 = 0xC004;
inline constexpr std::uint16_t kControlC005 = 0xC005;
inline constexpr std::uint16_t kControlC008 = 0xC008;
inline constexpr std::uint16_t kMaskC010 = 0xC010;
inline constexpr std::uint16_t kMaskC014 = 0xC014;
// The identification sequence: rows 48 to 63 of mode 3, column 0; the last
// byte echoes the value written after the sequence.
inline constexpr std::uint32_t kIdentificationRow = 48;
inline constexpr std::uint16_t kIdentificationFirst = 0xC030;
inline constexpr std::uint16_t kIdentificationByte = 0xC03F;

// ---- Bus width (bits 2-3 of 0xC000) -----------------------------------------
inline constexpr std::uint32_t kBusWidthMask = 0x0C;
inline constexpr std::uint32_t kBusWidth8 = 0x00;
inline constexpr std::uint32_t kBusWidth16 = 0x04;
inline constexpr std::uint32_t kBusWidth32 = 0x08;

// The field for a width of 8, 16 or 32 bits; -1 for any other width.
constexpr std::int32_t busWidthField(std::int32_t width) {
  return width == 8    ? std::int32_t{kBusWidth8}
         : width == 16 ? std::int32_t{kBusWidth16}
         : width == 32 ? std::int32_t{kBusWidth32}
                       : -1;
}
// The width in bits that a 0xC000 value selects; 0 for the reserved field.
constexpr std::int32_t busWidthOf(std::uint32_t deviceConfig) {
  switch (deviceConfig & kBusWidthMask) {
    case kBusWidth8:
      return 8;
    case kBusWidth16:
      return 16;
    case kBusWidth32:
      return 32;
    default:
      return 0;
  }
}

// ---- Clock synthesizer ------------------------------------------------------
// Frames on the one-bit line of kClockPort, least significant bit first, each
// closed by the protocol word; a programming sequence is three frames.
inline constexpr std::uint32_t kClockReferenceMHz = 16;
inline constexpr std::uint32_t kProtocolWord =
    30;  // 0, 1, 1, 1, 1, 0 on the line
inline constexpr int kProtocolBits = 6;
inline constexpr int kCommandBits = 8;
inline constexpr int kProgrammingWordBits = 22;
inline constexpr std::uint32_t kCommandOpen =
    5;  // open the programming register
inline constexpr std::uint32_t kCommandLoad =
    4;  // load the word sent before it
inline constexpr std::uint32_t kCommandSwitch = 0;  // switch to the new setting

// The programming word: range field bits 0-3, Q - 2 at bit 4 (7 bits), k at
// bit 11 (3 bits), reserved bit 14 (0), P - 3 at bit 15 (7 bits). The output
// is 2 x reference x P / Q / 2^k.
inline constexpr std::uint32_t kClockRangeMask = 0xF;
inline constexpr int kClockQShift = 4;
inline constexpr int kClockKShift = 11;
inline constexpr int kClockReservedBit = 14;
inline constexpr int kClockPShift = 15;
inline constexpr std::uint32_t kClockDividerMask = 0x7F;  // P - 3 and Q - 2
inline constexpr std::uint32_t kClockKMask = 7;
inline constexpr int kClockPOffset = 3;  // P = field + 3
inline constexpr int kClockQOffset = 2;  // Q = field + 2
inline constexpr int kClockPMin = 4;     // the multiplier P
inline constexpr int kClockPMax = 130;
inline constexpr int kClockQMin = 3;  // the reference divider Q
inline constexpr int kClockQMax = 129;
// The phase comparator takes reference / Q within 0.2 to 1 MHz (exclusive).
inline constexpr double kClockComparisonMinMHz = 0.2;
inline constexpr double kClockComparisonMaxMHz = 1.0;
// The oscillator, 2 x reference x P / Q, runs within 50 to 100 MHz; the range
// field is 8 from 80 MHz on, 0 below.
inline constexpr double kClockOscillatorMinMHz = 50.0;
inline constexpr double kClockOscillatorMaxMHz = 100.0;
inline constexpr double kClockUpperRangeFromMHz = 80.0;
inline constexpr std::uint32_t kClockRangeLower = 0;
inline constexpr std::uint32_t kClockRangeUpper = 8;
// The output band: the oscillator's, divided by 2^k for k up to 7.
inline constexpr double kClockOutputMinMHz =
    kClockOscillatorMinMHz / (1u << kClockKMask);
inline constexpr double kClockOutputMaxMHz = kClockOscillatorMaxMHz;

// The range field for an oscillator frequency.
constexpr std::uint32_t clockRangeFor(double oscillatorMHz) {
  return oscillatorMHz >= kClockUpperRangeFromMHz ? kClockRangeUpper
                                                  : kClockRangeLower;
}
// The programming word for P, Q, k and a range field.
constexpr std::uint32_t clockWord(int p, int q, int k, std::uint32_t range) {
  return (static_cast<std::uint32_t>(p - kClockPOffset) & kClockDividerMask)
             << kClockPShift |
         (static_cast<std::uint32_t>(k) & kClockKMask) << kClockKShift |
         (static_cast<std::uint32_t>(q - kClockQOffset) & kClockDividerMask)
             << kClockQShift |
         (range & kClockRangeMask);
}
// The fields of a programming word.
constexpr std::uint32_t clockPOf(std::uint32_t word) {
  return ((word >> kClockPShift) & kClockDividerMask) + kClockPOffset;
}
constexpr std::uint32_t clockQOf(std::uint32_t word) {
  return ((word >> kClockQShift) & kClockDividerMask) + kClockQOffset;
}
constexpr std::uint32_t clockKOf(std::uint32_t word) {
  return (word >> kClockKShift) & kClockKMask;
}
constexpr std::uint32_t clockRangeOf(std::uint32_t word) {
  return word & kClockRangeMask;
}
constexpr bool clockReservedSet(std::uint32_t word) {
  return ((word >> kClockReservedBit) & 1) != 0;
}

// ---- Design configuration (simulated card) ----------------------------------
// Where a design's configuration words go: from the base on, identification,
// parameter count and body word count, then the parameters, body, CRC-32.
inline constexpr std::uint16_t kConfigurationBase = 0x4000;
inline constexpr std::uint32_t kConfigurationEnd = 0xC000;  // one past the last
inline constexpr std::uint16_t kConfigParameters = 0x4003;

}  // namespace card
