// The clock synthesizer: choosing the divider pair, bit-stuffed frames on the
// one-bit programming line, and the console trace of every word sent.
#include <cmath>
#include <cstdio>
#include <limits>

#include "boardlib/board.h"

namespace {

using card::kClockComparisonMaxMHz;
using card::kClockComparisonMinMHz;
using card::kClockPMax;
using card::kClockPMin;
using card::kClockPort;
using card::kClockQMax;
using card::kClockQMin;
using card::kProtocolBits;
using card::kProtocolWord;

// Truncation toward zero that never converts a value the result cannot hold:
// anything beyond the int range (or NaN) comes out as INT_MAX or INT_MIN, far
// outside every admissible divider, so the searches end on it.
int truncToInt(double x) {
  constexpr double kLimit = 2147483648.0;  // 2^31
  if (std::isnan(x) || x >= kLimit) return std::numeric_limits<int>::max();
  if (x <= -kLimit) return std::numeric_limits<int>::min();
  return static_cast<int>(x);
}

bool admissible(int p, int q, float reference) {
  if (p < kClockPMin || p > kClockPMax || q < kClockQMin || q > kClockQMax)
    return false;
  const float step = static_cast<float>(reference / static_cast<double>(q));
  return step > kClockComparisonMinMHz && step < kClockComparisonMaxMHz;
}

struct Choice {
  bool found = false;
  int p = 0;
  int q = 0;
  float ratio = 0;

  // Keeps the pair if it is the first or strictly closer to the target; on
  // equal error the earlier pair stays.
  void offer(int newP, int newQ, float target) {
    const float r = static_cast<float>(static_cast<double>(newP) /
                                       static_cast<double>(newQ));
    const double error = std::fabs(static_cast<double>(r) - target);
    if (!found || error < std::fabs(static_cast<double>(ratio) - target)) {
      found = true;
      p = newP;
      q = newQ;
      ratio = r;
    }
  }
};

}  // namespace

float Board::setClock(float reference, float wanted) {
  // Without a connection no bit could reach a card: nothing is printed.
  if (!open_) return -1.0f;
  if (wanted > card::kClockOutputMaxMHz ||
      !(wanted >= card::kClockOutputMinMHz))
    return -1.0f;
  // The searches divide by the reference; only a positive finite one gives a
  // defined result.
  if (!std::isfinite(reference) || !(reference > 0.0f)) return -1.0f;

  // Oscillator frequency in 50 to 100 MHz, output divided by 2^k.
  float oscillator = wanted;
  int k = 0;
  while (oscillator < card::kClockOscillatorMinMHz) {
    oscillator = oscillator * 2;
    ++k;
  }
  const std::uint32_t range = card::clockRangeFor(oscillator);
  const float target = static_cast<float>(oscillator / (2.0 * reference));

  Choice best;
  // By divider: Q from 2 up, P nearest to Q * target.
  for (int q = 2;; ++q) {
    const int p = truncToInt(q * static_cast<double>(target) + 0.5);
    if (admissible(p, q, reference)) {
      best.offer(p, q, target);
    } else if (p > kClockPMax || q > kClockQMax) {
      break;
    }
  }
  // By multiplier: P from 3 up, Q nearest to P / target.
  for (int p = 3;; ++p) {
    const int q = truncToInt(p / static_cast<double>(target) + 0.5);
    if (admissible(p, q, reference)) {
      best.offer(p, q, target);
    } else if (p > kClockPMax || q > kClockQMax) {
      break;
    }
  }
  if (!best.found) return -1.0f;

  const float result =
      static_cast<float>(static_cast<double>(best.ratio) * reference * 2.0 /
                         static_cast<double>(1u << k));
  const std::uint32_t word = card::clockWord(best.p, best.q, k, range);

  sendClockData(card::kCommandOpen, card::kCommandBits);
  sendProtocolWord();
  sendClockData(word, card::kProgrammingWordBits);
  sendClockData(card::kCommandLoad, card::kCommandBits);
  sendProtocolWord();
  sendClockData(card::kCommandSwitch, card::kCommandBits);
  sendProtocolWord();
  return result;
}

int Board::encodeClockBits(int bitCount, std::uint32_t value,
                           std::uint32_t& encoded) {
  encoded = 0;
  int position = 0;
  int count = 0;
  for (int j = 0; j < bitCount; ++j) {
    clockLineHistory = static_cast<std::uint8_t>(clockLineHistory >> 1);
    const bool one = j < 32 && ((value >> j) & 1) != 0;
    if (one) {
      if (position < 32) encoded |= 1u << position;
      clockLineHistory |= 4;
    }
    ++position;
    ++count;
    if (clockLineHistory == 7) {
      // Three 1s in a row: a 0 follows, so that only the protocol word ever
      // holds four.
      ++position;
      ++count;
      clockLineHistory = 3;
    }
  }
  return count;
}

void Board::sendClockData(std::uint32_t value, int bitCount) {
  std::uint32_t encoded = 0;
  const int count = encodeClockBits(bitCount, value, encoded);
  char line[64];
  std::snprintf(line, sizeof line, "Send clock_data: [%d] %x\n", count,
                static_cast<unsigned>(encoded));
  std::fputs(line, stdout);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t bit = i < 32 ? (encoded >> i) & 1 : 0;
    portOut(kClockPort, bit);
    delayTicks(1);
  }
}

void Board::sendProtocolWord() {
  char line[64];
  std::snprintf(line, sizeof line, "Send protocol word: [%d] %x\n",
                kProtocolBits, static_cast<unsigned>(kProtocolWord));
  std::fputs(line, stdout);
  for (int i = 0; i < kProtocolBits; ++i) {
    portOut(kClockPort, (kProtocolWord >> i) & 1);
    delayTicks(1);
  }
  clockLineHistory = 3;  // the line ended in 1, 1, 0
}

void Board::delayTicks(int ticks) {
  // Busy-waits until the clock has advanced by ticks; the difference is
  // taken modulo 2^32 so that a wrap of the counter does not end or stall the
  // wait.
  const std::uint32_t start =
      static_cast<std::uint32_t>(platform::millisecondClock());
  while (static_cast<std::int32_t>(
             static_cast<std::uint32_t>(platform::millisecondClock()) - start) <
         ticks) {
  }
}
