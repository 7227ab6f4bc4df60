#include "vontrel/multiply_add.h"

#include <ostream>

namespace vontrel {

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

// One operand word: the first-drawn operand of the pair in bits 0-10, the
// other in bits 16-26.
std::uint32_t operandWord(std::int32_t low, std::int32_t high) {
  return (static_cast<std::uint32_t>(high) << 16) +
         static_cast<std::uint32_t>(low);
}

}  // namespace

Operands drawOperands() {
  Operands o;
  o.x1 = testRandom() % 2048;
  o.x2 = testRandom() % 2048;
  o.y1 = testRandom() % 2048;
  o.y2 = testRandom() % 2048;
  return o;
}

void writeResultLine(std::ostream& out, const Operands& o,
                     std::uint32_t result) {
  out << o.x1 << '*' << o.y1 << " + " << o.x2 << '*' << o.y2 << " = " << result
      << '\n'
      << std::flush;
}

bool writeSoftwareModel(std::ostream& out) {
  for (int i = 0; i < kVectors; ++i) {
    Operands o = drawOperands();
    std::int32_t result = o.x1 * o.y1 + o.x2 * o.y2;
    writeResultLine(out, o, static_cast<std::uint32_t>(result));
    if (!out) return false;
  }
  return true;
}

bool runBoardLoop(Board& board, std::ostream& out) {
  for (int i = 0; i < kVectors; ++i) {
    Operands o = drawOperands();
    // Both words go to the same column; the masks in force tell the design
    // which product's operands it receives.
    board.setMasks(0, kAllOnes);
    board.writeUserRegister(kOperandColumn, operandWord(o.x1, o.y1));
    board.setMasks(kAllOnes, 0);
    board.writeUserRegister(kOperandColumn, operandWord(o.x2, o.y2));
    board.setMasks(0, kAllOnes);
    std::uint32_t result = board.readUserRegister(kResultColumn) & kResultMask;
    writeResultLine(out, o, result);
    if (!out) return false;
  }
  return true;
}

}  // namespace vontrel
