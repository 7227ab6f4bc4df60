// The control ports at the card's I/O base.
#include "boardlib/board.h"

void Board::portOut(std::uint32_t offset, std::uint32_t value) {
  if (!open_) return;
  platform::portOut32(connection_, static_cast<std::uint16_t>(ioBase + offset),
                      value);
}

std::uint32_t Board::portIn(std::uint32_t offset) {
  if (!open_) return card::kFloatingBus;
  return platform::portIn32(connection_,
                            static_cast<std::uint16_t>(ioBase + offset));
}

void Board::writePort16One() { portOut(card::kPort16, 1); }
void Board::writePort16Two() { portOut(card::kPort16, 2); }
void Board::writePort24Zero() { portOut(card::kPort24, 0); }
void Board::writePort28Zero() { portOut(card::kPort28, 0); }
std::uint32_t Board::readPort32() { return portIn(card::kPort32); }

void Board::writePort36(std::uint8_t flag) {
  port36Flag = flag;
  const std::uint32_t low = port36Low;
  portOut(card::kPort36, flag != 0 ? (low | 0x100) : low);
}

std::uint8_t Board::readPort36() {
  return static_cast<std::uint8_t>(portIn(card::kPort36) & 0xFF);
}

void Board::writePort40(std::uint32_t value) { portOut(card::kPort40, value); }
void Board::writePort44(std::uint8_t value) {
  portOut(card::kPort44, value & 3u);
}

void Board::writePort44Bits(std::uint8_t bit0, std::uint8_t bit1) {
  portOut(card::kPort44, (bit0 != 0 ? 1u : 0u) | (bit1 != 0 ? 2u : 0u));
}

std::uint32_t Board::readPort48() { return portIn(card::kPort48); }
void Board::writePort48(std::uint32_t value) { portOut(card::kPort48, value); }
void Board::writePort52(std::uint32_t value) { portOut(card::kPort52, value); }
void Board::writePort56Zero() { portOut(card::kPort56, 0); }
void Board::writePort56One() { portOut(card::kPort56, 1); }

void Board::writePort60(std::int8_t value) {
  port60Shadow = static_cast<std::uint8_t>(value);
  // Sign-extended: 0x80 to 0xFF become 0xFFFFFF80 to 0xFFFFFFFF.
  portOut(card::kPort60,
          static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
}

void Board::writePort(std::uint32_t offset, std::uint32_t value) {
  portOut(offset, value);
}

std::uint32_t Board::readPort(std::uint32_t offset) { return portIn(offset); }

double Board::scaleByteReading(std::uint8_t reading) const {
  return static_cast<double>(reading) * 0.204 / 255 / 0.33 * 1000;
}
