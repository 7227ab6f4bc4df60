#include "testprog/program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "testprog/output_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#endif

namespace testprog {

Board* board = nullptr;

namespace {

// The first failed flush of standard output: whether there was one, and its
// error code (0 when it left none).
bool standardOutputFailed = false;
int standardOutputError = 0;

// Flushes standard output (the clock lines, the load failure), keeping the
// first failure for finishStandardOutput.
void flushStandardOutput() {
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) &&
      !standardOutputFailed) {
    standardOutputFailed = true;
    standardOutputError = errno;
  }
}

// Flushes standard output and reports a failed write there; true when
// everything written to it arrived.
bool finishStandardOutput(const char* programName) {
  flushStandardOutput();
  if (!standardOutputFailed) return true;
  std::fprintf(
      stderr, "%s: error writing standard output%s%s\n", programName,
      standardOutputError != 0 ? ": " : "",
      standardOutputError != 0 ? std::strerror(standardOutputError) : "");
  std::fflush(stderr);
  return false;
}

}  // namespace

bool prepareProcess(const char* programName) {
#ifdef _WIN32
  // The C runtime marks descriptors 0 to 2 in use at start even where a
  // standard handle is missing, so no file takes their place; a write to a
  // pipe without a reader fails without a signal.
  (void)programName;
  return true;
#else
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: `fd` itself, as those below it are open.
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null < 0) {
      std::fprintf(stderr, "%s: /dev/null: %s\n", programName,
                   std::strerror(errno));
      return false;
    }
    if (null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  return true;
#endif
}

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
  board.setClock(kReferenceMHz, kClockMHz);
  const ErrorCode loaded = board.loadConfiguration(program.designFile);
  if (loaded != 0) {
    std::printf("Problem loading BFX file %s: Exiting!\n", program.designFile);
    flushStandardOutput();  // ahead of the reason on standard error
    const char* why = Board::loadFailure();
    if (Board::loadFailureLine() != 0) {
      std::fprintf(stderr, "%s: %s line %llu: %s\n", program.name,
                   program.designFile,
                   static_cast<unsigned long long>(Board::loadFailureLine()),
                   *why != '\0' ? why : board.errorMessage(loaded));
    } else {
      std::fprintf(stderr, "%s: %s: %s\n", program.name, program.designFile,
                   *why != '\0' ? why : board.errorMessage(loaded));
    }
    std::fflush(stderr);
    return false;
  }
  board.setBusWidth(32);
  board.writeControlC008(0);
  return true;
}

int run(Board& board, const Program& program, int argc,
        const char* const* argv) {
  if (!prepareProcess(program.name)) return kFailure;
  const bool model = softwareModelSelected(argc, argv);
  Board::keepTraceOff(program.designFile, "the program's design");
  Board::keepTraceOff(program.outputFile, "the program's output file");
  bool succeeded = model || bringUp(board, program);
  if (succeeded) {
    OutputFile output(program.name, program.outputFile);
    succeeded = output.open();
    if (succeeded) {
      // The loop runs to its end even after a failed write, so the card
      // sees the whole test; close() reports the failure.
      if (model)
        program.softwareModel(output.stream());
      else
        program.boardLoop(board, output.stream());
      succeeded = output.close();
    }
  }
  // Accesses the card failed fail the run, once it has gone to its end.
  const char* card = model ? "" : board.cardFailure();
  if (*card != '\0') {
    std::fprintf(stderr, "%s: %s\n", program.name, card);
    std::fflush(stderr);
    succeeded = false;
  }
  // Reported on every path: a lost load failure message is worth a line.
  const bool shown = finishStandardOutput(program.name);
  // A trace (TV940_TRACE) that could not be written whole fails the run.
  const char* trace = Board::traceFailure();
  if (*trace != '\0') {
    std::fprintf(stderr, "%s: %s\n", program.name, trace);
    std::fflush(stderr);
    succeeded = false;
  }
  return succeeded && shown ? kSuccess : kFailure;
}

}  // namespace testprog
