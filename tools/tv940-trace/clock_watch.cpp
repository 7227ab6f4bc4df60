// Programming sequences on the clock line, as the card's decoder takes them.
#include "tools/tv940-trace/clock_watch.h"

#include <cmath>
#include <vector>

#include "card/card_map.h"
#include "sim/design.h"

namespace trace {
namespace {

// The synthesizer's oscillator runs at 2 x reference x P / Q, within its
// band; the range field says whether it runs at 80 MHz or more.
constexpr double kOscillatorLowMHz = card::kClockOscillatorMinMHz;
constexpr double kOscillatorHighMHz = card::kClockOscillatorMaxMHz;

// Frame layout: an 8-bit command, or the 22-bit programming word followed
// by an 8-bit command.
constexpr std::size_t kCommandBits = card::kCommandBits;
constexpr std::size_t kWordBits = card::kProgrammingWordBits;

std::uint32_t valueOf(const std::vector<int>& bits, std::size_t from,
                      std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count && from + i < bits.size(); ++i) {
    value |= static_cast<std::uint32_t>(bits[from + i] & 1) << i;
  }
  return value;
}

std::string lines(std::size_t first, std::size_t last) {
  return first == last ? format("line %zu", first)
                       : format("lines %zu-%zu", first, last);
}

}  // namespace

void ClockWatch::portWrite(std::size_t line, std::uint32_t value) {
  if (firstLine_ == 0) firstLine_ = line;
  lastLine_ = line;
  ++bits_;
  any_ = true;
  decoder_.portWrite(value);
  for (const auto& bits : decoder_.frames()) addFrame(bits);
  for (const std::string& violation : decoder_.violations()) {
    warn(format("clock protocol, line %zu: %s", line, violation.c_str()));
    violated_ = true;
  }
  decoder_.forgetHistory();  // all taken: the decoder keeps no history
  if (decoder_.programmings() != programmings_) {
    programmings_ = decoder_.programmings();
    endSequence(true);
  }
}

void ClockWatch::addFrame(const std::vector<int>& bits) {
  if (frameCount_++ == kShown) frames_ += "; ...";
  if (frameCount_ > kShown) return;
  if (!frames_.empty()) frames_ += "; ";
  if (bits.size() == kCommandBits) {
    frames_ += format("command %u", valueOf(bits, 0, kCommandBits));
  } else if (bits.size() == kWordBits + kCommandBits) {
    frames_ += format("word 0x%06x, command %u", valueOf(bits, 0, kWordBits),
                      valueOf(bits, kWordBits, kCommandBits));
  } else {
    frames_ += format("%zu bits", bits.size());
  }
}

void ClockWatch::add(const std::string& text) {
  if (found_.lines.size() < kShown) {
    found_.add("clock", text);
  } else {
    ++moreLines_;
    lastMoreLines_ = lines(firstLine_, lastLine_);
  }
}

void ClockWatch::warn(const std::string& text) {
  if (found_.warnings.size() < kShown) {
    found_.warn(text);
  } else {
    ++moreWarnings_;
  }
}

void ClockWatch::endSequence(bool taken) {
  const std::string where = lines(firstLine_, lastLine_);
  const std::string frames = frames_.empty() ? "none" : frames_;
  if (taken) {
    const sim::ClockSetting s = *decoder_.setting();
    add(
        format("P %u, Q %u, k %u, range %u: %.6g MHz from %.6g MHz (%s; "
               "frames: %s)",
               s.p, s.q, s.k, s.range, s.outputMHz, decoder_.referenceMHz(),
               where.c_str(), frames.c_str()));
    checkSetting(s);
  } else {
    add(format("%zu bits on %s, no setting taken (frames: %s)", bits_,
               where.c_str(), frames.c_str()));
    if (!violated_) {
      warn(
          format("clock, %s: the programming sequence is unfinished; "
                 "the synthesizer keeps its previous setting",
                 where.c_str()));
    }
  }
  firstLine_ = 0;
  bits_ = 0;
  frames_.clear();
  frameCount_ = 0;
  violated_ = false;
}

void ClockWatch::checkSetting(const sim::ClockSetting& s) {
  const double reference = decoder_.referenceMHz();
  const double oscillator = 2.0 * reference * s.p / s.q;
  if (oscillator < kOscillatorLowMHz || oscillator > kOscillatorHighMHz) {
    warn(
        format("clock, line %zu: the oscillator (2 x %.6g MHz x P / Q) "
               "would run at %.6g MHz, outside %.6g-%.6g MHz",
               lastLine_, reference, oscillator, kOscillatorLowMHz,
               kOscillatorHighMHz));
  }
  const unsigned range = card::clockRangeFor(oscillator);
  if (s.range != range) {
    warn(
        format("clock, line %zu: range field %u, but an oscillator at "
               "%.6g MHz needs %u",
               lastLine_, s.range, oscillator, range));
  }
  // Both programs bring the board up at one clock; any other frequency means
  // the line did not carry what the program sent.
  const double wanted = sim::kDesignClockMHz;
  if (reference != card::kClockReferenceMHz ||
      std::fabs(s.outputMHz - wanted) > 1e-6 * wanted) {
    warn(format(
        "clock, line %zu: %.6g MHz, not the %.6g MHz from "
        "%.6g MHz that the test programs' bring-up programs",
        lastLine_, s.outputMHz, wanted, double{card::kClockReferenceMHz}));
  }
}

void ClockWatch::finish(Findings& findings) {
  if (firstLine_ != 0) endSequence(false);
  if (!any_)
    findings.add("clock", "the clock-programming port was not written");
  if (moreLines_ != 0) {
    found_.add("clock", format("%zu further programming sequences, the last "
                               "on %s",
                               moreLines_, lastMoreLines_.c_str()));
  }
  if (moreWarnings_ != 0)
    found_.warn(format("clock: %zu further warnings not shown", moreWarnings_));
  findings.lines.insert(findings.lines.end(), found_.lines.begin(),
                        found_.lines.end());
  findings.warnings.insert(findings.warnings.end(), found_.warnings.begin(),
                           found_.warnings.end());
}

}  // namespace trace
