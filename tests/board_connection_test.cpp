// Opening and closing the driver connection, the configuration block and the
// interrupt watcher, against the simulated card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "platform/trace.h"
#include "sim_board.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> trace(const std::vector<sim::Event>& events) {
  std::vector<std::string> lines;
  for (const sim::Event& event : events)
    lines.push_back(platform::trace::format(event));
  return lines;
}

using tv940test::requestsOf;
using tv940test::threadCount;

// Polls until the condition holds or five seconds have passed.
template <typename Condition>
bool eventually(Condition condition) {
  return tv940test::pollUntil(condition, std::chrono::seconds(5));
}

void putWord(std::array<std::uint8_t, 148>& block, unsigned offset,
             std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i)
    block[offset + i] = (value >> (8 * i)) & 0xFF;
}

class Connection : public tv940test::SimBoardTest {};

// Failed opens come first, while no watcher of another test is running.
TEST_F(Connection, FailedDeviceOpenCreatesNothing) {
  sim::nextSettings().noDevice = true;
  const std::size_t threadsBefore = threadCount();
  EXPECT_EQ(board.open(), -5);
  EXPECT_EQ(sim::Card::current(), nullptr);
  EXPECT_EQ(board.interruptEvent, nullptr);
  EXPECT_EQ(board.stopEvent, nullptr);
  EXPECT_EQ(board.chipWindow, nullptr);
  EXPECT_EQ(board.ioBase, 0xFFFF);
  EXPECT_LE(threadCount(), threadsBefore);
  EXPECT_NE(std::string(Board::openFailure()).find("no-device"),
            std::string::npos)
      << Board::openFailure();
  EXPECT_STREQ(board.errorMessage(-5),
               "Bad configuration data in PCI device configuration header.");
  board.close();  // nothing to close
}

// The failure text is the calling thread's own: an open on another thread
// neither changes nor frees it.
TEST_F(Connection, OpenFailureIsEachThreadsOwn) {
  sim::nextSettings().noDevice = true;
  ASSERT_EQ(board.open(), -5);
  const char* failure = Board::openFailure();
  const std::string text = failure;
  ASSERT_NE(text.find("no-device"), std::string::npos) << text;
  std::string other = "(not run)";
  tv940test::Thread([&] {
    sim::resetSettings();
    Board second;
    EXPECT_EQ(Board::openFailure(), std::string());
    if (second.open() == 0) other = Board::openFailure();
    second.close();
  }).join();
  EXPECT_EQ(other, "");
  EXPECT_EQ(Board::openFailure(), failure);
  EXPECT_EQ(std::string(failure), text);
}

TEST_F(Connection, FailedCheckKeepsOnlyTheDevice) {
  sim::nextSettings().checkFails = true;
  const std::size_t threadsBefore = threadCount();
  EXPECT_EQ(board.open(), -5);
  auto card = sim::Card::current();
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(trace(card->events()), std::vector<std::string>{"req 0"});
  EXPECT_EQ(board.interruptEvent, nullptr);
  EXPECT_EQ(board.ioBase, 0xFFFF);
  EXPECT_LE(threadCount(), threadsBefore);
  EXPECT_NE(std::string(Board::openFailure()).find("check request failed"),
            std::string::npos)
      << Board::openFailure();

  // A later open first releases the device the failed one left.
  sim::nextSettings().checkFails = false;
  EXPECT_EQ(board.open(), 0);
  EXPECT_EQ(trace(card->events()),
            (std::vector<std::string>{"req 0", "req 4"}));
  EXPECT_STREQ(Board::openFailure(), "");
}

TEST_F(Connection, BadBaseAddressRegistersFailTheOpen) {
  sim::nextSettings().memoryBar1 = true;
  EXPECT_EQ(board.open(), -5);
  EXPECT_EQ(board.ioBase, 0xFFFF);
  EXPECT_STREQ(Board::openFailure(),
               "simulated card (TV940_DEVICE=sim): base address register 1 "
               "(0x0000E000) is not an I/O-space register");
  auto card = sim::Card::current();
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(trace(card->events()),
            (std::vector<std::string>{"req 0", "req 6", "req 3", "req 5"}));
  // The partly open Board has its watcher: interrupts are served.
  card->raiseInterrupt(7);
  EXPECT_TRUE(eventually([&] { return card->interruptWordRequests() == 1; }));
  // Ports stay refused without an I/O base.
  card->clearEvents();
  board.writePort24Zero();
  EXPECT_EQ(board.readPort32(), 0xFFFFFFFFu);
  EXPECT_TRUE(card->events().empty());

  const auto start = Clock::now();
  board.close();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(requestsOf(card->events(), 4), 1u);

  // The same through the block itself, and every register that would place
  // the ports or the window where they cannot be reached whole.
  const struct {
    unsigned offset;
    std::uint32_t value;
    const char* reason;
  } refused[] = {
      {20, 0x0000E000, "1 (0x0000E000) is not an I/O-space register"},
      {20, 0x0000FFE1,
       "1 (0x0000FFE1) places the control ports' 64-byte block past port "
       "0xFFFF"},
      {20, 0x1234E001,
       "1 (0x1234E001) places the control ports' 64-byte block past port "
       "0xFFFF"},
      {20, 0x0000E003,
       "1 (0x0000E003) is not aligned to the control ports' 64-byte block"},
      {20, 0x0000E021,
       "1 (0x0000E021) is not aligned to the control ports' 64-byte block"},
      {16, 0xF8000001,
       "0 (0xF8000001) is an I/O-space register; the chip window needs a "
       "memory register"},
  };
  for (const auto& bad : refused) {
    SCOPED_TRACE(bad.reason);
    board.close();
    sim::resetSettings();
    putWord(sim::nextSettings().configBlock, bad.offset, bad.value);
    EXPECT_EQ(board.open(), -5);
    EXPECT_EQ(board.ioBase, 0xFFFF);
    EXPECT_EQ(Board::openFailure(),
              std::string("simulated card (TV940_DEVICE=sim): base address "
                          "register ") +
                  bad.reason);
  }
}

TEST_F(Connection, OpenInOrderAndLearnTheIoBase) {
  EXPECT_EQ(board.ioBase, 0xFFFF);
  EXPECT_EQ(board.clockLineHistory, 0);
  EXPECT_EQ(board.port60Shadow, 0);
  EXPECT_EQ(board.baseAddress0, 0u);

  ASSERT_EQ(board.open(), 0);
  auto card = sim::Card::current();
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(trace(card->events()),
            (std::vector<std::string>{"req 0", "req 6", "req 3", "req 5"}));
  EXPECT_EQ(board.ioBase, 0xE000);
  EXPECT_EQ(board.baseAddress0, 0xF8000000u);
  EXPECT_NE(board.chipWindow, nullptr);
  EXPECT_NE(board.handleConverter, nullptr);
  EXPECT_NE(board.interruptEvent, nullptr);
  EXPECT_NE(board.stopEvent, nullptr);
  EXPECT_NE(board.interruptEvent, board.stopEvent);
  EXPECT_NE(board.driverInterruptEvent, nullptr);
  EXPECT_NE(deviceHandle, nullptr);
  EXPECT_STREQ(Board::openFailure(), "");

  // A second open of the open Board is refused and sends nothing.
  EXPECT_EQ(board.open(), -5);
  EXPECT_STREQ(Board::openFailure(),
               "simulated card (TV940_DEVICE=sim): the board is already open");
  EXPECT_EQ(card->events().size(), 4u);
  EXPECT_EQ(board.ioBase, 0xE000);
  EXPECT_EQ(sim::Card::current(), card);

  const auto start = Clock::now();
  board.close();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(trace(card->events()).back(), "req 4");
  board.close();  // a second close does nothing
  EXPECT_EQ(card->events().size(), 5u);
  EXPECT_EQ(board.ioBase, 0xE000);  // the close resets no field

  // Register 1 0x0000FFC1 gives 0xFFC0, the last whole block; register 0
  // is copied as it is.
  sim::resetSettings();
  sim::nextSettings().recordEvents = true;
  putWord(sim::nextSettings().configBlock, 20, 0x0000FFC1);
  putWord(sim::nextSettings().configBlock, 16, 0x87654328);
  ASSERT_EQ(board.open(), 0);
  EXPECT_NE(sim::Card::current(), card);
  EXPECT_EQ(board.ioBase, 0xFFC0);
  EXPECT_EQ(board.baseAddress0, 0x87654328u);

  // Another Board's failed open leaves this connection in use.
  const platform::Handle connection = deviceHandle;
  sim::nextSettings().noDevice = true;
  Board other;
  EXPECT_EQ(other.open(), -5);
  EXPECT_EQ(deviceHandle, connection);
  auto current = sim::Card::current();
  current->clearEvents();
  board.writeChipViaDriver(0xC008, 5);
  EXPECT_EQ(current->peekChip(0xC008), 5u);
}

TEST_F(Connection, NoWindowFailsTheOpen) {
  sim::nextSettings().noAnswer = true;  // the map request fails
  EXPECT_EQ(board.open(), -5);
  EXPECT_EQ(board.chipWindow, nullptr);
  const std::string failure = Board::openFailure();
  EXPECT_EQ(failure.rfind("simulated card (TV940_DEVICE=sim): ", 0), 0u);
  EXPECT_NE(failure.find("chip window"), std::string::npos) << failure;
  auto card = sim::Card::current();
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(trace(card->events()),
            (std::vector<std::string>{"req 0", "req 6"}));
  card->clearEvents();
  board.writeChip(0xC008, 1);  // there is no window: nothing is reached
  EXPECT_EQ(board.readChip(0xC008), 0xFFFFFFFFu);
  EXPECT_TRUE(card->events().empty());
}

// Each Board reaches its own card: its ports, window and driver requests go
// to its own connection, and nowhere while it is not open, whatever Board
// opened last; deviceHandle still names the most recent connection. A Board
// that is not open sends nothing for the clock, the loader or the bus width.
TEST_F(Connection, EachBoardReachesItsOwnCardOnly) {
  Board never;
  never.writeChipViaDriver(0xC008, 1);  // no connection yet: nothing happens
  EXPECT_EQ(never.readChipViaDriver(0xC008), 0u);

  ASSERT_EQ(board.open(), 0);
  const auto first = sim::Card::current();
  const platform::Handle firstHandle = deviceHandle;
  Board other;
  ASSERT_EQ(other.open(), 0);
  const auto second = sim::Card::current();
  ASSERT_NE(first, second);
  first->setPortInput(32, 0x1111);
  second->setPortInput(32, 0x2222);
  board.writePort(16, 0xA);
  other.writePort(16, 0xB);
  EXPECT_EQ(first->lastPortOutput(16), 0xAu);
  EXPECT_EQ(second->lastPortOutput(16), 0xBu);
  EXPECT_EQ(board.readPort(32), 0x1111u);
  EXPECT_EQ(other.readPort(32), 0x2222u);
  board.writeChip(0x0101, 0xA1);
  EXPECT_EQ(first->peekChip(0x0101), 0xA1u);
  EXPECT_EQ(second->peekChip(0x0101), 0u);

  // Closed, and another Board opened after it: the closed one reaches
  // nothing, not even its own card.
  board.close();
  Board later;
  ASSERT_EQ(later.open(), 0);
  EXPECT_NE(deviceHandle, firstHandle);
  auto card = sim::Card::current();
  later.writeDeviceConfig(0x00);
  later.writeChipViaDriver(0x4000, 7);
  for (const auto& c : {first, second, card}) c->clearEvents();

  testing::internal::CaptureStdout();
  for (Board* stale : {&board, &never}) {
    EXPECT_EQ(stale->setClock(16, 66), -1.0f);
    EXPECT_EQ(stale->loadConfiguration("absent.bfx"), -9);
    EXPECT_STREQ(Board::loadFailure(), "the board is not open");
    EXPECT_EQ(stale->setBusWidth(32), -9);
    stale->writePort(16, 0xBAD);
    EXPECT_EQ(stale->readPort(32), 0xFFFFFFFFu);
    stale->writeChip(0x0101, 0xBAD);
    EXPECT_EQ(stale->readChip(0x0101), 0xFFFFFFFFu);
    stale->writeChipViaDriver(0x4000, 0xBAD);
    stale->writeDeviceConfigViaDriver(0xFF);
    EXPECT_EQ(stale->readChipViaDriver(0x4000), 0u);
    std::uint32_t words[2] = {9, 9};
    stale->readChipBlockViaDriver(0x810000, words, 2);
    EXPECT_EQ(words[0], 9u);
    stale->readConfigInfo();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (const auto& c : {first, second, card}) {
    EXPECT_TRUE(c->events().empty()) << trace(c->events())[0];
  }
  EXPECT_EQ(first->peekChip(0x0101), 0xA1u);
  EXPECT_EQ(first->lastPortOutput(16), 0xAu);
  EXPECT_EQ(card->peekChip(0xC000), 0x00u);
  EXPECT_EQ(card->peekChip(0x4000), 7u);
  EXPECT_EQ(later.readChipViaDriver(0x4000), 7u);  // the open Board's own
  later.close();
  other.close();
}

TEST_F(Connection, ReadConfigInfoAgain) {
  ASSERT_EQ(board.open(), 0);
  auto card = sim::Card::current();
  card->clearEvents();
  std::array<std::uint8_t, 148> block{};
  for (unsigned i = 0; i < block.size(); ++i) block[i] = std::uint8_t(i * 7);
  putWord(block, 20, 0x0000D001);
  card->setConfigBlock(block);

  BoardConfigInfo* first = board.readConfigInfo();
  EXPECT_EQ(first, &board.configInfo);
  EXPECT_EQ(first->baseAddressRegister1(), 0x0000D001u);
  EXPECT_EQ(first->bytes[147], std::uint8_t(147 * 7));
  EXPECT_EQ(board.readConfigInfo(), first);
  EXPECT_EQ(board.ioBase, 0xE000);
  EXPECT_EQ(board.baseAddress0, 0xF8000000u);
  EXPECT_EQ(trace(card->events()),
            (std::vector<std::string>{"req 5", "req 5"}));
}

TEST_F(Connection, InterruptsAreServed) {
  ASSERT_EQ(board.open(), 0);
  auto card = sim::Card::current();
  interruptFlag = 0;
  card->raiseInterrupt(0x2A);
  EXPECT_TRUE(eventually([&] { return interruptFlag.load() == 1; }));
  EXPECT_EQ(card->interruptWordRequests(), 1u);
  EXPECT_EQ(lastInterruptWord.load(), 0x2Au);
  card->raiseInterrupt(0x2B);
  EXPECT_TRUE(eventually([&] { return card->interruptWordRequests() == 2; }));
  EXPECT_TRUE(eventually([&] { return lastInterruptWord.load() == 0x2B; }));
}

TEST_F(Connection, InterruptsWhileBusyAreServedOnce) {
  sim::nextSettings().stuckWatcher = true;
  ASSERT_EQ(board.open(), 0);
  auto card = sim::Card::current();
  card->raiseInterrupt(1);
  // The watcher is now inside its request, not waiting.
  ASSERT_TRUE(eventually([&] { return requestsOf(card->events(), 10) == 1; }));
  card->raiseInterrupt(2);
  card->raiseInterrupt(3);
  interruptFlag = 0;
  card->releaseStuckRequests();
  EXPECT_TRUE(eventually([&] { return card->interruptWordRequests() == 2; }));
  EXPECT_TRUE(eventually([&] { return interruptFlag.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(requestsOf(card->events(), 10), 2u);
  EXPECT_EQ(card->interruptWordRequests(), 2u);
  EXPECT_EQ(lastInterruptWord.load(), 3u);
}

TEST_F(Connection, CloseGivesUpOnAStuckWatcher) {
  sim::nextSettings().stuckWatcher = true;
  ASSERT_EQ(board.open(), 0);
  auto oldCard = sim::Card::current();
  oldCard->raiseInterrupt(1);
  ASSERT_TRUE(
      eventually([&] { return requestsOf(oldCard->events(), 10) == 1; }));

  const auto start = Clock::now();
  board.close();
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::milliseconds(9000));

  // A new connection of the same Board; then the old watcher comes back.
  sim::nextSettings().stuckWatcher = false;
  ASSERT_EQ(board.open(), 0);
  auto newCard = sim::Card::current();
  ASSERT_NE(newCard, oldCard);
  oldCard->releaseStuckRequests();
  EXPECT_TRUE(
      eventually([&] { return oldCard->interruptWordRequests() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(requestsOf(newCard->events(), 10), 0u);
  EXPECT_EQ(requestsOf(oldCard->events(), 10), 1u);

  // The new watcher alone serves the new card: a watcher that strayed onto
  // the new events would take some of these interrupts away from it.
  for (unsigned i = 1; i <= 10; ++i) {
    newCard->raiseInterrupt(i);
    ASSERT_TRUE(eventually([&] {
      return newCard->interruptWordRequests() == i;
    })) << "interrupt "
        << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(requestsOf(newCard->events(), 10), 10u);
  EXPECT_EQ(oldCard->interruptWordRequests(), 1u);
}

// Two Boards open at once: each event line names its connection while both
// are open (or while the one left is not connection 1), the second heading
// and bases its number; one Board at a time writes untagged lines.
TEST_F(Connection, TwoBoardsAtOnceTagTheirTraceLines) {
  const std::string path = ::testing::TempDir() + "two-boards-" +
                           std::to_string(::getpid()) + ".trace";
  std::remove(path.c_str());
  ASSERT_EQ(setenv("TV940_TRACE", path.c_str(), 1), 0);
  Board second;
  ASSERT_EQ(board.open(), 0);
  board.writePort(16, 1);
  ASSERT_EQ(second.open(), 0);
  board.writeChipViaDriver(0xC000, 8);
  second.writePort(24, 0);
  board.close();
  second.writePort(28, 0);  // still connection 2
  second.close();
  ASSERT_EQ(board.open(), 0);
  board.writePort(16, 2);  // alone again
  board.close();
  EXPECT_STREQ(platform::finishTrace(), "");
  unsetenv("TV940_TRACE");

  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::remove(path.c_str());
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto headingWith = [&](const std::string& end) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind("# trace: device", 0) == 0 &&
          lines[i].size() >= end.size() &&
          lines[i].compare(lines[i].size() - end.size(), end.size(), end) == 0)
        return std::ptrdiff_t(i);
    }
    return std::ptrdiff_t(lines.size());
  };
  const std::ptrdiff_t second2 = headingWith(", connection 2");
  ASSERT_LT(second2, std::ptrdiff_t(lines.size()));
  EXPECT_LT(at("out e010 00000001"), second2);
  EXPECT_GT(at("c1 dwr c000 00000008"), second2);
  EXPECT_LT(at("c1 dwr c000 00000008"), std::ptrdiff_t(lines.size()));
  EXPECT_LT(at("c2 out e018 00000000"), std::ptrdiff_t(lines.size()));
  EXPECT_LT(at("c2 out e01c 00000000"), std::ptrdiff_t(lines.size()));
  EXPECT_LT(at("# bases: window 0xf8000000, ports 0xe000, connection 2"),
            std::ptrdiff_t(lines.size()));
  EXPECT_GT(at("out e010 00000002"), at("c2 out e01c 00000000"));
  EXPECT_LT(at("out e010 00000002"), std::ptrdiff_t(lines.size()));
}

}  // namespace
