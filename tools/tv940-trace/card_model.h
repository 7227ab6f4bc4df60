// The card as the device model says it should answer, fed a trace's events
// in order: the chip with every known design as intended (a faulty
// variant's parameters are not taken), the clock synthesizer, the control
// ports and the window below the chip. check holds the card's reads in a
// trace against its answers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/clock_decoder.h"
#include "tools/tv940-trace/trace_file.h"

namespace trace {

class CardModel {
 public:
  // `ioBase`: the trace's I/O base.
  explicit CardModel(std::uint32_t ioBase);

  // A request, port output or write: the model takes it. Interrupts and
  // reads change nothing here.
  void take(const Event& event);
  // A read (rd, drd, in): what the model answers to it, as the card would
  // at that point; a read of column 2 steps the shift register.
  std::uint32_t answer(const Event& event);
  // The bits of a read's answer that carry status no model predicts.
  std::uint32_t statusBits(const Event& event);
  // A port event's offset from the trace's I/O base.
  std::uint32_t portOffset(const Event& event) const {
    return (event.where - ioBase_) & 0xFFFF;
  }

  // What the model can judge, once the trace is through: the clock it ran
  // at, the design it ran ("" none), the configuration written.
  const sim::ClockDecoder& clock() const { return clock_; }
  const std::string& design() const { return design_; }
  std::size_t configurationWrites() const { return configurationWrites_; }
  std::uint32_t identification() const {
    return chip_.peek(card::kConfigurationBase);
  }
  bool identificationWritten() const { return identificationWritten_; }
  // Makes the chip recognise a configuration written after the last column
  // access.
  void settle() { chip_.activeDesign(); }

 private:
  struct Free {
    void operator()(std::uint32_t* words) const { std::free(words); }
  };

  std::uint32_t readWindow(const Event& event);
  void writeWindow(const Event& event);

  sim::Chip chip_;
  sim::ClockDecoder clock_;
  std::uint32_t ioBase_;
  // Words below the chip, zeroed by calloc: only pages a trace writes are
  // ever made.
  std::unique_ptr<std::uint32_t[], Free> below_;
  std::string design_;
  std::vector<sim::StatusBits> status_;  // of the design running
  std::size_t configurationWrites_ = 0;
  bool identificationWritten_ = false;
};

}  // namespace trace
