// accumulate: the accumulator design's host program. It loads
// accumulator.bfx from the working directory, sets the threshold, adds a
// list of values, prints the sum after each and then the interrupt the
// threshold crossing raised (the watcher's word). "accumulate -s" prints the
// same from the design's C++ model, without a card.
//
//   TV940_DEVICE=sim TV940_SIM_DESIGNS=$PWD/accumulator_model.so accumulate
#include <boardlib/board.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "accumulator.h"

namespace {

constexpr std::uint32_t kThreshold = 1000;
constexpr std::uint32_t kValues[] = {100, 250, 300, 125, 400, 75};
constexpr float kClockMHz = 66.0f;

int software() {
  Accumulator model;
  const tv940_chip_context chip{0, 0xFFFFFFFF, 1};
  std::uint32_t interrupt = 0;
  model.writeColumn(2, 0, chip);
  model.writeColumn(1, kThreshold, chip);
  for (std::uint32_t value : kValues) {
    model.writeColumn(0, value, chip);
    if (interrupt == 0) interrupt = model.interrupt();
    std::printf("add %u: sum %u\n", value, model.readColumn(0, chip));
  }
  std::printf("interrupt: %08x\n", interrupt);
  return 0;
}

int onTheCard() {
  Board board;
  if (board.open() != 0) {
    std::fprintf(stderr, "accumulate: cannot open the board: %s\n",
                 Board::openFailure());
    return 1;
  }
  board.writePort24Zero();
  board.writePort16One();
  board.writePort60(0);
  board.setClock(static_cast<float>(card::kClockReferenceMHz), kClockMHz);
  if (board.loadConfiguration("accumulator.bfx") != 0) {
    std::fprintf(stderr, "accumulate: accumulator.bfx: %s\n",
                 Board::loadFailure());
    return 1;
  }
  board.setBusWidth(32);
  board.setMasks(0, 0xFFFFFFFF);
  interruptFlag.store(0);
  board.writeUserRegister(2, 0);
  board.writeUserRegister(1, kThreshold);
  for (std::uint32_t value : kValues) {
    board.writeUserRegister(0, value);
    std::printf("add %u: sum %u\n", value, board.readUserRegister(0));
  }
  // The watcher hands the interrupt's word over on its own thread.
  for (int waited = 0; interruptFlag.load() == 0 && waited < 2000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (interruptFlag.load() != 0) {
    std::printf("interrupt: %08x\n", lastInterruptWord.load());
  } else {
    std::printf("interrupt: none within 2 s\n");
  }
  board.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return argc > 1 && std::strcmp(argv[1], "-s") == 0 ? software() : onTheCard();
}
