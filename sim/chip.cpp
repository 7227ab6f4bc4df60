// The chip's registers and the design a loaded configuration holds.
#include "sim/chip.h"

#include <new>
#include <optional>

#include "card/card_map.h"

namespace sim {
namespace {

// Registers the library treats as 8 bits wide keep only their low byte.
bool isByteRegister(std::uint16_t address) {
  return address == card::kDeviceConfig || address == card::kControlC004 ||
         address == card::kControlC005 ||
         (address >= card::kIdentificationFirst &&
          address <= card::kIdentificationByte);
}

bool isConfiguration(std::uint16_t address) {
  return address >= card::kConfigurationBase &&
         address < card::kConfigurationEnd;
}

// What a transfer of the given bus width carries of a word.
std::uint32_t widthMask(int width) {
  return width == 8 ? 0xFFu : width == 16 ? 0xFFFFu : 0xFFFFFFFFu;
}

std::uint32_t* zeroedWords() {
  void* words = std::calloc(card::kChipAddressLimit, sizeof(std::uint32_t));
  if (words == nullptr) throw std::bad_alloc();
  return static_cast<std::uint32_t*>(words);
}

}  // namespace

Chip::Chip() : words_(zeroedWords()) {}

Chip::~Chip() = default;

int Chip::busWidth() const {
  return card::busWidthOf(words_[card::kDeviceConfig]);
}

std::uint32_t Chip::read(std::uint16_t address) {
  if (card::isColumnRegister(address)) return readColumn(address);
  if (address == card::kIdentificationByte && !echo_) {
    return ~words_[address] & 0xFF;  // never what was written
  }
  return words_[address];
}

void Chip::write(std::uint16_t address, std::uint32_t value) {
  if (card::isColumnRegister(address)) {
    writeColumn(address, value);
    return;
  }
  if (isByteRegister(address)) value &= 0xFF;
  words_[address] = value;
  if (isConfiguration(address)) configurationChanged_ = true;
}

// A column register without a design is plain storage; an invalid bus width
// carries nothing either way.
std::uint32_t Chip::readColumn(std::uint16_t address) {
  recogniseIfChanged();
  const int width = busWidth();
  if (width == 0) return 0;
  if (design_ == nullptr) return words_[address] & widthMask(width);
  const std::uint32_t value =
      design_->readColumn(card::columnOf(address), context());
  pollInterrupt();
  return value & widthMask(width);
}

void Chip::writeColumn(std::uint16_t address, std::uint32_t value) {
  const int width = busWidth();
  value &= widthMask(width);
  if (width != 0) words_[address] = value;
  recogniseIfChanged();
  if (design_ != nullptr && width != 0) {
    design_->writeColumn(card::columnOf(address), value, context());
    pollInterrupt();
  }
}

void Chip::pollInterrupt() {
  const std::uint32_t word = design_->interrupt();
  if (word != 0 && interrupted_) interrupted_(word);
}

const std::string& Chip::activeDesign() const {
  recogniseIfChanged();
  return designName_;
}

// After the configuration changed, the design it holds (if any) starts
// afresh, as the array does when it is configured again.
void Chip::recognise() const {
  configurationChanged_ = false;
  design_.reset();
  designName_.clear();
  designStatus_.clear();
  std::optional<RecognisedDesign> found = recogniseDesign(
      [this](std::uint16_t address) { return words_[address]; }, variant_);
  if (!found || found->design == nullptr) return;
  design_ = std::move(found->design);
  designName_ = std::move(found->name);
  designStatus_ = std::move(found->status);
  if (recognised_) recognised_(designName_);
}

ChipContext Chip::context() const {
  return ChipContext{words_[card::kMaskC010], words_[card::kMaskC014],
                     clockRunning_};
}

}  // namespace sim
