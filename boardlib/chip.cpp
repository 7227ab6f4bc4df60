// The chip's address space: the mapped window, driver-mediated words, column
// and control registers, and the identification sequence.
#include <cstdint>
#include <cstring>

#include "boardlib/board.h"

const char* const chipIdentification = "Tavrek TV9400  ";

namespace {

using card::kControlC004;
using card::kControlC005;
using card::kControlC008;
using card::kDeviceConfig;
using card::kIdentificationByte;
using card::kMaskC010;
using card::kMaskC014;
using card::windowOffset;

std::uint32_t columnRegister(std::int32_t column) {
  return card::columnRegister(static_cast<std::uint32_t>(column));
}

// The driver takes a window offset in place of its out-buffer pointer.
void* offsetArgument(std::uint32_t offset) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(offset));
}

}  // namespace

// The window of this Board's connection; none (so that an access reaches
// nothing) while it is not open, as a later connection may be handed the
// same range.
std::uint8_t* Board::window() const { return open_ ? chipWindow : nullptr; }

void Board::writeChip(std::uint32_t address, std::uint32_t value) {
  platform::windowWrite32(connection_, window(), windowOffset(address), value);
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
  return platform::windowRead32(connection_, window(), offset);
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
  platform::windowWriteBlock32(connection_, window(), offset, source, count);
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
  // -9 also for a Board that is not open: it has no driver connection, and
  // nothing is read or sent.
  if (!open_) return -9;
  // The width field is bits 2-3 of the device configuration register; the
  // register is read first, whatever the width asked for.
  const std::uint8_t value = readDeviceConfig();
  const std::int32_t field = card::busWidthField(width);
  if (field < 0) return -9;
  writeDeviceConfigViaDriver(static_cast<std::uint8_t>(
      (value & ~card::kBusWidthMask) | static_cast<std::uint32_t>(field)));
  return 0;
}

std::int32_t Board::getBusWidth() {
  const std::int32_t width = card::busWidthOf(readDeviceConfig());
  return width != 0 ? width : -9;
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
  // An 8-bit bus for the byte-wide sequence.
  writeDeviceConfig(static_cast<std::uint8_t>((old & ~card::kBusWidthMask) |
                                              card::kBusWidth8));
  ChipAddress a;
  a.mode = card::kControlMode;
  a.column = 0;
  a.columnOffset = 0;
  a.row = card::kIdentificationRow;
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
