// The device model a trace is replayed into.
#include "tools/tv940-trace/card_model.h"

#include <new>

#include "card/card_map.h"
#include "sim/design.h"

namespace trace {
namespace {

constexpr std::uint32_t kWordsBelowChip = card::kChipBase / 4;

std::uint32_t* zeroedBelowChip() {
  void* words = std::calloc(kWordsBelowChip, sizeof(std::uint32_t));
  if (words == nullptr) throw std::bad_alloc();
  return static_cast<std::uint32_t*>(words);
}

bool belowChip(std::uint32_t offset) {
  return offset < card::kChipBase && offset % 4 == 0;
}

bool isPort(std::uint32_t offset) {
  return offset < card::kPortSpan && offset % 4 == 0;
}

}  // namespace

CardModel::CardModel(std::uint32_t ioBase)
    : ioBase_(ioBase), below_(zeroedBelowChip()) {
  chip_.setDesignVariant(sim::DesignVariant::AsIntended);
  chip_.onRecognised([this](const std::string& name) {
    design_ = name;
    const sim::DesignEntry* entry = sim::findDesign(identification());
    status_ = entry != nullptr ? entry->status : std::vector<sim::StatusBits>{};
  });
}

void CardModel::take(const Event& e) {
  switch (e.kind) {
    case Kind::PortOut:
      if (portOffset(e) == card::kClockPort) {
        clock_.portWrite(e.value);
        chip_.setClockRunning(clock_.running());
      }
      break;
    case Kind::WindowWrite:
    case Kind::DriverWrite:
      writeWindow(e);
      break;
    default:
      break;  // requests carry no chip data; reads are answered
  }
}

void CardModel::writeWindow(const Event& e) {
  if (!e.inChip) {
    if (belowChip(e.where)) below_[e.where / 4] = e.value;
    return;  // outside the window a write reaches nothing
  }
  const auto address = static_cast<std::uint16_t>(e.where);
  if (address >= card::kConfigurationBase &&
      address < card::kConfigurationEnd) {
    ++configurationWrites_;
    identificationWritten_ |= address == card::kConfigurationBase;
  }
  chip_.write(address, e.value);
}

std::uint32_t CardModel::answer(const Event& e) {
  if (e.kind == Kind::PortIn) {
    // The simulated card's port inputs stay 0 unless a test sets them.
    return isPort(portOffset(e)) ? 0 : card::kFloatingBus;
  }
  return readWindow(e);
}

std::uint32_t CardModel::readWindow(const Event& e) {
  if (!e.inChip) {
    return belowChip(e.where) ? below_[e.where / 4] : card::kFloatingBus;
  }
  return chip_.read(static_cast<std::uint16_t>(e.where));
}

std::uint32_t CardModel::statusBits(const Event& e) {
  if (e.kind == Kind::PortIn) {
    return portOffset(e) == card::kStatusPort ? 0xFFFFFFFFu : 0;
  }
  if (!e.inChip || !card::isColumnRegister(e.where)) return 0;
  if (chip_.activeDesign().empty()) return 0;
  const unsigned column = card::columnOf(e.where);
  for (const sim::StatusBits& s : status_) {
    if (s.column == column) return s.bits;
  }
  return 0;
}

}  // namespace trace
