// The card's clock synthesizer, as seen from its one-bit programming line:
// the card hands it every bit written to the clock-programming port. It
// recognises the protocol word, removes the stuffed zeros, splits the line
// into frames, decodes the programming word and reports the output frequency
// the synthesizer was programmed to, flagging every protocol violation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ClockSetting {
  std::uint32_t word;  // the 22-bit programming word
  unsigned p;          // multiplier, 4 to 130
  unsigned q;          // reference divider, 3 to 129
  unsigned k;          // post-divider exponent, 0 to 7
  unsigned range;      // range field, 0 or 8
  double outputMHz;    // 2 * reference * p / q / 2^k
};

class ClockDecoder {
 public:
  explicit ClockDecoder(double referenceMHz = 16.0);

  // One 32-bit output to the clock-programming port; only bit 0 may be set
  // (anything else is a violation, and bit 0 is taken).
  void portWrite(std::uint32_t value);

  // The frames decoded so far, stuffed zeros removed, each as its bits in
  // line order (first sent first).
  const std::vector<std::vector<int>>& frames() const { return frames_; }
  // Every protocol violation seen, one line each.
  const std::vector<std::string>& violations() const { return violations_; }
  // Bits seen on the line.
  std::uint64_t bitsSeen() const { return bitsSeen_; }

  // The setting of the last complete, valid programming sequence, if any.
  std::optional<ClockSetting> setting() const { return setting_; }
  // True once a valid setting has been programmed and the clock runs.
  bool running() const { return setting_.has_value(); }

 private:
  double referenceMHz_;
  std::uint64_t bitsSeen_ = 0;
  std::vector<int> raw_;  // line bits since the last protocol word
  std::vector<std::vector<int>> frames_;
  std::vector<std::string> violations_;
  std::optional<ClockSetting> setting_;
  // Further decoder state as needed.
};

}  // namespace sim
