// The simulated card: the stand-in for the driver and the card, selected with
// TV940_DEVICE=sim. This header is its own interface for tests and tools;
// programs reach the card only through the platform seam.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/trace.h"

namespace sim {

class ClockDecoder;

// One event on the card, in program order: the events of the trace.
using EventKind = platform::trace::Kind;
using Event = platform::trace::Event;

// The trace line of an event, without line end: "req 5", "out e018 00000000",
// "wr c008 00000000", "rd @000010 00000000", "irq 0000002a", ...
inline std::string formatEvent(const Event& event) {
  return platform::trace::format(event);
}

// Window byte offset of a chip address.
constexpr std::uint32_t windowOffsetOf(std::uint32_t address) {
  return (address << 2) | platform::kChipRegion;
}

// The size of the card's chip window.
constexpr std::uint32_t kWindowSize = platform::kChipWindowSize;

// ---- Settings for the next open of the simulated card ---------------------
// Tests set these before Board::open; TV940_SIM_FAULTS adds faults for whole
// program runs.

struct Settings {
  std::array<std::uint8_t, 148> configBlock;  // the PCI configuration block
  bool noDevice = false;      // fault "no-device": the device open fails
  bool checkFails = false;    // fault "check-fails": request 0 fails
  bool memoryBar1 = false;    // fault "memory-bar1": register 1 bit 0 clear
  bool noAnswer = false;      // fault "no-answer": every request but 0 fails
  bool stuckWatcher = false;  // fault "stuck-watcher": request 10 never returns
                              // until releaseStuckRequests()
  bool identificationEcho = true;  // 0xC03F reads back what was written
  bool recordEvents = false;       // keep events in memory for events()

  Settings();  // the default header: BAR0 0xF8000000, BAR1 0x0000E001
};

// The settings the next open uses; tests may change them freely.
Settings& nextSettings();
// Restores the defaults (also forgets the current card).
void resetSettings();
// Parses a comma-separated fault list into settings. False with *error
// ("unknown simulated-card fault 'xyz'") for an unknown name.
bool applyFaults(const std::string& list, Settings& settings,
                 std::string* error);

// ---- The card -------------------------------------------------------------

class Card {
 public:
  virtual ~Card() = default;

  // The card of the most recent open of the simulated card, or null.
  static std::shared_ptr<Card> current();

  // Events recorded since the open (or the last clearEvents), when
  // recordEvents was set.
  virtual std::vector<Event> events() const = 0;
  virtual void clearEvents() = 0;

  // Raises an interrupt with a 32-bit word: the card signals the event it
  // was handed by request 3, and request 10 then returns the word.
  virtual void raiseInterrupt(std::uint32_t word) = 0;
  // Number of requests 10 answered.
  virtual unsigned interruptWordRequests() const = 0;
  // Lets stuck requests (fault stuck-watcher) return.
  virtual void releaseStuckRequests() = 0;

  // Control ports by offset from the I/O base.
  virtual void setPortInput(std::uint16_t offset, std::uint32_t value) = 0;
  virtual std::uint32_t lastPortOutput(std::uint16_t offset) const = 0;

  // The configuration block as request 5 returns it from now on.
  virtual void setConfigBlock(const std::array<std::uint8_t, 148>& block) = 0;

  // The chip, without recording an event.
  virtual std::uint32_t peekChip(std::uint16_t address) const = 0;
  virtual void setIdentificationEcho(bool on) = 0;
  // Data-bus width from bits 2-3 of 0xC000: 8, 16 or 32 (0 when invalid).
  virtual int busWidth() const = 0;

  // The clock synthesizer as the card saw it programmed.
  virtual const ClockDecoder& clock() const = 0;

  // The behavioural design the loaded configuration holds ("" when none is
  // completely loaded).
  virtual std::string activeDesign() const = 0;
};

}  // namespace sim
