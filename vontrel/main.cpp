// vontrel: the multiply-add test. "-s" as the first argument runs the
// software model; anything else runs the test on the board.
#include "boardlib/board.h"
#include "testprog/program.h"
#include "vontrel/multiply_add.h"

namespace {

// The one Board, kept reachable until the process ends: it is never closed
// or destroyed, the end of the process releases the connection.
Board* board = nullptr;

constexpr testprog::Program kProgram{"vontrel", "vontrel.bfx", "vontrel.out",
                                     vontrel::writeSoftwareModel,
                                     vontrel::runBoardLoop};

}  // namespace

int main(int argc, char** argv) {
  board = new Board;
  return testprog::run(*board, kProgram, argc, argv);
}
