// vontrel: the multiply-add test. "-s" as the first argument runs the
// software model; anything else runs the test on the board.
#include "boardlib/board.h"
#include "testprog/program.h"
#include "vontrel/multiply_add.h"

namespace {

constexpr testprog::Program kProgram{"vontrel", "vontrel.bfx", "vontrel.out",
                                     vontrel::writeSoftwareModel,
                                     vontrel::runBoardLoop};

}  // namespace

int main(int argc, char** argv) {
  testprog::board = new Board;
  return testprog::run(*testprog::board, kProgram, argc, argv);
}
