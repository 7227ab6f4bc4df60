// Behavioural model of the shift-register design (kelpori.bfx), written on
// the plug-in contract as a user writes a design.
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "card/hex.h"
#include "sim/design.h"
#include "tv940/design.hpp"

namespace sim {
namespace {

// The parameters when the words describe a design this model runs.
std::optional<ShiftRegisterParameters> parametersOf(tv940::Parameters words) {
  ShiftRegisterParameters p;
  if (words.size() != p.words().size()) return std::nullopt;
  p.status = words[0];
  p.stuckAtZero = words[1];
  p.stuckAtOne = words[2];
  p.captureTap = words[3];
  if (p.status > 0xFFFF || p.captureTap > 31 ||
      (p.stuckAtZero & p.stuckAtOne) != 0) {
    return std::nullopt;
  }
  return p;
}

// Registers only latch on a clock edge: without a running clock writes are
// lost and reads of column 2 do not step. Column writes are bitwise enabled
// by mask 0xC014, like every operand register of this chip.
class ShiftRegister {
 public:
  static std::unique_ptr<ShiftRegister> create(tv940::Parameters words) {
    const auto p = parametersOf(words);
    return p ? std::make_unique<ShiftRegister>(*p) : nullptr;
  }
  explicit ShiftRegister(const ShiftRegisterParameters& p) : p_(p) {}

  void writeColumn(unsigned column, std::uint32_t value,
                   const tv940_chip_context& chip) {
    if (!chip.clock_running) return;
    auto merge = [&](std::uint32_t old) {
      return (old & ~chip.mask_c014) | (value & chip.mask_c014);
    };
    switch (column) {
      case kShiftRegisterLoadColumn: {
        const std::uint32_t before = control_;
        control_ = merge(control_);
        if ((before & 1) != 0 && (control_ & 1) == 0) {
          shift_ = hold(input_);
          capture_ = 0;
        }
        break;
      }
      case kShiftRegisterVectorColumn:
        input_ = merge(input_);
        break;
      default:
        break;  // no register behind the other columns
    }
  }

  std::uint32_t readColumn(unsigned column, const tv940_chip_context& chip) {
    switch (column) {
      case kShiftRegisterShiftColumn:
        return shift_;
      case kShiftRegisterLoadColumn:
        return control_;
      case kShiftRegisterVectorColumn:
        if (chip.clock_running) step();
        return input_;
      case kShiftRegisterCaptureColumn:
        return p_.status << kShiftRegisterStatusShift | capture_;
      default:
        return 0;
    }
  }

 private:
  std::uint32_t hold(std::uint32_t value) const {
    return (value | p_.stuckAtOne) & ~p_.stuckAtZero;
  }

  void step() {
    capture_ = ((capture_ << 1) | ((shift_ >> p_.captureTap) & 1)) &
               kShiftRegisterCaptureMask;
    shift_ = hold(shift_ << 1 | 1);
  }

  ShiftRegisterParameters p_;
  std::uint32_t control_ = 0;
  std::uint32_t input_ = 0;
  std::uint32_t shift_ = 0;
  std::uint32_t capture_ = 0;
};

// Column 8's status pattern is the card's, not the design's.
constexpr auto kUnpredictable = [] {
  std::array<std::uint32_t, card::kColumnCount> masks{};
  masks[kShiftRegisterCaptureColumn] = ~kShiftRegisterCaptureMask;
  return masks;
}();

constexpr tv940_design kDesign = tv940::makeDesign<ShiftRegister>(
    kShiftRegisterIdentification, "kelpori", kUnpredictable.data());

}  // namespace

const tv940_design& shiftRegisterDesign() { return kDesign; }

std::string shiftRegisterFault(const std::vector<std::uint32_t>& parameters) {
  const auto p = parametersOf({parameters.data(), parameters.size()});
  if (!p) return {};
  std::string fault;
  auto add = [&](const std::string& text) {
    if (!fault.empty()) fault += ", ";
    fault += text;
  };
  if (p->stuckAtZero != 0)
    add("shift bits 0x" + card::hexText(p->stuckAtZero) + " stuck at 0");
  if (p->stuckAtOne != 0)
    add("shift bits 0x" + card::hexText(p->stuckAtOne) + " stuck at 1");
  if (p->captureTap != 31)
    add("capture taps bit " + std::to_string(p->captureTap));
  return fault;
}

std::unique_ptr<Design> makeShiftRegisterDesign(
    const std::vector<std::uint32_t>& parameters) {
  return makeContractDesign(shiftRegisterDesign(), parameters,
                            shiftRegisterFault(parameters));
}

}  // namespace sim
