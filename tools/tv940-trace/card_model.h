// The checker's view of the device model (sim/card_model.h), fed a trace's
// events in order: the card with every known design as intended (a faulty
// variant's parameters are not taken), and the status bits of a read that no
// design predicts. check holds the card's reads in a trace against its
// answers.
#pragma once

#include <cstdint>
#include <string>

#include "sim/card_model.h"
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
  const sim::ClockDecoder& clock() const { return card_.clock(); }
  const std::string& design() const { return design_; }
  std::size_t configurationWrites() const { return configurationWrites_; }
  std::uint32_t identification() const {
    return card_.chip().peek(card::kConfigurationBase);
  }
  bool identificationWritten() const { return identificationWritten_; }
  // Makes the chip recognise a configuration written after the last column
  // access.
  void settle() { card_.chip().activeDesign(); }

 private:
  // The window offset an event's word lies at.
  static std::uint32_t offsetOf(const Event& event) {
    return event.inChip ? card::windowOffset(event.where) : event.where;
  }

  std::uint32_t ioBase_;
  sim::CardModel card_;
  std::string design_;
  std::size_t configurationWrites_ = 0;
  bool identificationWritten_ = false;
};

}  // namespace trace
