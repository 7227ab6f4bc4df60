// The card's wiring: ports, clock decoder, window, chip and interrupt.
#include "sim/card_model.h"

#include "card/bytes.h"

namespace sim {

CardModel::CardModel(const ConfigBlock& block)
    : config_(block),
      ioBase_(static_cast<std::uint16_t>(
          card::loadLe32(&block[card::kBaseAddress1]) & card::kIoDecodeMask)) {
  // A design's interrupt is raised once its access is recorded.
  chip_.onInterrupt([this](std::uint32_t word) { pendingInterrupt_ = word; });
}

CardModel::~CardModel() = default;

ConfigBlock CardModel::blockWithIoBase(std::uint16_t ioBase) {
  ConfigBlock block{};
  card::storeLe32(&block[card::kBaseAddress1],
                  std::uint32_t{ioBase} | card::kIoSpaceIndicator);
  return block;
}

void CardModel::portOut(std::uint16_t port, std::uint32_t value) {
  record({EventKind::PortOut, port, value, false});
  const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
  if (!isPort(offset)) return;  // reaches nothing, as on a bus
  outputs_[offset / 4] = value;
  if (offset == card::kClockPort) {
    clock_.portWrite(value);
    chip_.setClockRunning(clock_.running());
  }
}

std::uint32_t CardModel::portIn(std::uint16_t port) {
  const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
  const std::uint32_t value =
      isPort(offset) ? inputs_[offset / 4] : card::kFloatingBus;
  record({EventKind::PortIn, port, value, false});
  return value;
}

void CardModel::setPortInput(std::uint16_t offset, std::uint32_t value) {
  if (isPort(offset)) inputs_[offset / 4] = value;
}

std::uint32_t CardModel::lastPortOutput(std::uint16_t offset) const {
  return isPort(offset) ? outputs_[offset / 4] : 0;
}

std::uint32_t CardModel::windowRead(std::uint32_t offset, EventKind kind) {
  if (card::isChipOffset(offset)) {
    const auto address =
        static_cast<std::uint16_t>(card::chipAddressOf(offset));
    const std::uint32_t value = chip_.read(address);
    record({kind, address, value, true});
    raisePending();
    return value;
  }
  const std::uint32_t value =
      inWindow(offset, 1) ? belowChip(offset) : card::kFloatingBus;
  record({kind, offset, value, false});
  return value;
}

void CardModel::windowWrite(std::uint32_t offset, std::uint32_t value,
                            EventKind kind) {
  if (card::isChipOffset(offset)) {
    const auto address =
        static_cast<std::uint16_t>(card::chipAddressOf(offset));
    record({kind, address, value, true});
    chip_.write(address, value);
    raisePending();
    return;
  }
  record({kind, offset, value, false});
  if (inWindow(offset, 1)) setBelowChip(offset, value);
}

std::uint32_t CardModel::belowChip(std::uint32_t offset) const {
  const std::uint32_t word = offset / 4;
  const auto& page = below_[word / kPageWords];
  return page != nullptr ? page[word % kPageWords] : 0;
}

void CardModel::setBelowChip(std::uint32_t offset, std::uint32_t value) {
  const std::uint32_t word = offset / 4;
  auto& page = below_[word / kPageWords];
  if (page == nullptr) {
    if (value == 0) return;  // reads 0 already
    page.reset(new std::uint32_t[kPageWords]());
  }
  page[word % kPageWords] = value;
}

void CardModel::raisePending() {
  if (pendingInterrupt_ == 0) return;
  const std::uint32_t word = pendingInterrupt_;
  pendingInterrupt_ = 0;
  raiseInterrupt(word);
}

void CardModel::raiseInterrupt(std::uint32_t word) {
  interruptWord_ = word;
  record({EventKind::Interrupt, 0, word, false});
  if (interrupted_) interrupted_(word);
}

}  // namespace sim
