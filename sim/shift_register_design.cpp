// Behavioural model of the shift-register design (kelpori.bfx).
#include <string>

#include "card/hex.h"
#include "sim/design.h"

namespace sim {
namespace {

// Registers only latch on a clock edge: without a running clock writes are
// lost and reads of column 2 do not step. Column writes are bitwise enabled
// by mask 0xC014, like every operand register of this chip.
class ShiftRegisterDesign final : public Design {
 public:
  explicit ShiftRegisterDesign(const ShiftRegisterParameters& p) : p_(p) {}

  void writeColumn(unsigned column, std::uint32_t value,
                   const ChipContext& chip) override {
    if (!chip.clockRunning) return;
    auto merge = [&](std::uint32_t old) {
      return (old & ~chip.maskC014) | (value & chip.maskC014);
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

  std::uint32_t readColumn(unsigned column, const ChipContext& chip) override {
    switch (column) {
      case kShiftRegisterShiftColumn:
        return shift_;
      case kShiftRegisterLoadColumn:
        return control_;
      case kShiftRegisterVectorColumn:
        if (chip.clockRunning) step();
        return input_;
      case kShiftRegisterCaptureColumn:
        return p_.status << kShiftRegisterStatusShift | capture_;
      default:
        return 0;
    }
  }

  std::string faultDescription() const override {
    std::string fault;
    auto add = [&](const std::string& text) {
      if (!fault.empty()) fault += ", ";
      fault += text;
    };
    if (p_.stuckAtZero != 0)
      add("shift bits 0x" + card::hexText(p_.stuckAtZero) + " stuck at 0");
    if (p_.stuckAtOne != 0)
      add("shift bits 0x" + card::hexText(p_.stuckAtOne) + " stuck at 1");
    if (p_.captureTap != 31)
      add("capture taps bit " + std::to_string(p_.captureTap));
    return fault;
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

}  // namespace

std::unique_ptr<Design> makeShiftRegisterDesign(
    const std::vector<std::uint32_t>& parameters) {
  ShiftRegisterParameters p;
  if (parameters.size() != p.words().size()) return nullptr;
  p.status = parameters[0];
  p.stuckAtZero = parameters[1];
  p.stuckAtOne = parameters[2];
  p.captureTap = parameters[3];
  if (p.status > 0xFFFF || p.captureTap > 31 ||
      (p.stuckAtZero & p.stuckAtOne) != 0) {
    return nullptr;
  }
  return std::make_unique<ShiftRegisterDesign>(p);
}

}  // namespace sim
