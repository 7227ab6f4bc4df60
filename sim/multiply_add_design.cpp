// Behavioural model of the multiply-add design (vontrel.bfx).
#include <string>

#include "sim/design.h"

namespace sim {
namespace {

constexpr std::uint32_t kOperandMask = 0x7FF;  // 11-bit operands
constexpr std::uint32_t kResultMask = kMultiplyAddResultMask;  // 23 bits

// The two products meet in a ripple-carry adder; a faulty variant drops the
// carry into the sum bits set in droppedCarry.
std::uint32_t add(std::uint32_t a, std::uint32_t b,
                  std::uint32_t droppedCarry) {
  if (droppedCarry == 0) return (a + b) & kResultMask;  // the plain sum
  std::uint32_t sum = 0;
  std::uint32_t carry = 0;
  for (int bit = 0; bit < 23; ++bit) {
    if ((droppedCarry >> bit) & 1) carry = 0;
    const std::uint32_t x = (a >> bit) & 1;
    const std::uint32_t y = (b >> bit) & 1;
    sum |= (x ^ y ^ carry) << bit;
    carry = (x & y) | (x & carry) | (y & carry);
  }
  return sum;
}

// The operand words and the result register latch on the clock: without a
// running clock writes are lost and the result keeps its value.
class MultiplyAddDesign final : public Design {
 public:
  explicit MultiplyAddDesign(const MultiplyAddParameters& p) : p_(p) {}

  void writeColumn(unsigned column, std::uint32_t value,
                   const ChipContext& chip) override {
    if (!chip.clockRunning || column != kMultiplyAddOperandColumn) return;
    first_ = (first_ & ~chip.maskC014) | (value & chip.maskC014);
    second_ = (second_ & ~chip.maskC010) | (value & chip.maskC010);
    result_ = add(product(first_), product(second_), p_.droppedCarry);
  }

  std::uint32_t readColumn(unsigned column, const ChipContext&) override {
    return column == kMultiplyAddResultColumn ? (p_.status << 23 | result_) : 0;
  }

  std::string faultDescription() const override {
    if (p_.droppedCarry == 0) return {};
    std::string bits;
    int count = 0;
    for (int bit = 0; bit < 23; ++bit) {
      if ((p_.droppedCarry >> bit) & 1) {
        if (count++ != 0) bits += ' ';
        bits += std::to_string(bit);
      }
    }
    return std::string("adder drops the carry into ") +
           (count == 1 ? "bit " : "bits ") + bits;
  }

 private:
  static std::uint32_t product(std::uint32_t word) {
    return (word & kOperandMask) * ((word >> 16) & kOperandMask);
  }

  MultiplyAddParameters p_;
  std::uint32_t first_ = 0;
  std::uint32_t second_ = 0;
  std::uint32_t result_ = 0;
};

}  // namespace

std::unique_ptr<Design> makeMultiplyAddDesign(
    const std::vector<std::uint32_t>& parameters) {
  MultiplyAddParameters p;
  if (parameters.size() != p.words().size()) return nullptr;
  p.status = parameters[0];
  p.droppedCarry = parameters[1];
  if (p.status > 0x1FF || (p.droppedCarry & ~kResultMask) != 0) return nullptr;
  return std::make_unique<MultiplyAddDesign>(p);
}

}  // namespace sim
