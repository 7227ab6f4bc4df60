// The BFX configuration loader: a text file of (chip address, data) pairs in
// hexadecimal, one per line, replayed into the chip in file order.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "boardlib/board.h"
#include "card/hex.h"
#include "card/system_error.h"

namespace {

constexpr ErrorCode kCannotOpen = -6;
constexpr ErrorCode kBadLine = -7;

// The largest ChipAddress.
constexpr unsigned kMaxAddress = card::kChipAddressLimit - 1;

// A longer line is refused rather than held, so memory stays bounded.
constexpr std::size_t kMaxLineLength = 64 * 1024;

constexpr char kCtrlZ = 0x1A;  // ends the text, as in a text-mode read

// What separates the fields of a line.
bool isDelimiter(char c) { return c == ' ' || c == '\n' || c == '\t'; }

// Reads lines from a file opened in binary mode, applying the text-mode
// rules itself so that a file loads the same on every platform: a carriage
// return right before a line feed is dropped, and Ctrl-Z ends the text.
class LineReader {
 public:
  enum class Result { Line, End, TooLong, ReadError };

  explicit LineReader(std::FILE* source) : source_(source) {}

  // Whether any byte has been read: a read error before it means the file
  // could not be read at all (a directory, say).
  bool started() const { return started_; }
  // The error code of the failed read that gave ReadError.
  int readError() const { return readError_; }

  Result next(std::string& line) {
    line.clear();
    if (ended_) return Result::End;
    errno = 0;  // a failed read sets it; 0 then means it left no code
    for (;;) {
      const int c = nextByte();
      if (c == EOF) {
        ended_ = true;
        if (std::ferror(source_) != 0) {
          readError_ = errno;
          return Result::ReadError;
        }
      }
      if (c == EOF || c == kCtrlZ) {
        ended_ = true;
        if (line.size() > kMaxLineLength) return Result::TooLong;
        return line.empty() ? Result::End : Result::Line;
      }
      started_ = true;
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxLineLength) return Result::TooLong;
        return Result::Line;
      }
      // One character beyond the limit may still be a carriage return that
      // the line feed drops; a second one settles it.
      if (line.size() > kMaxLineLength) return Result::TooLong;
      line.push_back(static_cast<char>(c));
    }
  }

 private:
  std::FILE* source_;
  bool ended_ = false;
  bool started_ = false;
  int readError_ = 0;
  // The file is read a block at a time: one call per block rather than one
  // per byte.
  unsigned char block_[4096];
  std::size_t blockAt_ = 0;
  std::size_t blockEnd_ = 0;

  // The next byte, or EOF at the end of the file or on a failed read.
  int nextByte() {
    if (blockAt_ == blockEnd_) {
      blockEnd_ = std::fread(block_, 1, sizeof block_, source_);
      blockAt_ = 0;
      if (blockEnd_ == 0) return EOF;
    }
    return block_[blockAt_++];
  }
};

// The most recent load's failure, for Board::loadFailure and
// Board::loadFailureLine.
char failureText[256] = "";
std::uint64_t failureLine = 0;

// Records a failure and returns its code; `line` is 0 when no line is at
// fault.
ErrorCode fail(ErrorCode code, std::uint64_t line, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(failureText, sizeof failureText, format, arguments);
  va_end(arguments);
  failureLine = line;
  return code;
}

// The next token at or after position, or an empty view when there is none.
std::string_view nextToken(std::string_view line, std::size_t& position) {
  std::size_t start = position;
  while (start < line.size() && isDelimiter(line[start])) ++start;
  if (start >= line.size()) {
    position = line.size();
    return {};
  }
  std::size_t end = start;
  while (end < line.size() && !isDelimiter(line[end])) ++end;
  position = end;
  return line.substr(start, end - start);
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// An unsigned 32-bit hexadecimal conversion on every platform: leading white
// space, an optional sign (a minus gives the two's complement), an optional
// 0x or 0X, then digits up to the first non-digit; no digit gives 0. Empty
// when the digits do not fit into 32 bits.
std::optional<std::uint32_t> parseHex32(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && isSpace(token[i])) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
    negative = token[i] == '-';
    ++i;
  }
  // The prefix counts only when a digit follows it; otherwise the 0 alone is
  // the number.
  if (i + 2 < token.size() && token[i] == '0' &&
      (token[i + 1] == 'x' || token[i + 1] == 'X') &&
      card::hexDigitValue(token[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < token.size(); ++i) {
    const int digit = card::hexDigitValue(token[i]);
    if (digit < 0) break;
    if (!overflow) {
      value = value << 4 | static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) overflow = true;
    }
  }
  if (overflow) return std::nullopt;
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

// Replays the pair lines into the chip until the end or the first bad line.
ErrorCode loadPairs(Board& board, std::FILE* file) {
  LineReader reader(file);
  std::string line;  // reused, so lines cost no allocation once it has grown
  for (std::uint64_t number = 1;; ++number) {
    switch (reader.next(line)) {
      case LineReader::Result::End:
        return 0;
      case LineReader::Result::ReadError:
        if (!reader.started())
          return fail(kCannotOpen, 0, "%s",
                      card::systemErrorText(reader.readError()).c_str());
        return fail(kBadLine, number, "read failed: %s",
                    card::systemErrorText(reader.readError()).c_str());
      case LineReader::Result::TooLong:
        return fail(kBadLine, number, "line longer than %lu characters",
                    static_cast<unsigned long>(kMaxLineLength));
      case LineReader::Result::Line:
        break;
    }
    // A NUL ends the line's text, as it ends a C string: what follows it on
    // the line is not read.
    line.resize(std::min(line.size(), line.find('\0')));
    std::size_t position = 0;
    const std::string_view first = nextToken(line, position);
    if (first.empty() || first.front() == '#') continue;
    const std::string_view second = nextToken(line, position);
    if (second.empty()) return fail(kBadLine, number, "second field missing");

    const std::optional<std::uint32_t> address = parseHex32(first);
    if (!address) return fail(kBadLine, number, "address value out of range");
    if (*address > kMaxAddress) {
      return fail(kBadLine, number, "address %X exceeds %X",
                  static_cast<unsigned>(*address), kMaxAddress);
    }
    const std::optional<std::uint32_t> data = parseHex32(second);
    if (!data) return fail(kBadLine, number, "data value out of range");
    board.writeChip(*address & kMaxAddress, *data);
  }
}

}  // namespace

const char* Board::loadFailure() { return failureText; }

std::uint64_t Board::loadFailureLine() { return failureLine; }

ErrorCode Board::loadConfiguration(const char* fileName) {
  failureText[0] = '\0';
  failureLine = 0;
  // Binary mode: LineReader applies the text-mode rules. Opening for reading
  // never creates the file.
  if (fileName == nullptr) return fail(kCannotOpen, 0, "no file name");
  errno = 0;
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr)
    return fail(kCannotOpen, 0, "%s", card::systemErrorText(errno).c_str());
  const ErrorCode result = loadPairs(*this, file);
  std::fclose(file);
  return result;
}
