// Event lines and register names.
#include "tools/tv940-trace/event_text.h"

#include "card/card_map.h"
#include "card/hex.h"

namespace trace {
namespace {

std::string chipRegisterName(std::uint16_t address) {
  if (card::isColumnRegister(address)) {
    return "column " + std::to_string(card::columnOf(address));
  }
  if (address >= card::kConfigurationBase &&
      address < card::kConfigurationEnd) {
    return "configuration";
  }
  switch (address) {
    case card::kDeviceConfig:
      return "device configuration";
    case card::kControlC004:
    case card::kControlC005:
    case card::kControlC008:
      return "control";
    case card::kMaskC010:
    case card::kMaskC014:
      return "mask";
    case card::kIdentificationByte:
      return "identification echo";
    default:
      break;
  }
  if (address >= card::kIdentificationFirst &&
      address < card::kIdentificationByte) {
    return "identification";
  }
  return {};
}

}  // namespace

std::string kindName(Kind kind) {
  card::trace::Event e;
  e.kind = kind;
  const std::string line = card::trace::format(e);
  return line.substr(0, line.find(' '));
}

std::string eventText(const Event& event) { return card::trace::format(event); }

std::string accessName(const Event& e, std::uint32_t portOffset) {
  if (e.kind == Kind::PortOut || e.kind == Kind::PortIn) {
    if (portOffset >= card::kPortSpan) return "outside the card's ports";
    std::string name = "port " + std::to_string(portOffset);
    return portOffset == card::kStatusPort ? name + ", status" : name;
  }
  if (!e.isWindowAccess()) return {};
  if (e.inChip) return chipRegisterName(static_cast<std::uint16_t>(e.where));
  return e.where < card::kChipBase && e.where % 4 == 0 ? "below the chip"
                                                       : "outside the window";
}

std::string bitList(std::uint32_t bits) {
  std::string list;
  int count = 0;
  for (int bit = 0; bit < 32; ++bit) {
    if (((bits >> bit) & 1) == 0) continue;
    int last = bit;
    while (last < 31 && ((bits >> (last + 1)) & 1) != 0) ++last;
    if (count != 0) list += ", ";
    list += std::to_string(bit);
    if (last > bit) list.append("-").append(std::to_string(last));
    count += last - bit + 1;
    bit = last;
  }
  return std::string(count == 1 ? "bit " : "bits ").append(list);
}

}  // namespace trace
