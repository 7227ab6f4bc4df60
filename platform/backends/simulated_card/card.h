// The simulated card: the stand-in for the driver and the card, selected with
// TV940_DEVICE=sim. This header is its own interface for tests and tools;
// programs reach the card only through the platform seam.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card_map.h"
#include "platform/backends/simulated_card/settings.h"
#include "sim/card_model.h"

namespace sim {

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
  virtual void setConfigBlock(
      const std::array<std::uint8_t, card::kConfigBlockSize>& block) = 0;

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
