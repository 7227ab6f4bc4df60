// The checker's view of the device model.
#include "tools/tv940-trace/card_model.h"

#include "card/card_map.h"
#include "sim/design.h"

namespace trace {

CardModel::CardModel(std::uint32_t ioBase)
    : ioBase_(ioBase),
      card_(
          sim::CardModel::blockWithIoBase(static_cast<std::uint16_t>(ioBase))) {
  sim::Chip& chip = card_.chip();
  chip.setDesignVariant(sim::DesignVariant::AsIntended);
  chip.onRecognised([this](const std::string& name) { design_ = name; });
}

void CardModel::take(const Event& e) {
  switch (e.kind) {
    case Kind::PortOut:
      card_.portOut(static_cast<std::uint16_t>(e.where), e.value);
      break;
    case Kind::WindowWrite:
    case Kind::DriverWrite:
      if (e.inChip && e.where >= card::kConfigurationBase &&
          e.where < card::kConfigurationEnd) {
        ++configurationWrites_;
        identificationWritten_ |= e.where == card::kConfigurationBase;
      }
      card_.windowWrite(offsetOf(e), e.value, e.kind);
      break;
    default:
      break;  // requests carry no chip data; reads are answered
  }
}

std::uint32_t CardModel::answer(const Event& e) {
  if (e.kind == Kind::PortIn) {
    return card_.portIn(static_cast<std::uint16_t>(e.where));
  }
  return card_.windowRead(offsetOf(e), e.kind);
}

std::uint32_t CardModel::statusBits(const Event& e) {
  if (e.kind == Kind::PortIn) {
    return portOffset(e) == card::kStatusPort ? 0xFFFFFFFFu : 0;
  }
  if (!e.inChip || !card::isColumnRegister(e.where)) return 0;
  const unsigned column = card::columnOf(e.where);
  for (const sim::StatusBits& s : card_.chip().designStatus()) {
    if (s.column == column) return s.bits;
  }
  return 0;
}

}  // namespace trace
