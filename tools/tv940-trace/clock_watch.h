// The clock-programming line of a trace, fed to the simulated card's own
// decoder: every programming sequence, what it set and what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/clock_decoder.h"
#include "tools/tv940-trace/report.h"

namespace trace {

// What it keeps does not grow with the trace: it shows the first
// kShown sequences, warnings and frames of a sequence, and counts the rest.
class ClockWatch {
 public:
  static constexpr std::size_t kShown = 16;

  // A write to the clock-programming port at trace line `line`.
  void portWrite(std::size_t line, std::uint32_t value);
  // True once a programming sequence has been taken: the clock runs.
  bool running() const { return decoder_.running(); }
  // Adds a "clock:" line per sequence and the warnings; call once, last.
  void finish(Findings& findings);

 private:
  void endSequence(bool taken);
  void checkSetting(const sim::ClockSetting& setting);
  void addFrame(const std::vector<int>& bits);
  void add(const std::string& text);
  void warn(const std::string& text);

  sim::ClockDecoder decoder_;  // the card's reference
  std::size_t firstLine_ = 0;  // of the sequence under way; 0: none
  std::size_t lastLine_ = 0;
  std::size_t bits_ = 0;
  std::string frames_;  // the first frames of the sequence under way
  std::size_t frameCount_ = 0;
  bool violated_ = false;  // the sequence under way broke the protocol
  unsigned programmings_ = 0;
  bool any_ = false;
  Findings found_;
  std::size_t moreLines_ = 0, moreWarnings_ = 0;  // beyond kShown
  std::string lastMoreLines_;  // where the last sequence not shown was
};

}  // namespace trace
