// The designs a trace brings to life, recognised as the device model does.
#include "tools/tv940-trace/design_track.h"

#include <algorithm>
#include <cstdio>

#include "card/card_map.h"
#include "sim/design.h"

namespace trace {

DesignTrack::DesignTrack()
    : words_(card::kConfigurationEnd - card::kConfigurationBase, 0) {}

void DesignTrack::reset() {
  std::fill(words_.begin(), words_.end(), 0);
  changed_ = false;
  current_.clear();
}

void DesignTrack::chipWrite(std::uint16_t address, std::uint32_t value) {
  if (address < card::kConfigurationBase || address >= card::kConfigurationEnd)
    return;
  words_[address - card::kConfigurationBase] = value;
  changed_ = true;
}

std::optional<DesignTrack::Change> DesignTrack::recognise(std::size_t line) {
  if (!changed_) return std::nullopt;
  changed_ = false;
  const auto word = [this](std::uint16_t address) -> std::uint32_t {
    if (address < card::kConfigurationBase ||
        address >= card::kConfigurationEnd)
      return 0;
    return words_[address - card::kConfigurationBase];
  };
  // As the device model runs it: every known design as intended.
  const auto found = sim::recogniseDesign(word, sim::DesignVariant::AsIntended);
  current_ = found && found->design != nullptr ? found->name : "";
  return Change{line, current_, word(card::kConfigurationBase)};
}

std::string designList(const std::vector<DesignTrack::Change>& changes) {
  std::string text;
  for (const DesignTrack::Change& c : changes) {
    if (!text.empty()) text += ", ";
    if (c.name.empty()) {
      char id[16];
      std::snprintf(id, sizeof id, "0x%08x", unsigned(c.identification));
      text += std::string(
                  "a design the model does not know (identification "
                  "word ") +
              id + ")";
    } else {
      text += c.name;
    }
    text += " (line " + std::to_string(c.line) + ")";
  }
  return text;
}

}  // namespace trace
