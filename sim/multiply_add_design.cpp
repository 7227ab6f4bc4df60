// Behavioural model of the multiply-add design (vontrel.bfx), written on the
// plug-in contract as a user writes a design.
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "sim/design.h"
#include "tv940/design.hpp"

namespace sim {
namespace {

constexpr std::uint32_t kOperandMask = 0x7FF;  // 11-bit operands
constexpr std::uint32_t kResultMask = kMultiplyAddResultMask;  // 23 bits

std::optional<MultiplyAddParameters> parametersOf(tv940::Parameters words) {
  MultiplyAddParameters p;
  if (words.size() != p.words().size()) return std::nullopt;
  p.status = words[0];
  p.droppedCarry = words[1];
  if (p.status > 0x1FF || (p.droppedCarry & ~kResultMask) != 0) {
    return std::nullopt;
  }
  return p;
}

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
class MultiplyAdd {
 public:
  static std::unique_ptr<MultiplyAdd> create(tv940::Parameters words) {
    const auto p = parametersOf(words);
    return p ? std::make_unique<MultiplyAdd>(*p) : nullptr;
  }
  explicit MultiplyAdd(const MultiplyAddParameters& p) : p_(p) {}

  void writeColumn(unsigned column, std::uint32_t value,
                   const tv940_chip_context& chip) {
    if (!chip.clock_running || column != kMultiplyAddOperandColumn) return;
    first_ = (first_ & ~chip.mask_c014) | (value & chip.mask_c014);
    second_ = (second_ & ~chip.mask_c010) | (value & chip.mask_c010);
    result_ = add(product(first_), product(second_), p_.droppedCarry);
  }

  std::uint32_t readColumn(unsigned column, const tv940_chip_context&) {
    return column == kMultiplyAddResultColumn ? (p_.status << 23 | result_) : 0;
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

// The result column's status pattern is the card's, not the design's.
constexpr auto kUnpredictable = [] {
  std::array<std::uint32_t, card::kColumnCount> masks{};
  masks[kMultiplyAddResultColumn] = ~kMultiplyAddResultMask;
  return masks;
}();

constexpr tv940_design kDesign = tv940::makeDesign<MultiplyAdd>(
    kMultiplyAddIdentification, "vontrel", kUnpredictable.data());

}  // namespace

const tv940_design& multiplyAddDesign() { return kDesign; }

std::string multiplyAddFault(const std::vector<std::uint32_t>& parameters) {
  const auto p = parametersOf({parameters.data(), parameters.size()});
  if (!p || p->droppedCarry == 0) return {};
  std::string bits;
  int count = 0;
  for (int bit = 0; bit < 23; ++bit) {
    if ((p->droppedCarry >> bit) & 1) {
      if (count++ != 0) bits += ' ';
      bits += std::to_string(bit);
    }
  }
  return std::string("adder drops the carry into ") +
         (count == 1 ? "bit " : "bits ") + bits;
}

std::unique_ptr<Design> makeMultiplyAddDesign(
    const std::vector<std::uint32_t>& parameters) {
  return makeContractDesign(multiplyAddDesign(), parameters,
                            multiplyAddFault(parameters));
}

}  // namespace sim
