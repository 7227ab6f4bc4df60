// The chip behind the simulated card's window: its 16-bit address space of
// 32-bit registers, the column registers with the data-bus width, the
// configuration memory and the behavioural design that a complete
// configuration brings to life. It stands on its own: tests use it without
// opening a device, and the card serializes every call.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/design.h"

namespace sim {

class Chip {
 public:
  Chip();  // as after power-up: every register 0, an 8-bit data bus
  ~Chip();
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  // One word access, as the window or a driver request makes it. Registers
  // 8 bits wide keep the low byte; a column register carries the bus width
  // and reaches the design; 0xC03F echoes what was written (unless echo is
  // off, when it never does).
  std::uint32_t read(std::uint16_t address);
  void write(std::uint16_t address, std::uint32_t value);

  // The register as stored, without the effects of a read.
  std::uint32_t peek(std::uint16_t address) const { return words_[address]; }

  // Data-bus width from bits 2-3 of 0xC000: 8, 16 or 32 (0 when reserved).
  int busWidth() const;

  void setIdentificationEcho(bool on) { echo_ = on; }
  // Which variant of a recognised design runs (as configured by default);
  // takes effect at the next recognition.
  void setDesignVariant(DesignVariant variant) { variant_ = variant; }
  // Whether the synthesizer runs: the design's registers latch only then.
  void setClockRunning(bool running) { clockRunning_ = running; }

  // The name of the design the configuration holds ("" when none is
  // completely loaded); a faulty variant adds its fault in parentheses.
  const std::string& activeDesign() const;
  // The status bits of the design the configuration holds (none without
  // one): bits of a column's reads that no design predicts.
  const std::vector<StatusBits>& designStatus() const {
    recogniseIfChanged();
    return designStatus_;
  }

  // Called with the design's name (as activeDesign gives it) each time the
  // chip recognises a design in its configuration.
  void onRecognised(std::function<void(const std::string&)> observer) {
    recognised_ = std::move(observer);
  }
  // Called with the word each time the design asks for an interrupt after a
  // column access.
  void onInterrupt(std::function<void(std::uint32_t)> observer) {
    interrupted_ = std::move(observer);
  }

 private:
  struct Free {
    void operator()(std::uint32_t* words) const { std::free(words); }
  };

  std::uint32_t readColumn(std::uint16_t address);
  void writeColumn(std::uint16_t address, std::uint32_t value);
  void recogniseIfChanged() const {
    if (configurationChanged_) recognise();
  }
  void recognise() const;
  ChipContext context() const;
  void pollInterrupt();

  // One word per address, zeroed by calloc: where large blocks come as
  // fresh zero pages, only the pages a program touches are ever made.
  std::unique_ptr<std::uint32_t[], Free> words_;
  bool echo_ = true;
  DesignVariant variant_ = DesignVariant::AsConfigured;
  bool clockRunning_ = false;
  // The design follows from the configuration; recognising it lazily, at
  // the next use after a change, does not change what the chip shows (hence
  // mutable) and keeps a word-by-word load linear.
  mutable bool configurationChanged_ = false;
  mutable std::unique_ptr<Design> design_;
  mutable std::string designName_;
  mutable std::vector<StatusBits> designStatus_;
  std::function<void(const std::string&)> recognised_;
  std::function<void(std::uint32_t)> interrupted_;
};

}  // namespace sim
