// Decoding of the clock-programming line, bit by bit.
#include "sim/clock_decoder.h"

#include <cstdio>

#include "card/card_map.h"
#include "card/hex.h"

namespace sim {
namespace {

// The longest frame is 30 data bits with 10 stuffed bits; a line that goes
// on much longer without a protocol word is not being programmed.
constexpr std::size_t kMaxSegmentBits = 64;

// The sequence stage after a violation, until the next start command.
constexpr int kSpoiled = -1;

constexpr std::uint32_t kStartCommand = card::kCommandOpen;
constexpr std::uint32_t kLoadCommand = card::kCommandLoad;
constexpr std::uint32_t kSwitchCommand = card::kCommandSwitch;

// Frame lengths: a command, or the programming word followed by a command.
constexpr std::size_t kCommandFrameBits = card::kCommandBits;
constexpr std::size_t kWordFrameBits =
    card::kProgrammingWordBits + card::kCommandBits;
constexpr std::uint32_t kWordMask = (1u << card::kProgrammingWordBits) - 1;

// "the 8-bit command N"
std::string commandFrame(std::uint32_t command) {
  return "the " + std::to_string(kCommandFrameBits) + "-bit command " +
         std::to_string(command);
}

std::uint32_t valueOf(const std::vector<int>& bits) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bits.size() && i < 32; ++i) {
    value |= static_cast<std::uint32_t>(bits[i] & 1) << i;
  }
  return value;
}

}  // namespace

ClockDecoder::ClockDecoder(double referenceMHz) : referenceMHz_(referenceMHz) {}

void ClockDecoder::violation(ClockViolation kind, const std::string& text) {
  kinds_.push_back(kind);
  violations_.push_back(text);
}

void ClockDecoder::forgetHistory() {
  framesForgotten_ += frames_.size();
  frames_.clear();
  violations_.clear();
  kinds_.clear();
}

void ClockDecoder::portWrite(std::uint32_t value) {
  if ((value & ~1u) != 0) {
    violation(ClockViolation::PortValue,
              "line bit " + std::to_string(bitsSeen_) + ": port value 0x" +
                  card::hexText(value) + " has bits other than bit 0");
    // Bit 0 still counts for finding protocol words, but the frame it
    // belongs to is lost.
    segmentLost_ = true;
    stage_ = kSpoiled;
  }
  lineBit(static_cast<int>(value & 1));
}

void ClockDecoder::lineBit(int bit) {
  const std::uint64_t index = bitsSeen_++;
  ones_ = bit ? ones_ + 1 : 0;

  if (inProtocol_) {
    if (bit == 0) {
      inProtocol_ = false;
      endFrame();
    } else if (ones_ == 5) {
      violation(ClockViolation::StuffedOne,
                "line bit " + std::to_string(index) +
                    ": stuffed bit is 1 (five 1s in a row)");
      segmentLost_ = true;
      stage_ = kSpoiled;
    }
    return;
  }

  raw_.push_back(bit);
  if (ones_ == 4) {
    // The fourth 1 in a row: a protocol word, whose leading 0 precedes the
    // run within this frame. Without it the run is data whose stuffed bit
    // came as 1.
    inProtocol_ = true;
    if (raw_.size() < 5) {
      violation(ClockViolation::StuffedOne,
                "line bit " + std::to_string(index) +
                    ": stuffed bit is 1 (four 1s without a protocol word)");
      segmentLost_ = true;
      stage_ = kSpoiled;
    }
    raw_.resize(raw_.size() < 5 ? 0 : raw_.size() - 5);
    return;
  }
  if (raw_.size() > kMaxSegmentBits) {
    if (!segmentLost_) {
      violation(ClockViolation::NoProtocolWord,
                "line bit " + std::to_string(index) + ": no protocol word in " +
                    std::to_string(kMaxSegmentBits) + " bits");
      segmentLost_ = true;
      stage_ = kSpoiled;
    }
    raw_.erase(raw_.begin(), raw_.end() - 5);  // keep what a run needs
  }
}

void ClockDecoder::endFrame() {
  std::vector<int> raw;
  raw.swap(raw_);
  if (segmentLost_) {
    segmentLost_ = false;
    return;
  }
  if (raw.empty()) return;  // protocol words back to back: an idle line

  std::vector<int> bits;
  unsigned run = 0;
  for (int bit : raw) {
    if (run == 3) {
      // A stuffed position; a 1 here would have made four 1s in a row and
      // been taken for a protocol word, so it is a 0 and is dropped.
      run = 0;
      continue;
    }
    bits.push_back(bit);
    run = bit ? run + 1 : 0;
  }
  frames_.push_back(bits);
  if (run == 3) {
    violation(ClockViolation::MissingStuffedBit,
              "frame " + std::to_string(framesForgotten_ + frames_.size()) +
                  ": ends in three 1s without the stuffed 0");
    stage_ = kSpoiled;
    return;
  }
  takeFrame(bits);
}

void ClockDecoder::takeFrame(const std::vector<int>& bits) {
  const std::string where =
      "frame " + std::to_string(framesForgotten_ + frames_.size()) + ": ";
  const std::uint32_t value = valueOf(bits);
  const bool isStart =
      bits.size() == kCommandFrameBits && value == kStartCommand;

  auto reject = [&](const std::string& expected) {
    if (bits.size() != (stage_ == 1 ? kWordFrameBits : kCommandFrameBits)) {
      violation(ClockViolation::FrameLength,
                where + std::to_string(bits.size()) +
                    (bits.size() == 1 ? " bit" : " bits") + ", expected " +
                    expected);
    } else {
      violation(
          ClockViolation::UnexpectedCommand,
          where + "value 0x" + card::hexText(value) + ", expected " + expected);
    }
    // A start command out of place still opens a new sequence.
    stage_ = isStart ? 1 : kSpoiled;
  };

  switch (stage_) {
    case kSpoiled:
      // The rest of a sequence already found faulty: only a start command
      // counts, without another violation for each frame that follows.
      if (isStart) stage_ = 1;
      break;
    case 0:
      if (isStart) {
        stage_ = 1;
      } else {
        reject(commandFrame(kStartCommand));
      }
      break;
    case 1:
      if (bits.size() == kWordFrameBits &&
          (value >> card::kProgrammingWordBits) == kLoadCommand) {
        pending_ = decodeWord(value & kWordMask);
        stage_ = pending_ ? 2 : kSpoiled;
      } else {
        reject(std::to_string(kWordFrameBits) +
               " bits: programming word and command " +
               std::to_string(kLoadCommand));
      }
      break;
    default:
      if (bits.size() == kCommandFrameBits && value == kSwitchCommand) {
        setting_ = pending_;
        ++programmings_;
        stage_ = 0;
      } else {
        reject(commandFrame(kSwitchCommand));
      }
      break;
  }
}

std::optional<ClockSetting> ClockDecoder::decodeWord(std::uint32_t word) {
  ClockSetting s;
  s.word = word;
  s.range = card::clockRangeOf(word);
  s.q = card::clockQOf(word);
  s.k = card::clockKOf(word);
  s.p = card::clockPOf(word);
  s.outputMHz = 2.0 * referenceMHz_ * s.p / s.q / (1u << s.k);

  const std::string where = "programming word 0x" + card::hexText(word) + ": ";
  bool valid = true;
  // P and Q are at most 7-bit fields plus 3 and 2: they fit an int.
  const int p = static_cast<int>(s.p);
  const int q = static_cast<int>(s.q);
  if (p < card::kClockPMin || p > card::kClockPMax) {
    violation(ClockViolation::MultiplierRange,
              where + "P = " + std::to_string(s.p) + " outside " +
                  std::to_string(card::kClockPMin) + ".." +
                  std::to_string(card::kClockPMax));
    valid = false;
  }
  if (q < card::kClockQMin || q > card::kClockQMax) {
    violation(ClockViolation::DividerRange,
              where + "Q = " + std::to_string(s.q) + " outside " +
                  std::to_string(card::kClockQMin) + ".." +
                  std::to_string(card::kClockQMax));
    valid = false;
  } else {
    // The phase comparator needs reference / Q within 0.2 to 1 MHz; the
    // quotient is taken in single precision, as the programming side does.
    const float comparison = static_cast<float>(referenceMHz_ / s.q);
    if (!(comparison > card::kClockComparisonMinMHz &&
          comparison < card::kClockComparisonMaxMHz)) {
      char band[32];
      std::snprintf(band, sizeof band, "%.1f..%.1f",
                    card::kClockComparisonMinMHz, card::kClockComparisonMaxMHz);
      violation(ClockViolation::DividerRange,
                where + "reference / Q = " + std::to_string(comparison) +
                    " MHz outside " + band);
      valid = false;
    }
  }
  if (card::clockReservedSet(word)) {
    violation(
        ClockViolation::ReservedBit,
        where + "bit " + std::to_string(card::kClockReservedBit) + " set");
    valid = false;
  }
  if (s.range != card::kClockRangeLower && s.range != card::kClockRangeUpper) {
    violation(ClockViolation::RangeField,
              where + "range field " + std::to_string(s.range) + ", expected " +
                  std::to_string(card::kClockRangeLower) + " or " +
                  std::to_string(card::kClockRangeUpper));
    valid = false;
  }
  if (!valid) return std::nullopt;
  return s;
}

}  // namespace sim
