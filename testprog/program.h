// The frame of both test programs: the mode switch, the board's bring-up
// sequence, the output file and the exit status.
#pragma once

#include <iosfwd>

#include "boardlib/board.h"
#include "sim/design.h"

namespace testprog {

// The program's one Board: main creates it on the heap at start, and it is
// never closed or destroyed; the end of the process releases the connection.
// Kept here, where it stays reachable to the end.
extern Board* board;

// Exit statuses of both programs.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;

// The chip clock the bring-up programs, from the card's reference (MHz).
constexpr float kReferenceMHz = card::kClockReferenceMHz;
constexpr float kClockMHz = sim::kDesignClockMHz;

// One test program. The test loops write their lines to `out` and run to
// their end even after a write has failed, so that the card sees the whole
// test; they return whether every write succeeded.
struct Program {
  const char* name;        // program name, for error lines
  const char* designFile;  // loaded during the bring-up
  const char* outputFile;  // written in the working directory
  bool (*softwareModel)(std::ostream& out);
  bool (*boardLoop)(Board& board, std::ostream& out);
};

// Run first: makes descriptors 0, 1 and 2 refer to an open file (/dev/null
// where one is closed), so that no file the run opens takes a standard
// stream's place, and makes a write to a pipe without a reader fail (EPIPE)
// rather than end the process. False, reported on standard error, when a
// closed descriptor cannot be filled.
bool prepareProcess(const char* programName);

// True when the first argument is exactly "-s" (a whole-string,
// case-sensitive comparison); arguments after the first are ignored.
bool softwareModelSelected(int argc, const char* const* argv);

// The bring-up sequence shared by both programs: open, the three control
// ports, the clock (16 MHz reference, 66 MHz), the design, a 32-bit data bus
// and control register 0xC008. Reports a failure itself (a failed open on
// standard error; a failed load on standard output, then its reason on
// standard error) and returns false then; nothing after the failed step is
// done.
bool bringUp(Board& board, const Program& program);

// Runs the whole program on `board` and returns its exit status: in the
// software model the board is left alone; in the board run the bring-up
// comes first and the output file is opened only once it has succeeded.
// A failed write to the output file or to standard output is reported after
// the loop and makes the status kFailure.
int run(Board& board, const Program& program, int argc,
        const char* const* argv);

}  // namespace testprog
