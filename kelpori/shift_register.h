// The shift-register test: its software model and its board loop, both
// writing kelpori.out's format.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "boardlib/board.h"
#include "sim/design.h"

namespace kelpori {

constexpr int kVectors = 1000;  // test vectors per run
constexpr int kSteps = 48;      // state lines per vector

// Column registers of the shift-register design.
// Reads the shift register.
constexpr std::int32_t kShiftColumn = sim::kShiftRegisterShiftColumn;
// 1 while a vector is loaded.
constexpr std::int32_t kLoadColumn = sim::kShiftRegisterLoadColumn;
// Takes the vector; read once per step.
constexpr std::int32_t kVectorColumn = sim::kShiftRegisterVectorColumn;
// Low 16 bits: the capture register.
constexpr std::int32_t kCaptureColumn = sim::kShiftRegisterCaptureColumn;

// "SR: Ox" + capture as 4 and shift as 8 lower-case hex digits, then the
// line end; the line goes to the stream in one piece and is flushed at once.
void writeStateLine(std::ostream& out, std::uint16_t capture,
                    std::uint32_t shift);

// Each writes the whole file, running to its end even after a failed
// write, and returns whether every write succeeded.
bool writeSoftwareModel(std::ostream& out);
bool runBoardLoop(Board& board, std::ostream& out);

}  // namespace kelpori
