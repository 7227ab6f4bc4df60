// The address ranges the simulated card hands out as its chip window.
#pragma once

#include <cstdint>

namespace sim {

// One reserved, inaccessible range of the window's size: nothing of it is
// committed, so any access that bypasses the seam's accessor faults instead
// of reaching other memory. A range stays reserved after its card has gone,
// so a stale window pointer never reaches a later card; only where address
// space is scarce (32 bits: a few hundred windows would exhaust it) does a
// later card reuse the range of one that has gone.
class WindowRange {
 public:
  WindowRange();  // base() is null when the OS refuses the range
  ~WindowRange();
  WindowRange(const WindowRange&) = delete;
  WindowRange& operator=(const WindowRange&) = delete;

  std::uint8_t* base() const { return base_; }

 private:
  std::uint8_t* const base_;
};

}  // namespace sim
