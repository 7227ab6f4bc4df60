// The messages of the library's error codes.
#include <cstdint>

#include "boardlib/board.h"

namespace {

// Indexed by the magnitude of the code.
constexpr const char* kMessages[12] = {
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

constexpr const char* kUnknownCode = "Unknown error code.";

}  // namespace

const char* Board::errorMessage(ErrorCode code) const {
  // Widened first: the magnitude of the most negative code does not fit.
  const std::int64_t wide = code;
  const std::int64_t magnitude = wide < 0 ? -wide : wide;
  if (magnitude < 12) return kMessages[magnitude];
  return kUnknownCode;
}
