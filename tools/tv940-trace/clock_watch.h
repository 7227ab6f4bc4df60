// The clock-programming line of a trace, fed to the simulated card's own
// decoder: every programming sequence, what it set and what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/clock_decoder.h"
#include "tools/tv940-trace/report.h"

namespace trace {

class ClockWatch {
 public:
  // A write to the clock-programming port at trace line `line`.
  void portWrite(std::size_t line, std::uint32_t value);
  // True once a programming sequence has been taken: the clock runs.
  bool running() const { return decoder_.running(); }
  // Adds a "clock:" line per sequence and the warnings; call once, last.
  void finish(Findings& findings);

 private:
  void endSequence(bool taken);
  void checkSetting(const sim::ClockSetting& setting);
  std::string framesText() const;

  sim::ClockDecoder decoder_;  // the card's reference
  std::size_t firstLine_ = 0;  // of the sequence under way; 0: none
  std::size_t lastLine_ = 0;
  std::size_t bits_ = 0;
  std::size_t firstFrame_ = 0;  // the sequence's first frame in the decoder
  std::size_t violationsSeen_ = 0;
  bool violated_ = false;  // the sequence under way broke the protocol
  unsigned programmings_ = 0;
  bool any_ = false;
  Findings found_;
};

}  // namespace trace
