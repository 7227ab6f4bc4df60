#include "testprog/program.h"

#include <cstdio>
#include <cstring>

#include "testprog/output_file.h"

namespace testprog {

Board* board = nullptr;

bool softwareModelSelected(int argc, const char* const* argv) {
  return argc > 1 && std::strcmp(argv[1], "-s") == 0;
}

bool bringUp(Board& board, const Program& program) {
  // Nothing may touch a port or the window of a board that did not open.
  ErrorCode opened = board.open();
  if (opened != 0) {
    const char* why = Board::openFailure();
    std::fprintf(stderr, "%s: cannot open the board: %s\n", program.name,
                 *why != '\0' ? why : board.errorMessage(opened));
    std::fflush(stderr);
    return false;
  }
  board.writePort24Zero();
  board.writePort16One();
  board.writePort60(0);
  board.setClock(16.0f, 66.0f);
  if (board.loadConfiguration(program.designFile) != 0) {
    std::printf("Problem loading BFX file %s: Exiting!\n", program.designFile);
    std::fflush(stdout);
    return false;
  }
  board.setBusWidth(32);
  board.writeControlC008(0);
  return true;
}

int run(Board& board, const Program& program, int argc,
        const char* const* argv) {
  bool model = softwareModelSelected(argc, argv);
  if (!model && !bringUp(board, program)) return kFailure;

  OutputFile output(program.name, program.outputFile);
  if (!output.open()) return kFailure;
  // A loop that stops early leaves the stream failed; close() reports it.
  if (model)
    program.softwareModel(output.stream());
  else
    program.boardLoop(board, output.stream());
  return output.close() ? kSuccess : kFailure;
}

}  // namespace testprog
