// The board connection under concurrent use: interrupt storms while the main
// thread drives the chip, many opens and closes in a row, a close in the
// middle of a storm, and a watcher that comes back after its close gave up
// waiting for it. The tsan stage runs this suite under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "boardlib/board.h"
#include "card/card_map.h"
#include "platform/backends/simulated_card/card.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "sim_board.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The close waits this long for the watcher's acknowledgement.
constexpr milliseconds kCloseWait{5000};
// A close that returns well before its time-out was acknowledged.
constexpr milliseconds kAcknowledgedClose{4000};

// Polls until the condition holds; false after the limit.
template <typename Condition>
bool eventually(Condition condition, milliseconds limit = milliseconds(20000)) {
  return tv940test::pollUntil(condition, limit);
}

using tv940test::requestsOf;
using tv940test::threadCount;

milliseconds timedClose(Board& board) {
  const auto start = Clock::now();
  board.close();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Chip addresses that are plain storage on the card: row 1 to 63 of column
// 0 in mode 0 (no column register, no control or configuration register).
std::uint32_t plainAddress(unsigned i) { return 1 + i % 63; }

class Concurrency : public tv940test::SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    interruptFlag = 0;
    // A first thread makes the runtime start any helper threads of its own
    // (ThreadSanitizer has one), so they count among those already there.
    tv940test::Thread([] {}).join();
    threadsBefore = threadCount();
  }

  std::size_t threadsBefore = 0;
};

TEST_F(Concurrency, InterruptStormWhileTheChipIsDriven) {
  constexpr unsigned kInterrupts = 5000;
  ASSERT_EQ(board.open(), 0);
  const std::shared_ptr<sim::Card> card = sim::Card::current();
  ASSERT_NE(card, nullptr);

  tv940test::Thread raiser([&] {
    // In bursts, with short pauses that let the watcher in between, so
    // interrupts arrive both while it waits and while it serves.
    for (unsigned i = 1; i <= kInterrupts; ++i) {
      card->raiseInterrupt(0xA000 + i);
      if (i % 25 == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // The main thread writes and reads back a fixed number of chip words
  // meanwhile. How far they overlap the storm depends on the machine; the
  // amount of work (and of recorded accesses) does not.
  constexpr unsigned kWords = 20000;
  unsigned accesses = 0;
  unsigned wrong = 0;
  for (unsigned i = 0; i < kWords; ++i) {
    const std::uint32_t value = 0x5A000000u ^ (i * 2654435761u);
    board.writeChip(plainAddress(i), value);
    if (board.readChip(plainAddress(i)) != value) ++wrong;
    ++accesses;
    if (i % 64 == 0) std::this_thread::yield();
  }
  raiser.join();
  EXPECT_EQ(wrong, 0u) << "of " << accesses << " chip words read back";

  // The last interrupt is served, and its handler sets the flag.
  EXPECT_TRUE(eventually([] {
    return lastInterruptWord == 0xA000 + kInterrupts;
  })) << "last word served: "
      << std::hex << lastInterruptWord;
  EXPECT_TRUE(eventually([] { return interruptFlag == 1; }));

  const milliseconds closing = timedClose(board);
  EXPECT_LT(closing, kAcknowledgedClose) << "the watcher did not acknowledge";

  // Interrupts that arrive while the watcher is busy share one request.
  const unsigned served = card->interruptWordRequests();
  EXPECT_GE(served, 1u);
  EXPECT_LE(served, kInterrupts);
  const std::vector<sim::Event> events = card->events();
  EXPECT_EQ(requestsOf(events, 10), served);
  EXPECT_EQ(requestsOf(events, 4), 1u);
  RecordProperty("interrupts_raised", static_cast<int>(kInterrupts));
  RecordProperty("interrupt_word_requests", static_cast<int>(served));
  std::printf(
      "storm: %u interrupts raised, %u served requests, %u chip "
      "accesses, close %lld ms\n",
      kInterrupts, served, 2 * accesses,
      static_cast<long long>(closing.count()));
}

TEST_F(Concurrency, RepeatedOpenAndClose) {
  constexpr unsigned kCycles = 200;
  std::shared_ptr<sim::Card> previous;
  std::size_t previousEvents = 0;
  milliseconds slowest{0};

  for (unsigned cycle = 1; cycle <= kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(board.open(), 0);
    const std::shared_ptr<sim::Card> card = sim::Card::current();
    ASSERT_NE(card, previous);

    // This connection's own watcher serves this card's interrupt.
    card->raiseInterrupt(cycle);
    ASSERT_TRUE(eventually([&] { return card->interruptWordRequests() == 1; }));
    EXPECT_TRUE(eventually([&] { return lastInterruptWord == cycle; }));
    board.writeChip(plainAddress(cycle), cycle);
    EXPECT_EQ(board.readChip(plainAddress(cycle)), cycle);

    const milliseconds closing = timedClose(board);
    slowest = std::max(slowest, closing);
    ASSERT_LT(closing, kAcknowledgedClose) << "the watcher did not acknowledge";

    // The card of the last cycle has seen nothing since its close.
    if (previous != nullptr) {
      const std::vector<sim::Event> old = previous->events();
      EXPECT_EQ(old.size(), previousEvents);
      EXPECT_EQ(previous->interruptWordRequests(), 1u);
    }
    previous = card;
    previousEvents = card->events().size();
    ASSERT_EQ(card->events().back().kind, sim::EventKind::Request);
    EXPECT_EQ(card->events().back().where, 4u)
        << "the close ends with shutdown";
  }

  // Every watcher and handler has ended.
  EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore; }))
      << threadCount() << " threads, " << threadsBefore << " before";
  RecordProperty("slowest_close_ms", static_cast<int>(slowest.count()));
}

TEST_F(Concurrency, CloseInTheMiddleOfAStorm) {
  ASSERT_EQ(board.open(), 0);
  const std::shared_ptr<sim::Card> card = sim::Card::current();

  // The card records every interrupt, so the storm has a ceiling: on a slow
  // or loaded machine it ends there instead of filling the memory.
  constexpr unsigned kMostRaised = 200000;
  std::atomic<bool> stop{false};
  std::atomic<unsigned> raised{0};
  tv940test::Thread raiser([&] {
    while (!stop && raised < kMostRaised) {
      card->raiseInterrupt(++raised);
    }
  });
  ASSERT_TRUE(eventually([&] { return card->interruptWordRequests() >= 50; }));

  const milliseconds closing = timedClose(board);
  EXPECT_LT(closing, kAcknowledgedClose);
  // Interrupts raised after the close reach no event and change nothing.
  const unsigned before = raised;
  ASSERT_TRUE(eventually(
      [&] { return raised >= before + 1000 || raised == kMostRaised; }));
  stop = true;
  raiser.join();

  // The same Board opens again and its new watcher serves the new card.
  ASSERT_EQ(board.open(), 0);
  const std::shared_ptr<sim::Card> fresh = sim::Card::current();
  ASSERT_NE(fresh, card);
  fresh->raiseInterrupt(0xBEEF);
  EXPECT_TRUE(eventually([&] { return lastInterruptWord == 0xBEEF; }));
  EXPECT_EQ(fresh->interruptWordRequests(), 1u);
  EXPECT_LT(timedClose(board), kAcknowledgedClose);
}

TEST_F(Concurrency, LateWatcherAfterTheCloseGaveUp) {
  sim::nextSettings().stuckWatcher = true;
  ASSERT_EQ(board.open(), 0);
  const std::shared_ptr<sim::Card> card = sim::Card::current();
  card->raiseInterrupt(0x51);
  // The watcher is now inside its interrupt-word request and stays there.
  ASSERT_TRUE(eventually([&] { return requestsOf(card->events(), 10) == 1; }));

  const milliseconds closing = timedClose(board);
  EXPECT_GE(closing, kCloseWait - milliseconds(500));
  EXPECT_LT(closing, kCloseWait * 3);
  const std::size_t eventsAtClose = card->events().size();
  EXPECT_EQ(card->events().back().kind, sim::EventKind::Request);
  EXPECT_EQ(card->events().back().where, 4u);

  // The request returns after the close; the watcher goes on with the word
  // it got, then finds its events closed and ends.
  interruptFlag = 0;
  card->raiseInterrupt(0x52);  // the card forgot the event at the shutdown
  card->releaseStuckRequests();
  EXPECT_TRUE(eventually([] { return interruptFlag == 1; }));
  EXPECT_EQ(card->interruptWordRequests(), 1u);
  EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore; }))
      << "the late watcher is still running";

  // It sent nothing through the closed connection.
  const std::vector<sim::Event> events = card->events();
  ASSERT_GE(events.size(), eventsAtClose);
  for (std::size_t i = eventsAtClose; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, sim::EventKind::Interrupt)
        << "after the close: " << platform::trace::format(events[i]);
  }
  EXPECT_EQ(requestsOf(events, 10), 1u);
}

// Only one thread should drive a Board; all the same, window accesses that
// race a close and a reopen on another thread reach nothing or the new card,
// never a card that is gone (the simulated card's chip, freed with it).
TEST_F(Concurrency, AccessesRacingACloseAndReopenReachNoCardThatIsGone) {
  constexpr std::uint32_t kMap = card::code(DriverRequest::MapChipWindow);
  const auto openCard = [](std::uint8_t** window) {
    const platform::Handle device = platform::openDevice("drv");
    std::uint32_t returned = 0;
    EXPECT_TRUE(platform::deviceRequest(device, kMap, nullptr, 0, window,
                                        sizeof *window, &returned))
        << platform::lastOpenFailure();
    return device;
  };
  std::uint8_t* first = nullptr;
  platform::Handle device = openCard(&first);
  std::atomic<std::uint8_t*> window{first};
  std::atomic<platform::Handle> connection{device};
  tv940test::Thread reopener([&] {
    for (int cycle = 0; cycle < 300; ++cycle) {
      platform::closeHandle(device);
      std::uint8_t* next = nullptr;
      device = openCard(&next);
      window = next;
      connection = device;
    }
  });
  // Column 2's register: each write reaches the chip's design logic.
  const std::uint32_t column = card::windowOffset(card::columnRegister(2));
  constexpr unsigned kWords = 50000;
  for (unsigned i = 0; i < kWords; ++i) {
    std::uint8_t* target = window;
    const platform::Handle through = connection;
    platform::windowWrite32(through, target, column, i);
    platform::windowRead32(through, target, column);
    if (i % 64 == 0) std::this_thread::yield();
  }
  reopener.join();
  platform::closeHandle(device);
}

}  // namespace
