// The events of a run on the card, one per line of its trace: driver
// requests, port accesses, chip-window and driver words, interrupts. The
// seam traces them; the simulated card keeps a record of them for tests.
#pragma once

#include <cstdint>

namespace card::trace {

enum class Kind {
  Request,      // where = code
  PortOut,      // where = port, value = written
  PortIn,       // where = port, value = read
  WindowWrite,  // where = chip address (inChip) or window byte offset
  WindowRead,   // likewise, value = read
  DriverWrite,  // request 1, one word
  DriverRead,   // request 2, one event per word
  Interrupt,    // value = the word
};

struct Event {
  Kind kind;
  std::uint32_t where;
  std::uint32_t value;
  bool inChip;  // for window and driver words: where is a chip address

  bool operator==(const Event&) const = default;
};

}  // namespace card::trace
