#include "testprog/program.h"

#include <cstring>
#include <iostream>

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
    std::cerr << program.name << ": cannot open the board: "
              << (*why != '\0' ? why : board.errorMessage(opened)) << std::endl;
    return false;
  }
  board.writePort24Zero();
  board.writePort16One();
  board.writePort60(0);
  board.setClock(16.0f, 66.0f);
  if (board.loadConfiguration(program.designFile) != 0) {
    std::cout << "Problem loading BFX file " << program.designFile
              << ": Exiting!" << std::endl;
    return false;
  }
  board.setBusWidth(32);
  board.writeControlC008(0);
  return true;
}

namespace {

int runMode(Board& board, const Program& program, bool model) {
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

}  // namespace

int run(Board& board, const Program& program, int argc,
        const char* const* argv) {
  const int status = runMode(board, program, softwareModelSelected(argc, argv));
  // A trace (TV940_TRACE) that could not be written whole fails the run.
  const char* trace = Board::traceFailure();
  if (*trace == '\0') return status;
  std::cerr << program.name << ": " << trace << std::endl;
  return kFailure;
}

}  // namespace testprog
