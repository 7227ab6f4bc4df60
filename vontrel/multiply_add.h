// The multiply-add test: its software model and its board loop, both
// writing vontrel.out's format.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "boardlib/board.h"
#include "sim/design.h"

namespace vontrel {

constexpr int kVectors = 1000;  // result lines per run

// Column registers of the multiply-add design.
// Takes both operand words.
constexpr std::int32_t kOperandColumn = sim::kMultiplyAddOperandColumn;
// Low 23 bits (kResultMask): the result.
constexpr std::int32_t kResultColumn = sim::kMultiplyAddResultColumn;
constexpr std::uint32_t kResultMask = sim::kMultiplyAddResultMask;

// One iteration's operands, each 0 to 2047.
struct Operands {
  std::int32_t x1, x2, y1, y2;
};

// Four draws reduced to 11 bits, in the order x1, x2, y1, y2.
Operands drawOperands();

// "x1*y1 + x2*y2 = result" in decimal, then the line end; the line goes to
// the stream in one piece and is flushed at once.
void writeResultLine(std::ostream& out, const Operands& operands,
                     std::uint32_t result);

// Each writes the whole file, running to its end even after a failed
// write, and returns whether every write succeeded.
bool writeSoftwareModel(std::ostream& out);
bool runBoardLoop(Board& board, std::ostream& out);

}  // namespace vontrel
