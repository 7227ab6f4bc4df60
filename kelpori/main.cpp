// kelpori: the shift-register test. "-s" as the first argument runs the
// software model; anything else runs the test on the board.
#include "boardlib/board.h"
#include "kelpori/shift_register.h"
#include "testprog/program.h"

namespace {

// The one Board, kept reachable until the process ends: it is never closed
// or destroyed, the end of the process releases the connection.
Board* board = nullptr;

constexpr testprog::Program kProgram{"kelpori", "kelpori.bfx", "kelpori.out",
                                     kelpori::writeSoftwareModel,
                                     kelpori::runBoardLoop};

}  // namespace

int main(int argc, char** argv) {
  board = new Board;
  return testprog::run(*board, kProgram, argc, argv);
}
