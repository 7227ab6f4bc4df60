// kelpori: the shift-register test. "-s" as the first argument runs the
// software model; anything else runs the test on the board.
#include "boardlib/board.h"
#include "kelpori/shift_register.h"
#include "testprog/program.h"

namespace {

constexpr testprog::Program kProgram{"kelpori", "kelpori.bfx", "kelpori.out",
                                     kelpori::writeSoftwareModel,
                                     kelpori::runBoardLoop};

}  // namespace

int main(int argc, char** argv) {
  testprog::board = new Board;
  return testprog::run(*testprog::board, kProgram, argc, argv);
}
