// The clock synthesizer: divider choice, programming word, bit stuffing, the
// console trace and the bits on the clock-programming port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <list>
#include <string>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "sim/clock_decoder.h"
#include "sim_board.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tv940test::selectSimulatedCard();
    sim::nextSettings().recordEvents = true;
  }
  void TearDown() override {
    for (Board& board : boards_) board.close();
    sim::resetSettings();
  }

  // A new open Board on a new card whose trace starts empty.
  Board& openBoard() {
    Board& board = boards_.emplace_back();
    EXPECT_EQ(board.open(), 0);
    card = sim::Card::current();
    card->clearEvents();
    return board;
  }

  // The bits written to the clock-programming port, first sent first; fails
  // the test on any other port event.
  std::string clockBits() const {
    std::string bits;
    for (const sim::Event& e : card->events()) {
      EXPECT_EQ(e.kind, sim::EventKind::PortOut);
      EXPECT_EQ(e.where, 0xE014u);
      EXPECT_LE(e.value, 1u);
      bits += e.value != 0 ? '1' : '0';
    }
    return bits;
  }

  std::shared_ptr<sim::Card> card;

 private:
  std::list<Board> boards_;
};

TEST_F(ClockTest, SixtySixFromSixteenOnANewBoard) {
  Board& board = openBoard();
  CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  const float result = board.setClock(16.0f, 66.0f);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::string console = GetCapturedStdout();

  EXPECT_EQ(result, 66.0f);
  EXPECT_EQ(console, tv940test::kClockLines66From16);
  EXPECT_EQ(clockBits(), tv940test::kClockBits66From16);
  EXPECT_EQ(board.clockLineHistory, 3);

  const sim::ClockDecoder& decoder = card->clock();
  EXPECT_TRUE(decoder.violations().empty())
      << testing::PrintToString(decoder.violations());
  ASSERT_TRUE(decoder.setting().has_value());
  EXPECT_EQ(decoder.setting()->p, 66u);
  EXPECT_EQ(decoder.setting()->q, 32u);
  EXPECT_EQ(decoder.setting()->k, 0u);
  EXPECT_EQ(decoder.setting()->word, 0x1F81E0u);
  EXPECT_DOUBLE_EQ(decoder.setting()->outputMHz, 66.0);

  // One tick (about a millisecond) per bit, 67 bits.
  EXPECT_GE(elapsed, std::chrono::milliseconds(60));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
}

struct Expected {
  float wanted;
  unsigned p, q, k, range;
  std::uint32_t word;
  float result;
};

TEST_F(ClockTest, DividerChoiceAndRounding) {
  const Expected cases[] = {
      {66.0f, 66, 32, 0, 0, 0x1F81E0, 66.0f},
      {25.0f, 50, 32, 1, 0, 0x1789E0, 25.0f},
      {100.0f, 75, 24, 0, 8, 0x240168, 100.0f},
      {0.390625f, 50, 32, 7, 0, 0x17B9E0, 0.390625f},
      // Q = 80 passes only because single(16 / 80) lies just above 0.2.
      {51.6f, 129, 80, 0, 0, 0x3F04E0, 51.6f},
      // The range follows the oscillator (79.99), not the result (80).
      {79.99f, 45, 18, 0, 0, 0x150100, 80.0f},
      {33.3f, 77, 37, 1, 0, 0x250A30, 33.297298f},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(testing::Message() << "wanted " << c.wanted);
    Board& board = openBoard();
    CaptureStdout();
    const float result = board.setClock(16.0f, c.wanted);
    const std::string console = GetCapturedStdout();
    EXPECT_FLOAT_EQ(result, c.result);
    const sim::ClockDecoder& decoder = card->clock();
    EXPECT_TRUE(decoder.violations().empty())
        << testing::PrintToString(decoder.violations());
    ASSERT_TRUE(decoder.setting().has_value());
    EXPECT_EQ(decoder.setting()->word, c.word);
    EXPECT_EQ(decoder.setting()->p, c.p);
    EXPECT_EQ(decoder.setting()->q, c.q);
    EXPECT_EQ(decoder.setting()->k, c.k);
    EXPECT_EQ(decoder.setting()->range, c.range);
    EXPECT_NEAR(decoder.setting()->outputMHz, c.result, 1e-4);
    EXPECT_EQ(board.clockLineHistory, 3);
    // Seven trace lines, whatever the word.
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 7);
  }
}

TEST_F(ClockTest, RefusalsSendAndPrintNothing) {
  Board& board = openBoard();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float reference, wanted;
  } refusals[] = {
      {16.0f, 100.5f},
      {16.0f, 0.39f},
      {16.0f, nan},
      {16.0f, -1.0f},
      {16.0f, inf},
      {0.0f, 66.0f},
      {-16.0f, 66.0f},
      {inf, 66.0f},
      {nan, 66.0f},
      // No admissible pair: only Q = 3 keeps 0.7 / Q within 0.2 to 1.0, and
      // 80 MHz then needs a P above 130.
      {0.7f, 80.0f},
  };
  board.clockLineHistory = 5;
  for (const auto& r : refusals) {
    SCOPED_TRACE(testing::Message()
                 << "reference " << r.reference << ", wanted " << r.wanted);
    CaptureStdout();
    EXPECT_EQ(board.setClock(r.reference, r.wanted), -1.0f);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(board.clockLineHistory, 5);
  }
  EXPECT_TRUE(card->events().empty());

  // A reference far from 16 MHz still works where a pair exists.
  CaptureStdout();
  const float result = board.setClock(0.7f, 66.0f);
  GetCapturedStdout();
  EXPECT_GT(result, 0.0f);
  EXPECT_FALSE(card->events().empty());

  // Extreme but valid references end both searches without a pair.
  for (const float reference : {1e-30f, 3e38f}) {
    CaptureStdout();
    EXPECT_EQ(board.setClock(reference, 66.0f), -1.0f);
    EXPECT_EQ(GetCapturedStdout(), "");
  }
}

TEST_F(ClockTest, EncoderStuffsAfterThreeOnes) {
  Board board;  // the encoder needs no connection
  std::uint32_t encoded = 0xFFFFFFFF;
  board.clockLineHistory = 0;
  EXPECT_EQ(board.encodeClockBits(8, 0xFF, encoded), 10);
  EXPECT_EQ(encoded, 0x377u);
  EXPECT_EQ(board.clockLineHistory, 6);
  EXPECT_EQ(board.encodeClockBits(8, 1, encoded), 9);
  EXPECT_EQ(encoded, 0x1u);
  EXPECT_EQ(board.clockLineHistory, 0);
  // Only the low bitCount bits are read; a run ending the word is stuffed.
  board.clockLineHistory = 0;
  EXPECT_EQ(board.encodeClockBits(3, 0xFFFFFFFF, encoded), 4);
  EXPECT_EQ(encoded, 0x7u);
  EXPECT_EQ(board.clockLineHistory, 3);
  // Wider than the encoded word: counted, never shifted out of range.
  board.clockLineHistory = 0;
  EXPECT_EQ(board.encodeClockBits(32, 0xFFFFFFFF, encoded), 42);
  EXPECT_EQ(board.encodeClockBits(0, 0xFFFFFFFF, encoded), 0);
  EXPECT_EQ(encoded, 0u);
  EXPECT_EQ(board.encodeClockBits(-4, 0xFFFFFFFF, encoded), 0);

  // Any 22-bit word: the line never holds four 1s in a row, and dropping
  // the 0 after every three 1s gives the word back.
  std::uint32_t state = 12345;
  for (int i = 0; i < 5000; ++i) {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t value = state >> 10;
    const std::uint8_t history = board.clockLineHistory;
    const int n = board.encodeClockBits(22, value, encoded);
    ASSERT_LE(n, 32);
    int run = 0;
    for (int bit = 0; bit < 3; ++bit) run = (history >> bit) & 1 ? run + 1 : 0;
    std::uint32_t decoded = 0;
    int decodedBits = 0;
    bool skipNext = false;
    for (int j = 0; j < n; ++j) {
      const int bit = (encoded >> j) & 1;
      run = bit ? run + 1 : 0;
      ASSERT_LT(run, 4) << "value " << value;
      if (skipNext) {
        ASSERT_EQ(bit, 0);
        skipNext = false;
        continue;
      }
      decoded |= static_cast<std::uint32_t>(bit) << decodedBits++;
      if (run == 3) skipNext = true;
    }
    ASSERT_EQ(decodedBits, 22);
    ASSERT_EQ(decoded, value);
  }
}

TEST_F(ClockTest, TraceAndPortOfOneFrame) {
  Board& board = openBoard();
  board.clockLineHistory = 0;
  CaptureStdout();
  board.sendClockData(0xFF, 8);
  board.sendProtocolWord();
  EXPECT_EQ(GetCapturedStdout(),
            "Send clock_data: [10] 377\n"
            "Send protocol word: [6] 1e\n");
  EXPECT_EQ(clockBits(),
            "1110111011"
            "011110");
  EXPECT_EQ(board.clockLineHistory, 3);
}

TEST_F(ClockTest, DelayTicksWaitsForTheClock) {
  Board board;
  const auto start = std::chrono::steady_clock::now();
  board.delayTicks(50);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(49));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  const auto again = std::chrono::steady_clock::now();
  board.delayTicks(0);
  board.delayTicks(-10);
  EXPECT_LT(std::chrono::steady_clock::now() - again,
            std::chrono::milliseconds(1000));
}

}  // namespace
