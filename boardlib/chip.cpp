// The chip's address space: the mapped window, driver-mediated words, column
// and control registers, and the identification sequence.
#include <cstdint>
#include <cstring>

#include "boardlib/board.h"

const char* const chipIdentification = "Tavrek TV9400  ";

namespace {

constexpr std::uint32_t kDeviceConfig = 0xC000;
constexpr std::uint32_t kControlC004 = 0xC004;
constexpr std::uint32_t kControlC005 = 0xC005;
constexpr std::uint32_t kControlC008 = 0xC008;
constexpr std::uint32_t kMaskC010 = 0xC010;
constexpr std::uint32_t kMaskC014 = 0xC014;
constexpr std::uint32_t kIdentificationByte = 0xC03F;

constexpr std::uint32_t kColumnRegisterOffset = 3;
constexpr std::uint32_t kControlMode = 3;
constexpr std::uint32_t kIdentificationRow = 48;

// Byte offset in the window of a chip address's word.
constexpr std::uint32_t windowOffset(std::uint32_t address) {
  return (address << 2) | 0x800000u;
}

std::uint32_t columnRegister(std::int32_t column) {
  ChipAddress a;
  a.mode = 0;
  a.column = static_cast<std::uint32_t>(column) & 0x3f;
  a.columnOffset = kColumnRegisterOffset;
  a.row = 0;
  return a.value();
}

// The driver takes a window offset in place of its out-buffer pointer.
void* offsetArgument(std::uint32_t offset) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(offset));
}

}  // namespace

void Board::writeChip(std::uint32_t address, std::uint32_t value) {
  platform::windowWrite32(chipWindow, windowOffset(address), value);
}

std::uint32_t Board::readChip(std::uint32_t address) {
  const std::uint32_t offset = windowOffset(address);
  // Ten idle iterations are the chip's settling delay before the load; the
  // volatile counter keeps the optimiser from dropping them.
  volatile int idle = 0;
  while (idle < 10) {
    const int next = idle + 1;
    idle = next;
  }
  return platform::windowRead32(chipWindow, offset);
}

void Board::writeChipViaDriver(std::uint32_t address, std::uint32_t value) {
  driverRequest(DriverRequest::WriteWord, &value, 1,
                offsetArgument(windowOffset(address)), 0);
}

std::uint32_t Board::readChipViaDriver(std::uint32_t address) {
  std::uint32_t result = 0;  // what a failed request leaves
  driverRequest(DriverRequest::ReadWords, &result, 1,
                offsetArgument(windowOffset(address)), 0);
  return result;
}

void Board::writeChipBlock(std::uint32_t offset, const std::uint32_t* source,
                           std::uint32_t count) {
  if (count == 0) return;
  platform::windowWriteBlock32(chipWindow, offset, source, count);
}

void Board::readChipBlockViaDriver(std::uint32_t offset, std::uint32_t* buffer,
                                   std::uint32_t count) {
  driverRequest(DriverRequest::ReadWords, buffer, count, offsetArgument(offset),
                0);
}

void Board::writeUserRegister(std::int32_t column, std::uint32_t value) {
  writeChip(columnRegister(column), value);
}

std::uint32_t Board::readUserRegister(std::int32_t column) {
  return readChip(columnRegister(column));
}

void Board::writeDeviceConfig(std::uint8_t value) {
  writeChip(kDeviceConfig, value);
}

void Board::writeDeviceConfigViaDriver(std::uint8_t value) {
  writeChipViaDriver(kDeviceConfig, value);
}

std::uint8_t Board::readDeviceConfig() {
  return static_cast<std::uint8_t>(readChip(kDeviceConfig) & 0xFF);
}

ErrorCode Board::setBusWidth(std::int32_t width) {
  // Bits 2-3: 00 = 8 bits, 01 = 16 bits, 10 = 32 bits.
  std::uint8_t value = readDeviceConfig();
  switch (width) {
    case 8:
      value &= 0xF3;
      break;
    case 16:
      value = static_cast<std::uint8_t>((value & 0xF3) | 0x04);
      break;
    case 32:
      value = static_cast<std::uint8_t>((value & 0xF3) | 0x08);
      break;
    default:
      return -9;
  }
  writeDeviceConfigViaDriver(value);
  return 0;
}

std::int32_t Board::getBusWidth() {
  switch ((readDeviceConfig() >> 2) & 3) {
    case 0:
      return 8;
    case 1:
      return 16;
    case 2:
      return 32;
    default:
      return -9;
  }
}

void Board::writeControlC004(std::uint8_t value) {
  writeChip(kControlC004, value);
}

std::uint8_t Board::readControlC004() {
  return static_cast<std::uint8_t>(readChip(kControlC004) & 0xFF);
}

void Board::writeControlC005(std::uint8_t value) {
  writeChip(kControlC005, value);
}

std::uint8_t Board::readControlC005() {
  return static_cast<std::uint8_t>(readChip(kControlC005) & 0xFF);
}

void Board::writeControlC008(std::uint32_t value) {
  writeChip(kControlC008, value);
}

std::uint32_t Board::readControlC008() { return readChip(kControlC008); }

void Board::setMasks(std::uint32_t first, std::uint32_t second) {
  writeChip(kMaskC010, first);
  writeChip(kMaskC014, second);
}

void Board::setMaskC010(std::uint32_t value) { writeChip(kMaskC010, value); }
void Board::setMaskC014(std::uint32_t value) { writeChip(kMaskC014, value); }
std::uint32_t Board::getMaskC010() { return readChip(kMaskC010); }
std::uint32_t Board::getMaskC014() { return readChip(kMaskC014); }

void Board::writeIdentification(std::uint8_t value) {
  const std::uint8_t old = readDeviceConfig();
  writeDeviceConfig(old & 0xF3);  // 8-bit bus for the byte-wide sequence
  ChipAddress a;
  a.mode = kControlMode;
  a.column = 0;
  a.columnOffset = 0;
  a.row = kIdentificationRow;
  const std::size_t length = std::strlen(chipIdentification);
  for (std::size_t i = 0; i < length; ++i) {
    writeChip(a.value(), static_cast<unsigned char>(chipIdentification[i]));
    a.row = (a.row + 1) & 0x3f;  // wraps within the row, never carries
  }
  writeChip(a.value(), value);
  writeDeviceConfig(old);
}

std::uint8_t Board::readIdentification() {
  return static_cast<std::uint8_t>(readChip(kIdentificationByte) & 0xFF);
}

std::uint8_t Board::probeIdentification() {
  for (unsigned v = 0; v < 255; ++v) {
    const auto candidate = static_cast<std::uint8_t>(v);
    writeIdentification(candidate);
    if (readIdentification() == candidate) return candidate;
  }
  return 255;  // no value was echoed
}
