// The card's clock synthesizer, as seen from its one-bit programming line:
// the card hands it every value written to the clock-programming port. It
// recognises the protocol word, removes the stuffed zeros, splits the line
// into frames, decodes the programming word and reports the output frequency
// the synthesizer was programmed to, flagging every protocol violation.
//
// Line encoding: data goes least significant bit first; after three 1s in a
// row a 0 is stuffed, the run counted across consecutive data words. The
// protocol word 0,1,1,1,1,0 is sent as it is and closes a frame; it is the
// only thing on the line with four 1s in a row, and the run starts afresh
// after it.
//
// Programming sequence: three frames, each closed by a protocol word:
//   1. the 8-bit command 5 (open the programming register),
//   2. 30 bits: the 22-bit programming word, then the 8-bit command 4 (load),
//   3. the 8-bit command 0 (switch to the new setting).
// The synthesizer takes the new setting when the third frame's protocol word
// ends, and only when the three frames came in this order with no violation
// among them. Until then it keeps its previous setting; a sequence with a
// violation changes nothing. The clock runs from the first setting taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/card_map.h"

namespace sim {

struct ClockSetting {
  std::uint32_t word;  // the 22-bit programming word
  unsigned p;          // multiplier, 4 to 130
  unsigned q;          // reference divider, 3 to 129
  unsigned k;          // post-divider exponent, 0 to 7
  unsigned range;      // range field, 0 or 8
  double outputMHz;    // 2 * reference * p / q / 2^k
};

enum class ClockViolation {
  PortValue,          // a port value with bits other than bit 0
  StuffedOne,         // a stuffed position carries 1
  MissingStuffedBit,  // a frame ends after three 1s without the stuffed 0
  NoProtocolWord,     // the line ran too long without a protocol word
  FrameLength,        // a frame of the wrong length for its place
  UnexpectedCommand,  // a frame of the right length with the wrong command
  MultiplierRange,    // P outside 4..130
  DividerRange,       // Q outside 3..129, or reference / Q outside 0.2..1 MHz
  ReservedBit,        // bit 14 of the programming word set
  RangeField,         // a range field other than 0 or 8
};

class ClockDecoder {
 public:
  explicit ClockDecoder(double referenceMHz = card::kClockReferenceMHz);

  // The reference the synthesizer multiplies, in MHz.
  double referenceMHz() const { return referenceMHz_; }

  // One 32-bit output to the clock-programming port; only bit 0 may be set
  // (anything else is a violation, and bit 0 is taken).
  void portWrite(std::uint32_t value);

  // The frames decoded so far, stuffed zeros removed, each as its bits in
  // line order (first sent first). Frames lost to a line violation are not
  // among them.
  const std::vector<std::vector<int>>& frames() const { return frames_; }
  // Every protocol violation seen, one line each, and its kind.
  const std::vector<std::string>& violations() const { return violations_; }
  const std::vector<ClockViolation>& violationKinds() const { return kinds_; }
  // Bits seen on the line.
  std::uint64_t bitsSeen() const { return bitsSeen_; }
  // Complete, valid programming sequences taken.
  unsigned programmings() const { return programmings_; }
  // Drops the frames and violations kept so far, for a reader that has taken
  // them and watches a long line; the frame numbers in later violations go
  // on counting.
  void forgetHistory();

  // The setting of the last complete, valid programming sequence, if any.
  std::optional<ClockSetting> setting() const { return setting_; }
  // True once a valid setting has been programmed and the clock runs.
  bool running() const { return setting_.has_value(); }

 private:
  void lineBit(int bit);
  void endFrame();
  void takeFrame(const std::vector<int>& bits);
  std::optional<ClockSetting> decodeWord(std::uint32_t word);
  void violation(ClockViolation kind, const std::string& text);

  double referenceMHz_;
  std::uint64_t bitsSeen_ = 0;
  std::vector<int> raw_;      // line bits since the last protocol word
  unsigned ones_ = 0;         // 1s in a row on the line
  bool inProtocol_ = false;   // four 1s seen, the closing 0 is due
  bool segmentLost_ = false;  // the current frame is lost to a violation
  int stage_ = 0;  // frames of the programming sequence received, or spoiled
  std::optional<ClockSetting> pending_;  // from the sequence's second frame
  unsigned programmings_ = 0;
  std::vector<std::vector<int>> frames_;
  std::size_t framesForgotten_ = 0;
  std::vector<std::string> violations_;
  std::vector<ClockViolation> kinds_;
  std::optional<ClockSetting> setting_;
};

}  // namespace sim
