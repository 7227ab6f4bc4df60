// Hexadecimal digits: the trace's lines, PCI addresses, design files and the
// programs' state lines read and write them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace card {

// The value of a hexadecimal digit of either case; -1 for any other
// character.
constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of text made of 1 to 16 hexadecimal digits and nothing else;
// false for any other text.
constexpr bool parseHexDigits(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 16) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    const int digit = hexDigitValue(c);
    if (digit < 0) return false;
    result = result << 4 | std::uint64_t(digit);
  }
  *value = result;
  return true;
}

// Writes `value` in hexadecimal at `at`, zero-padded to at least minDigits
// digits (1 to 16), and returns the end; no terminator.
inline char* putHex(char* at, std::uint64_t value, int minDigits,
                    bool upperCase = false) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  int length = minDigits;
  while (length < 16 && (value >> (4 * length)) != 0) ++length;
  for (int i = length - 1; i >= 0; --i) {
    at[i] = digits[value & 0xF];
    value >>= 4;
  }
  return at + length;
}

inline std::string hexText(std::uint64_t value, int minDigits = 1,
                           bool upperCase = false) {
  char text[16];
  return std::string(text, putHex(text, value, minDigits, upperCase));
}

}  // namespace card
