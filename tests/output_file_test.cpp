// The programs' output file: created or truncated, every flushed line in the
// file at once, text-mode line ends, pending text written at the close, and
// failures reported; with the two line writers' exact bytes.
#include "testprog/output_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "boardlib/board.h"
#include "kelpori/shift_register.h"
#include "vontrel/multiply_add.h"

namespace {

namespace fs = std::filesystem;

// What a '\n' written in text mode becomes in the file.
#ifdef _WIN32
const std::string kLineEnd = "\r\n";
#else
const std::string kLineEnd = "\n";
#endif

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("output_file_test." + std::to_string(getpid()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    path_ = (directory_ / "test.out").string();
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path directory_;
  std::string path_;
};

TEST_F(OutputFileTest, EveryFlushedLineIsInTheFileAtOnce) {
  std::ofstream(path_, std::ios::binary) << "earlier results, longer than a "
                                            "line of either program\n";
  testprog::OutputFile file("test", path_.c_str());
  testing::internal::CaptureStderr();
  ASSERT_TRUE(file.open());
  EXPECT_EQ(readFile(path_), "") << "the earlier file is truncated";

  kelpori::writeStateLine(file.stream(), 0xbeef, 0x0123abcd);
  ASSERT_TRUE(file.stream());
  std::string expected = "SR: Oxbeef0123abcd" + kLineEnd;
  EXPECT_EQ(readFile(path_), expected) << "before the close";

  vontrel::writeResultLine(file.stream(), {41, 35, 190, 1924}, 75130);
  ASSERT_TRUE(file.stream());
  expected += "41*190 + 35*1924 = 75130" + kLineEnd;
  EXPECT_EQ(readFile(path_), expected) << "before the close";

  EXPECT_TRUE(file.close());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(readFile(path_), expected);
}

TEST_F(OutputFileTest, ACreatedFileHoldsExactlyTheLines) {
  ASSERT_FALSE(fs::exists(path_));
  testprog::OutputFile file("test", path_.c_str());
  ASSERT_TRUE(file.open());
  EXPECT_TRUE(fs::exists(path_)) << "created by the open";
  for (std::uint32_t shift : {0u, 1u, 0xFFFFFFFFu})
    kelpori::writeStateLine(file.stream(), 0x0001, shift);
  ASSERT_TRUE(file.close());
  EXPECT_EQ(readFile(path_), "SR: Ox000100000000" + kLineEnd +
                                 "SR: Ox000100000001" + kLineEnd +
                                 "SR: Ox0001ffffffff" + kLineEnd);
}

// Text beyond the buffer's size, and text never flushed: all of it reaches
// the file, in order.
TEST_F(OutputFileTest, LongAndUnflushedTextIsWrittenWhole) {
  std::string expected;
  {
    testprog::OutputFile file("test", path_.c_str());
    ASSERT_TRUE(file.open());
    for (int i = 0; i < 1000; ++i) {
      file.stream() << i << ' ';
      expected += std::to_string(i) + ' ';
    }
    file.stream() << '\n' << std::flush;
    expected += kLineEnd;
    EXPECT_EQ(readFile(path_), expected);
    file.stream() << "no flush";
    expected += "no flush";
    ASSERT_TRUE(file.close());
  }
  EXPECT_EQ(readFile(path_), expected);
}

TEST_F(OutputFileTest, AFileThatCannotBeCreatedIsReported) {
  const std::string blocked = (directory_ / "blocked.out").string();
  fs::create_directory(blocked);
  testprog::OutputFile file("test", blocked.c_str());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(file.open());
  // The message, then the system's reason (EACCES from the Windows runtime).
#ifdef _WIN32
  const int error = EACCES;
#else
  const int error = EISDIR;
#endif
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't open " + blocked + " for output: Exiting!\ntest: " +
                blocked + ": " + std::strerror(error) + "\n");
  EXPECT_TRUE(fs::is_empty(blocked));
}

#ifndef _WIN32
// A full disk: the failed line fails the stream, later lines stay failed,
// and the close reports the write's reason once.
TEST_F(OutputFileTest, AFailedWriteIsReportedWithItsReason) {
  testprog::OutputFile file("test", "/dev/full");
  ASSERT_TRUE(file.open());
  kelpori::writeStateLine(file.stream(), 0, 0);
  EXPECT_FALSE(file.stream());
  file.stream().clear();
  vontrel::writeResultLine(file.stream(), {1, 2, 3, 4}, 11);
  EXPECT_FALSE(file.stream()) << "a write after the failure";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(file.close());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("test: error writing /dev/full: ") +
                std::strerror(ENOSPC) + "\n");
}

// The output never empties or writes the trace's file, named directly or
// through a link.
TEST_F(OutputFileTest, TheTraceIsNeverTheOutput) {
  const std::string trace = (directory_ / "run.trace").string();
  fs::create_symlink("run.trace", directory_ / "link.out");
  setenv("TV940_DEVICE", "sim", 1);
  setenv("TV940_TRACE", trace.c_str(), 1);
  Board board;
  ASSERT_EQ(board.open(), 0) << Board::openFailure();
  unsetenv("TV940_TRACE");
  ASSERT_STREQ(Board::traceFailure(), "");
  const std::string written = readFile(trace);
  ASSERT_NE(written, "");
  for (const fs::path& named : {fs::path(trace), directory_ / "link.out"}) {
    testprog::OutputFile file("test", named.c_str());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(file.open());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open " + named.string() +
                  " for output: Exiting!\ntest: " + named.string() +
                  ": it is the trace file (TV940_TRACE): the output and the "
                  "trace would spoil each other\n");
  }
  EXPECT_EQ(readFile(trace), written);
  board.close();
}
#endif

// The line writers' bytes, written to memory.
std::string stateLine(std::uint16_t capture, std::uint32_t shift) {
  std::ostringstream out;
  kelpori::writeStateLine(out, capture, shift);
  EXPECT_TRUE(out);
  return out.str();
}

std::string resultLine(const vontrel::Operands& operands,
                       std::uint32_t result) {
  std::ostringstream out;
  vontrel::writeResultLine(out, operands, result);
  EXPECT_TRUE(out);
  return out.str();
}

TEST(LineWriters, StateLinesAreZeroPaddedLowerCaseHex) {
  EXPECT_EQ(stateLine(0, 0), "SR: Ox000000000000\n");
  EXPECT_EQ(stateLine(0xFFFF, 0xFFFFFFFF), "SR: Oxffffffffffff\n");
  EXPECT_EQ(stateLine(0x00a1, 0x0000b2c3), "SR: Ox00a10000b2c3\n");
  EXPECT_EQ(stateLine(0x1234, 0x56789abc), "SR: Ox123456789abc\n");
  EXPECT_EQ(stateLine(0xF000, 0xF0000000), "SR: Oxf000f0000000\n");
}

TEST(LineWriters, ResultLinesAreDecimalInOperandOrder) {
  // Operands are {x1, x2, y1, y2}; the line reads x1*y1 + x2*y2.
  EXPECT_EQ(resultLine({1, 2, 3, 4}, 11), "1*3 + 2*4 = 11\n");
  EXPECT_EQ(resultLine({0, 0, 0, 0}, 0), "0*0 + 0*0 = 0\n");
  EXPECT_EQ(resultLine({2047, 2047, 2047, 2047}, 8380418),
            "2047*2047 + 2047*2047 = 8380418\n");
  EXPECT_EQ(resultLine({10, 100, 1000, 9}, 10900), "10*1000 + 100*9 = 10900\n");
}

// Any values, however far outside the operands' range, print whole, as the
// stream's own formatting prints them.
TEST(LineWriters, ResultLinesHoldAnyValues) {
  const std::int32_t low = std::numeric_limits<std::int32_t>::min();
  const std::int32_t high = std::numeric_limits<std::int32_t>::max();
  const std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  std::ostringstream expected;
  expected << low << '*' << low << " + " << high << '*' << low << " = " << most
           << '\n';
  EXPECT_EQ(resultLine({low, high, low, low}, most), expected.str());
}

}  // namespace
