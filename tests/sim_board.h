// What the suites that run against the simulated card share: the choice of
// the card for the next open, fixtures with a Board on it, and the checks
// of its threads and its event trace. Portable: the suites that include it
// are also built for Windows (tests/test_support.h).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "test_support.h"

namespace tv940test {

// Programming the clock from a 16 MHz reference to 66 MHz on a new board:
// the lines the library prints, and the bits it sends to the card's
// clock-programming port, first sent first (data words with their stuffed
// bits, and protocol words).
inline constexpr const char* kClockLines66From16 =
    "Send clock_data: [8] 5\n"
    "Send protocol word: [6] 1e\n"
    "Send clock_data: [25] 7702e0\n"
    "Send clock_data: [8] 4\n"
    "Send protocol word: [6] 1e\n"
    "Send clock_data: [8] 0\n"
    "Send protocol word: [6] 1e\n";
inline constexpr const char* kClockBits66From16 =
    "10100000"
    "011110"
    "0000011101000000111011100"
    "00100000"
    "011110"
    "00000000"
    "011110";

// The next open finds the simulated card, with its default settings and no
// faults injected.
inline void selectSimulatedCard() {
  setenv("TV940_DEVICE", "sim", 1);
  unsetenv("TV940_SIM_FAULTS");
  sim::resetSettings();
}

// A Board on the simulated card, which records its events; the test opens
// the board. The board is closed and the card's settings reset after it.
class SimBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    selectSimulatedCard();
    sim::nextSettings().recordEvents = true;
  }
  void TearDown() override {
    board.close();
    sim::resetSettings();
  }

  Board board;
};

// As SimBoardTest, with the board open before the test and the card's trace
// empty.
class OpenSimBoardTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    ASSERT_EQ(board.open(), 0);
    card = sim::Card::current();
    card->clearEvents();
  }

  std::shared_ptr<sim::Card> card;
};

#ifndef _WIN32
// The threads of the process (tests/test_support.h has the Windows one).
inline std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}
#endif

// Polls until the condition holds; false after the limit.
template <typename Condition>
bool pollUntil(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// How many driver requests with this code the trace holds.
inline unsigned requestsOf(const std::vector<sim::Event>& events,
                           std::uint32_t code) {
  unsigned count = 0;
  for (const sim::Event& event : events) {
    if (event.kind == sim::EventKind::Request && event.where == code) ++count;
  }
  return count;
}

}  // namespace tv940test
