// The simulated card's clock decoder, fed with lines built here from the
// encoding rules.
#include "sim/clock_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_board.h"

namespace {

using sim::ClockDecoder;
using sim::ClockViolation;

// Builds a programming line: data least significant bit first with a 0
// stuffed after three 1s in a row (counted across data words), protocol
// words 0,1,1,1,1,0 that restart the count.
class Line {
 public:
  Line& data(std::uint32_t value, int count) {
    for (int j = 0; j < count; ++j) {
      const int bit = (value >> j) & 1;
      bits_.push_back(bit);
      run_ = bit ? run_ + 1 : 0;
      if (run_ == 3) {
        bits_.push_back(0);
        run_ = 0;
      }
    }
    return *this;
  }
  Line& protocol() {
    bits_.insert(bits_.end(), {0, 1, 1, 1, 1, 0});
    run_ = 0;
    return *this;
  }
  Line& raw(const std::string& text) {
    for (char c : text) bits_.push_back(c == '1');
    run_ = 0;
    return *this;
  }
  // The whole programming sequence for one programming word.
  Line& program(std::uint32_t word) {
    return data(5, 8)
        .protocol()
        .data(word, 22)
        .data(4, 8)
        .protocol()
        .data(0, 8)
        .protocol();
  }

  std::vector<int>& bits() { return bits_; }
  std::string text() const {
    std::string t;
    for (int b : bits_) t += b ? '1' : '0';
    return t;
  }
  void feed(ClockDecoder& decoder) const {
    for (int b : bits_) decoder.portWrite(static_cast<std::uint32_t>(b));
  }

 private:
  std::vector<int> bits_;
  unsigned run_ = 0;
};

std::uint32_t word(unsigned p, unsigned q, unsigned k, unsigned range) {
  return ((p - 3) & 0x7F) << 15 | k << 11 | (q - 2) << 4 | range;
}

bool has(const ClockDecoder& d, ClockViolation kind) {
  return std::find(d.violationKinds().begin(), d.violationKinds().end(),
                   kind) != d.violationKinds().end();
}

TEST(ClockDecoder, DecodesTheLibrarysSettings) {
  // The line of setClock(16, 66) from a fresh board, as the library sends it.
  Line line;
  line.program(0x1F81E0);
  ASSERT_EQ(line.text(), tv940test::kClockBits66From16);

  ClockDecoder decoder;
  std::vector<int> bits = line.bits();
  for (std::size_t i = 0; i + 1 < bits.size(); ++i) {
    decoder.portWrite(static_cast<std::uint32_t>(bits[i]));
  }
  EXPECT_FALSE(decoder.running()) << "runs before the last protocol word ends";
  decoder.portWrite(static_cast<std::uint32_t>(bits.back()));
  ASSERT_TRUE(decoder.running());
  EXPECT_TRUE(decoder.violations().empty()) << decoder.violations().front();
  EXPECT_EQ(decoder.bitsSeen(), 67u);
  ASSERT_EQ(decoder.frames().size(), 3u);
  EXPECT_EQ(decoder.frames()[0], (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(decoder.frames()[1].size(), 30u);
  EXPECT_EQ(decoder.frames()[2], std::vector<int>(8, 0));
  auto s = *decoder.setting();
  EXPECT_EQ(s.word, 0x1F81E0u);
  EXPECT_EQ(s.p, 66u);
  EXPECT_EQ(s.q, 32u);
  EXPECT_EQ(s.k, 0u);
  EXPECT_EQ(s.range, 0u);
  EXPECT_DOUBLE_EQ(s.outputMHz, 66.0);

  struct Case {
    std::uint32_t word;
    unsigned p, q, k, range;
    double mhz;
  };
  const Case cases[] = {
      {0x1789E0, 50, 32, 1, 0, 25.0},
      {0x240168, 75, 24, 0, 8, 100.0},
      // Range field 0 although 80 MHz is reached: it follows the wanted
      // oscillator frequency, 79.99.
      {0x150100, 45, 18, 0, 0, 80.0},
      {0x17B9E0, 50, 32, 7, 0, 0.390625},
      // Q = 80: 16 / 80 in single precision lies just above 0.2.
      {0x3F04E0, 129, 80, 0, 0, 51.6},
      // P = 130 ends the word in seven 1s whose run goes on into the 4.
      {word(130, 64, 0, 0), 130, 64, 0, 0, 65.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    ASSERT_EQ(word(c.p, c.q, c.k, c.range), c.word);
    ClockDecoder d;
    Line().program(c.word).feed(d);
    ASSERT_TRUE(d.running());
    EXPECT_TRUE(d.violations().empty()) << d.violations().front();
    EXPECT_EQ(d.setting()->p, c.p);
    EXPECT_EQ(d.setting()->q, c.q);
    EXPECT_EQ(d.setting()->k, c.k);
    EXPECT_EQ(d.setting()->range, c.range);
    EXPECT_NEAR(d.setting()->outputMHz, c.mhz, 1e-9);
  }
}

TEST(ClockDecoder, StuffingRunsAcrossWordsAndSequencesReprogram) {
  // The encoder's own examples: 0xFF from a quiet line gives 10 bits.
  EXPECT_EQ(Line().data(0xFF, 8).text(), "1110111011");
  // Two 1s at the end of one word and one at the start of the next make a
  // run: the stuffed 0 falls after the first bit of the second word.
  EXPECT_EQ(Line().data(0x3, 2).data(0x1, 8).text(),
            "11"
            "100000000");

  ClockDecoder decoder;
  Line line;
  line.program(0x1F81E0).program(0x240168);
  line.feed(decoder);
  EXPECT_TRUE(decoder.violations().empty());
  EXPECT_EQ(decoder.programmings(), 2u);
  EXPECT_EQ(decoder.setting()->word, 0x240168u);
  EXPECT_EQ(decoder.frames().size(), 6u);

  // Protocol words back to back are an idle line, not a frame.
  ClockDecoder idle;
  Line().protocol().protocol().program(0x1789E0).feed(idle);
  EXPECT_TRUE(idle.violations().empty());
  EXPECT_EQ(idle.frames().size(), 3u);
  EXPECT_EQ(idle.setting()->word, 0x1789E0u);
}

TEST(ClockDecoder, FlagsEveryViolationAndTakesNoSettingFromIt) {
  struct Case {
    const char* what;
    ClockViolation kind;
    Line line;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, ClockViolation kind, Line line) {
    cases.push_back({what, kind, std::move(line)});
  };

  // Three 1s, a stuffed 1 and more 1s: five in a row.
  add("stuffed 1 in a long run", ClockViolation::StuffedOne,
      Line().data(5, 8).protocol().raw("01111100").protocol());
  // Right after a protocol word: three data 1s and a stuffed 1.
  add("stuffed 1 after a protocol word", ClockViolation::StuffedOne,
      Line().data(5, 8).protocol().raw("11110000").data(4, 8).protocol());
  // A stuffed 1 followed by 0 reads as a protocol word and splits a frame.
  add("stuffed 1 splitting a frame", ClockViolation::FrameLength,
      Line()
          .data(5, 8)
          .protocol()
          .raw("0001111"
               "0000000000000000000000000")
          .protocol());
  // 0xE0 ends in three 1s; its stuffed 0 is missing before the protocol word.
  add("missing stuffed bit at a frame's end", ClockViolation::MissingStuffedBit,
      Line().raw("00000111").protocol());
  // Missing inside a frame: the next 0 is taken for the stuffed bit.
  add("missing stuffed bit inside a frame", ClockViolation::FrameLength,
      Line().raw("11100000").protocol());
  add("a short first frame", ClockViolation::FrameLength,
      Line().data(5, 7).protocol());
  add("programming word without the 4", ClockViolation::FrameLength,
      Line()
          .data(5, 8)
          .protocol()
          .data(0x1F81E0, 22)
          .protocol()
          .data(0, 8)
          .protocol());
  add("programming word and 4 with a bit more", ClockViolation::FrameLength,
      Line()
          .data(5, 8)
          .protocol()
          .data(0x1F81E0, 22)
          .data(4, 9)
          .protocol()
          .data(0, 8)
          .protocol());
  add("wrong first command", ClockViolation::UnexpectedCommand,
      Line()
          .data(6, 8)
          .protocol()
          .data(0x1F81E0, 22)
          .data(4, 8)
          .protocol()
          .data(0, 8)
          .protocol());
  add("wrong load command", ClockViolation::UnexpectedCommand,
      Line()
          .data(5, 8)
          .protocol()
          .data(0x1F81E0, 22)
          .data(3, 8)
          .protocol()
          .data(0, 8)
          .protocol());
  add("wrong last command", ClockViolation::UnexpectedCommand,
      Line()
          .data(5, 8)
          .protocol()
          .data(0x1F81E0, 22)
          .data(4, 8)
          .protocol()
          .data(1, 8)
          .protocol());
  add("P = 3", ClockViolation::MultiplierRange,
      Line().program(word(3, 32, 0, 0)));
  add("Q = 2", ClockViolation::DividerRange, Line().program(word(66, 2, 0, 0)));
  add("reference / Q = 1", ClockViolation::DividerRange,
      Line().program(word(33, 16, 0, 0)));
  add("reference / Q below 0.2", ClockViolation::DividerRange,
      Line().program(word(100, 81, 0, 0)));
  add("bit 14", ClockViolation::ReservedBit,
      Line().program(0x1F81E0 | 1u << 14));
  add("range field 4", ClockViolation::RangeField,
      Line().program(0x1F81E0 | 4));
  add("range field 9", ClockViolation::RangeField,
      Line().program(0x1F81E0 | 9));
  add("no protocol word", ClockViolation::NoProtocolWord,
      Line().raw(std::string(100, '0')).protocol());

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClockDecoder decoder;
    c.line.feed(decoder);
    // One fault, one violation: the rest of a spoiled sequence is skipped.
    EXPECT_EQ(decoder.violationKinds(), std::vector<ClockViolation>{c.kind});
    EXPECT_EQ(decoder.violations().size(), 1u);
    EXPECT_FALSE(decoder.running());
    // A correct sequence afterwards programs the clock.
    Line().program(0x1F81E0).feed(decoder);
    ASSERT_TRUE(decoder.running());
    EXPECT_EQ(decoder.setting()->word, 0x1F81E0u);
  }

  // A port value beyond bit 0 is flagged and spoils its sequence, though
  // its bit 0 is taken for the line.
  ClockDecoder stray;
  std::vector<int> bits = Line().program(0x1F81E0).bits();
  for (std::size_t i = 0; i < bits.size(); ++i) {
    stray.portWrite(static_cast<std::uint32_t>(bits[i]) |
                    (i == 20 ? 0x100u : 0));
  }
  EXPECT_EQ(stray.violationKinds(),
            std::vector<ClockViolation>{ClockViolation::PortValue});
  EXPECT_NE(stray.violations()[0].find("0x101"), std::string::npos);
  EXPECT_FALSE(stray.running());
  EXPECT_EQ(stray.frames().size(), 2u) << "the spoiled frame is dropped";

  // A bad sequence after a good one leaves the good setting in force.
  ClockDecoder kept;
  Line().program(0x1F81E0).program(0x1F81E0 | 1u << 14).feed(kept);
  EXPECT_TRUE(has(kept, ClockViolation::ReservedBit));
  // So does a stray frame outside any sequence, which is flagged.
  ClockDecoder strayFrame;
  Line().program(0x1F81E0).data(0, 8).protocol().feed(strayFrame);
  EXPECT_EQ(strayFrame.violationKinds(),
            std::vector<ClockViolation>{ClockViolation::UnexpectedCommand});
  EXPECT_EQ(strayFrame.setting()->word, 0x1F81E0u);
  ASSERT_TRUE(kept.running());
  EXPECT_EQ(kept.setting()->word, 0x1F81E0u);
  EXPECT_EQ(kept.programmings(), 1u);
}

}  // namespace
