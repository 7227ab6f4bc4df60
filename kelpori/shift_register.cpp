#include "kelpori/shift_register.h"

#include <cstddef>
#include <ostream>

#include "card/hex.h"

namespace kelpori {

namespace {

// The next test vector: the product of two draws, as a 32-bit integer.
std::uint32_t drawVector() {
  std::uint32_t first = static_cast<std::uint32_t>(testRandom());
  std::uint32_t second = static_cast<std::uint32_t>(testRandom());
  return first * second;
}

// "SR: Ox", 4 + 8 hex digits, '\n'.
constexpr std::size_t kPrefixLength = 6;
constexpr std::size_t kLineLength = kPrefixLength + 4 + 8 + 1;

// The empty line that closes every vector's block.
void endBlock(std::ostream& out) { out.put('\n').flush(); }

}  // namespace

void writeStateLine(std::ostream& out, std::uint16_t capture,
                    std::uint32_t shift) {
  // The whole line in one piece, so that the flush writes it at once.
  char line[kLineLength] = {'S', 'R', ':', ' ', 'O', 'x'};
  card::putHex(line + kPrefixLength, capture, 4);
  card::putHex(line + kPrefixLength + 4, shift, 8);
  line[kLineLength - 1] = '\n';
  out.write(line, kLineLength).flush();
}

bool writeSoftwareModel(std::ostream& out) {
  for (int vector = 0; vector < kVectors; ++vector) {
    std::uint32_t shift = drawVector();
    std::uint16_t capture = 0;
    for (int step = 0; step < kSteps; ++step) {
      // The capture register takes the bit that leaves the shift register;
      // a one enters the shift register at bit 0.
      capture = static_cast<std::uint16_t>((capture << 1) | (shift >> 31));
      shift = (shift << 1) | 1u;
      writeStateLine(out, capture, shift);
    }
    endBlock(out);
  }
  return static_cast<bool>(out);
}

bool runBoardLoop(Board& board, std::ostream& out) {
  board.setMasks(0, 0xFFFFFFFF);
  for (int vector = 0; vector < kVectors; ++vector) {
    std::uint32_t value = drawVector();
    board.writeUserRegister(kLoadColumn, 1);
    board.writeUserRegister(kVectorColumn, value);
    board.writeUserRegister(kLoadColumn, 0);
    for (int step = 0; step < kSteps; ++step) {
      // The design expects the read of column 2 before each pair of
      // readings, although its value is not used.
      board.readUserRegister(kVectorColumn);
      std::uint32_t shift = board.readUserRegister(kShiftColumn);
      std::uint16_t capture = static_cast<std::uint16_t>(
          board.readUserRegister(kCaptureColumn) & 0xFFFF);
      writeStateLine(out, capture, shift);
    }
    endBlock(out);
  }
  return static_cast<bool>(out);
}

}  // namespace kelpori
