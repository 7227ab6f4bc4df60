// Error codes and their messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "boardlib/board.h"

namespace {

TEST(ErrorMessages, TableByMagnitude) {
  const Board board;  // no connection needed
  const char* const expected[12] = {
      "No error.",
      "No PCI support in BIOS.",
      "Could not find PCI board.",
      "Could not read PCI configuration register.",
      "PCI vendor/device ID incorrect.",
      "Bad configuration data in PCI device configuration header.",
      "Could not find BFX file.",
      "Error reading BFX file.",
      "Unknown PCI error.",
      "Device Driver not found",
      "Device Driver initialisation failed.",
      "",
  };
  for (int code = 0; code < 12; ++code) {
    ASSERT_NE(board.errorMessage(-code), nullptr) << code;
    EXPECT_STREQ(board.errorMessage(-code), expected[code]) << code;
    // A positive code gives the message of its negative.
    EXPECT_EQ(board.errorMessage(code), board.errorMessage(-code)) << code;
  }
}

TEST(ErrorMessages, CodesBeyondTheTable) {
  const Board board;
  const char* const unknown = board.errorMessage(12);
  ASSERT_NE(unknown, nullptr);
  EXPECT_NE(std::string(unknown), "");
  for (const ErrorCode code :
       {-12, 13, -1000, std::numeric_limits<std::int32_t>::max(),
        std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_STREQ(board.errorMessage(code), unknown) << code;
  }
  for (int code = 0; code < 12; ++code) {
    EXPECT_STRNE(board.errorMessage(-code), unknown) << code;
  }
}

}  // namespace
