#include "vontrel/multiply_add.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <ostream>
#include <string_view>

namespace vontrel {

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

// Room for any line: four operands and the result at their longest
// decimal (sign included), the separators "*", " + ", "*", " = " and '\n'.
constexpr std::size_t kLineCapacity =
    4 * (std::numeric_limits<std::int32_t>::digits10 + 2) +
    std::numeric_limits<std::uint32_t>::digits10 + 1 + 9;

// Puts `value` in decimal at `at`, then `separator`; returns the end, or
// nullptr when `at` is nullptr or the two do not fit before `end`.
template <typename Integer>
char* putField(char* at, char* end, Integer value, std::string_view separator) {
  if (at == nullptr) return nullptr;
  const std::to_chars_result field = std::to_chars(at, end, value);
  if (field.ec != std::errc{} ||
      static_cast<std::size_t>(end - field.ptr) < separator.size())
    return nullptr;
  return std::copy(separator.begin(), separator.end(), field.ptr);
}

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
  // The whole line in one piece, so that the flush writes it at once.
  char line[kLineCapacity];
  char* const end = line + kLineCapacity;
  char* at = putField(line, end, o.x1, "*");
  at = putField(at, end, o.y1, " + ");
  at = putField(at, end, o.x2, "*");
  at = putField(at, end, o.y2, " = ");
  at = putField(at, end, result, "\n");
  if (at == nullptr) {
    // Cannot happen with the capacity above; a line cut short would be
    // worse than a failed stream, which the program reports.
    out.setstate(std::ios::badbit);
    return;
  }
  out.write(line, at - line).flush();
}

bool writeSoftwareModel(std::ostream& out) {
  for (int i = 0; i < kVectors; ++i) {
    Operands o = drawOperands();
    std::int32_t result = o.x1 * o.y1 + o.x2 * o.y2;
    writeResultLine(out, o, static_cast<std::uint32_t>(result));
  }
  return static_cast<bool>(out);
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
  }
  return static_cast<bool>(out);
}

}  // namespace vontrel
