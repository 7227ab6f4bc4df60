// The accumulator design's C++ model, as the plug-in and the host program's
// software model (accumulate -s) both use it. Column 0 adds what is written
// to it (where mask 0xC014 is set) and reads the sum; column 1 holds the
// threshold; a write to column 2 clears the sum. The add that takes the sum
// from below the threshold to it or above raises the interrupt once, with
// the new sum as its word. Registers latch only while the clock runs.
#pragma once

#include <tv940/design_plugin.h>

#include <cstdint>

class Accumulator {
 public:
  void writeColumn(unsigned column, std::uint32_t value,
                   const tv940_chip_context& chip) {
    pending_ = 0;  // the interrupt lasts one access
    if (!chip.clock_running) return;
    value &= chip.mask_c014;
    if (column == 0) {
      const std::uint32_t added = sum_ + value;
      if (sum_ < threshold_ && added >= threshold_) pending_ = added;
      sum_ = added;
    } else if (column == 1) {
      threshold_ = value;
    } else if (column == 2) {
      sum_ = 0;
    }
  }

  std::uint32_t readColumn(unsigned column, const tv940_chip_context&) {
    pending_ = 0;
    return column == 0 ? sum_ : column == 1 ? threshold_ : 0;
  }

  // Polled after each access: nonzero once, after the crossing add.
  std::uint32_t interrupt() const { return pending_; }

 private:
  std::uint32_t sum_ = 0;
  std::uint32_t threshold_ = 0;
  std::uint32_t pending_ = 0;
};

// The identification word its design file carries ("ACCU").
constexpr std::uint32_t kAccumulatorIdentification = 0x41434355;
