// The BFX loader: lines, tokens, conversions and results, checked against the
// chip writes the simulated card records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "platform/trace.h"
#include "sim_board.h"

namespace {

namespace fs = std::filesystem;
using Writes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

class Loader : public tv940test::OpenSimBoardTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(OpenSimBoardTest::SetUp());
    directory = fs::temp_directory_path() /
                ("board_loader_test." + std::to_string(getpid()));
    fs::create_directories(directory);
  }
  void TearDown() override {
    OpenSimBoardTest::TearDown();
    fs::remove_all(directory);
  }

  // Loads a file of exactly these bytes; *writes receives the chip writes.
  ErrorCode load(const std::string& content, Writes* writes) {
    const fs::path file = directory / "design.bfx";
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << content;
    }
    card->clearEvents();
    const ErrorCode result = board.loadConfiguration(file.string().c_str());
    writes->clear();
    for (const sim::Event& e : card->events()) {
      EXPECT_EQ(e.kind, sim::EventKind::WindowWrite)
          << platform::trace::format(e);
      EXPECT_TRUE(e.inChip);
      writes->emplace_back(e.where, e.value);
    }
    return result;
  }

  fs::path directory;
};

TEST_F(Loader, AbsentFileIsNotCreated) {
  const fs::path absent = directory / "absent.bfx";
  card->clearEvents();
  EXPECT_EQ(board.loadConfiguration(absent.string().c_str()), -6);
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_TRUE(card->events().empty());
  EXPECT_STREQ(board.errorMessage(-6), "Could not find BFX file.");
  EXPECT_EQ(board.loadConfiguration(directory.string().c_str()),
            -6);  // a directory
  EXPECT_EQ(board.loadConfiguration(nullptr), -6);
}

// Every failure leaves its line (counted from 1, blank lines, comments and
// CR LF lines included) and reason; a success clears them.
TEST_F(Loader, FailuresGiveTheirLineAndReason) {
  const fs::path absent = directory / "absent.bfx";
  EXPECT_EQ(board.loadConfiguration(absent.string().c_str()), -6);
  EXPECT_STREQ(Board::loadFailure(), std::strerror(ENOENT));
  EXPECT_EQ(Board::loadFailureLine(), 0u);
  EXPECT_EQ(board.loadConfiguration(nullptr), -6);
  EXPECT_STREQ(Board::loadFailure(), "no file name");

  Writes w;
  const auto failsAt = [&](const std::string& content, std::uint64_t line,
                           const std::string& reason) {
    SCOPED_TRACE(content.substr(0, 40));
    EXPECT_EQ(load(content, &w), -7);
    EXPECT_EQ(Board::loadFailureLine(), line);
    EXPECT_EQ(Board::loadFailure(), reason);
  };
  failsAt(
      "# design for column 3\n\n3C0 1F\n0xC008 0 trailing words\n"
      "1C000 1\n10 20\n",
      5, "address 1C000 exceeds FFFF");
  failsAt("10 20\r\n\r\n  # x\r\n-1 1\r\n", 4, "address FFFFFFFF exceeds FFFF");
  failsAt("10 20\n11\n", 2, "second field missing");
  failsAt("100000000 1\n", 1, "address value out of range");
  failsAt("\n\n1 100000000\n", 3, "data value out of range");
  failsAt("10 20\n" + std::string(70000, 'x'), 2,
          "line longer than 65536 characters");

  EXPECT_EQ(load("10 20\n", &w), 0);
  EXPECT_STREQ(Board::loadFailure(), "");
  EXPECT_EQ(Board::loadFailureLine(), 0u);
}

TEST_F(Loader, LinesAndTextMode) {
  Writes w;
  EXPECT_EQ(load("", &w), 0);
  EXPECT_TRUE(w.empty());
  EXPECT_EQ(load("# only a remark\n\n   \t \n#10 20\n", &w), 0);
  EXPECT_TRUE(w.empty());

  // The example file: two writes, then -7 with the writes kept.
  EXPECT_EQ(load("# design for column 3\n\n3C0 1F\n0xC008 0 trailing words\n"
                 "1C000 1\n10 20\n",
                 &w),
            -7);
  EXPECT_EQ(w, (Writes{{0x3C0, 0x1F}, {0xC008, 0}}));

  EXPECT_EQ(load("10 20\n11 21", &w), 0);  // no final line feed
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x11, 0x21}}));
  EXPECT_EQ(load("10 20\r\n\r\n11 21\r\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x11, 0x21}}));
  EXPECT_EQ(load("10 20\n\x1A", &w), 0);  // Ctrl-Z at the end
  EXPECT_EQ(w, (Writes{{0x10, 0x20}}));
  EXPECT_EQ(load("10 20\n11 2\x1A"
                 "1\n12 22\n",
                 &w),
            0);  // nothing after it
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x11, 0x2}}));
  EXPECT_EQ(load("\t 10\t\t20   \n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}}));

  // The same address twice: both writes, in file order.
  EXPECT_EQ(load("10 1\n10 2\n10 1\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x10, 1}, {0x10, 2}, {0x10, 1}}));

  // A NUL ends the line's text: the rest of its line is not read.
  EXPECT_EQ(load(std::string("10 20\0 junk\n11\0 21\n", 19), &w), -7);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}}));
  EXPECT_EQ(load(std::string("\0# x\n12 22\n", 11), &w), 0);
  EXPECT_EQ(w, (Writes{{0x12, 0x22}}));

  // One token: -7, the earlier pairs stay written.
  EXPECT_EQ(load("10 20\n11 21\n12\n13 23\n", &w), -7);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x11, 0x21}}));
  EXPECT_STREQ(board.errorMessage(-7), "Error reading BFX file.");
}

TEST_F(Loader, FieldConversions) {
  Writes w;
  EXPECT_EQ(load("FFFF 1\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0xFFFF, 1}}));
  EXPECT_EQ(load("10000 1\n", &w), -7);
  EXPECT_TRUE(w.empty());
  EXPECT_EQ(load("-1 1\n", &w), -7);
  EXPECT_EQ(load("100000000 1\n", &w), -7);
  EXPECT_EQ(load("FFFFFFFFFFFFFFFF 1\n", &w), -7);

  EXPECT_EQ(
      load("1 FFFFFFFF\n2 -1\n3 -0\n4 -FFFFFFFF\n5 00000000FFFFFFFF\n", &w), 0);
  EXPECT_EQ(
      w,
      (Writes{
          {1, 0xFFFFFFFF}, {2, 0xFFFFFFFF}, {3, 0}, {4, 1}, {5, 0xFFFFFFFF}}));
  EXPECT_EQ(load("1 100000000\n", &w), -7);
  EXPECT_EQ(load("1 -100000000\n", &w), -7);

  EXPECT_EQ(load("1 0x1f\n2 0X1F\n3 +1F\n4 1f\n5 -0x1\n6 0x\n7 0xZ\n", &w), 0);
  EXPECT_EQ(w, (Writes{{1, 0x1F},
                       {2, 0x1F},
                       {3, 0x1F},
                       {4, 0x1F},
                       {5, 0xFFFFFFFF},
                       {6, 0},
                       {7, 0}}));

  // Conversion stops at the first non-digit; no digit gives 0.
  EXPECT_EQ(load("12G4 ZZ\n0x10 #20\nZZ 12G4\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x12, 0}, {0x10, 0}, {0, 0x12}}));

  // An error indicator left over from an earlier call changes nothing.
  errno = ERANGE;
  EXPECT_EQ(load("1 FFFFFFFF\n2 -1\n", &w), 0);
  EXPECT_EQ(w, (Writes{{1, 0xFFFFFFFF}, {2, 0xFFFFFFFF}}));
}

TEST_F(Loader, LongLines) {
  Writes w;
  // A line of exactly 79 characters is one line.
  std::string line79 = "10 20 ";
  line79.append(79 - line79.size(), 'x');
  ASSERT_EQ(line79.size(), 79u);
  EXPECT_EQ(load(line79 + "\n11 21\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x11, 0x21}}));

  // A long remark after the fields never becomes a pair of its own.
  std::string remark = "10 20 ";
  while (remark.size() < 400) remark += "30 40 #50 ";
  EXPECT_EQ(load(remark + "\n" + remark + "\r\n", &w), 0);
  EXPECT_EQ(w, (Writes{{0x10, 0x20}, {0x10, 0x20}}));

  // Up to 64 KiB a line is whole; beyond it the load gives -7 at once.
  std::string longest = "10 20 ";
  longest.append(65536 - longest.size(), 'r');
  EXPECT_EQ(load(longest + "\r\n" + longest + "\n" + longest, &w), 0);
  EXPECT_EQ(w.size(), 3u);
  EXPECT_EQ(load("11 21\n" + longest + "r\n12 22\n", &w), -7);
  EXPECT_EQ(w, (Writes{{0x11, 0x21}}));
  EXPECT_EQ(load("# " + std::string(200000, '#'), &w), -7);
  EXPECT_TRUE(w.empty());
}

}  // namespace
