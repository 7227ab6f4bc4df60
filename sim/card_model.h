// The whole card as a device model, free of any OS: the PCI configuration
// block, the control ports, the clock-programming port feeding the clock
// decoder (whose running clock the chip's design latches on), the board
// memory in the window below the chip, the chip with its design, and the
// interrupt word. The simulated card serves a program's accesses from it;
// tv940-trace check replays a trace into it. It is not thread-safe: its
// owner serializes every call.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "card/card_map.h"
#include "card/trace_format.h"
#include "sim/chip.h"
#include "sim/clock_decoder.h"

namespace sim {

// One event on the card, in program order: the events of the trace.
using EventKind = card::trace::Kind;
using Event = card::trace::Event;

using ConfigBlock = std::array<std::uint8_t, card::kConfigBlockSize>;

class CardModel {
 public:
  // A card answering at the I/O base that base address register 1 of the
  // block holds.
  explicit CardModel(const ConfigBlock& block);
  ~CardModel();
  CardModel(const CardModel&) = delete;
  CardModel& operator=(const CardModel&) = delete;

  // A block that holds nothing but an I/O base in register 1.
  static ConfigBlock blockWithIoBase(std::uint16_t ioBase);

  // ---- Configuration block ----
  const ConfigBlock& configBlock() const { return config_; }
  // The block from now on; the I/O base stays where the card was opened.
  void setConfigBlock(const ConfigBlock& block) { config_ = block; }
  std::uint16_t ioBase() const { return ioBase_; }

  // ---- Control ports, by port address ----
  // A port outside the card's ports reaches nothing: an input reads
  // 0xFFFFFFFF. A write to the clock-programming port goes to the clock
  // decoder, and the chip's design latches once the clock runs.
  void portOut(std::uint16_t port, std::uint32_t value);
  std::uint32_t portIn(std::uint16_t port);
  // By offset from the I/O base: what inputs read (0 until set), and the
  // last value written.
  void setPortInput(std::uint16_t offset, std::uint32_t value);
  std::uint32_t lastPortOutput(std::uint16_t offset) const;
  // Whether an offset from the I/O base is one of the card's ports.
  static bool isPort(std::uint32_t offset) {
    return offset < card::kPortSpan && offset % 4 == 0;
  }

  // ---- The window, by byte offset ----
  // One word access as the window (rd, wr) or a driver request (drd, dwr)
  // makes it; `kind` is the event it records. The chip answers from
  // kChipBase up; below it is plain board memory (0 until written). An
  // offset outside the window or off a word boundary reaches nothing.
  std::uint32_t windowRead(std::uint32_t offset, EventKind kind);
  void windowWrite(std::uint32_t offset, std::uint32_t value, EventKind kind);
  // Whether `words` whole words from a byte offset lie in the window.
  static bool inWindow(std::uint64_t offset, std::uint64_t words) {
    return offset % 4 == 0 && offset + 4 * words <= card::kWindowSize;
  }

  // ---- Interrupt ----
  // The card raises its interrupt with this word (the design does so too,
  // after a column access): the word is kept for request 10, the event is
  // recorded and the interrupt observer called.
  void raiseInterrupt(std::uint32_t word);
  std::uint32_t interruptWord() const { return interruptWord_; }

  // ---- Pieces ----
  Chip& chip() { return chip_; }
  const Chip& chip() const { return chip_; }
  const ClockDecoder& clock() const { return clock_; }

  // ---- Hooks ----
  // Every event the card sees, in program order (requests through record).
  void onEvent(std::function<void(const Event&)> observer) {
    events_ = std::move(observer);
  }
  // Every interrupt the card raises, with its word.
  void onInterrupt(std::function<void(std::uint32_t)> observer) {
    interrupted_ = std::move(observer);
  }
  // Records an event the owner serves itself (a driver request).
  void record(const Event& event) {
    if (events_) events_(event);
  }

 private:
  // Board memory below the chip, in pages made at their first write: a
  // card that is never written there holds none of it.
  static constexpr std::uint32_t kPageWords = 1024;
  static constexpr std::uint32_t kPages = card::kChipBase / 4 / kPageWords;
  std::uint32_t belowChip(std::uint32_t offset) const;
  void setBelowChip(std::uint32_t offset, std::uint32_t value);

  void raisePending();

  ConfigBlock config_;
  const std::uint16_t ioBase_;
  std::array<std::uint32_t, card::kPortSpan / 4> inputs_{};
  std::array<std::uint32_t, card::kPortSpan / 4> outputs_{};
  ClockDecoder clock_{card::kClockReferenceMHz};
  std::array<std::unique_ptr<std::uint32_t[]>, kPages> below_;
  Chip chip_;
  std::uint32_t interruptWord_ = 0;
  std::uint32_t pendingInterrupt_ = 0;  // asked for by the design
  std::function<void(const Event&)> events_;
  std::function<void(std::uint32_t)> interrupted_;
};

}  // namespace sim
