// The trace's lines: writing them, and reading them back as written.
#include "card/trace_format.h"

#include <cerrno>
#include <cstring>

#include "card/card_map.h"
#include "card/hex.h"

namespace card::trace {
namespace {

constexpr std::string_view kEndStart = "# trace end: ";
constexpr std::string_view kEndFinish = " events";
constexpr std::string_view kBasesStart = "# bases: window 0x";
constexpr std::string_view kBasesPorts = ", ports 0x";
constexpr std::string_view kConnectionSuffix = ", connection ";

constexpr std::string_view kNames[] = {"req", "out", "in",  "wr",
                                       "rd",  "dwr", "drd", "irq"};

std::string_view nameOf(Kind kind) { return kNames[static_cast<int>(kind)]; }

char* putText(char* at, std::string_view text) {
  for (char c : text) *at++ = c;
  return at;
}

char* putDecimal(char* at, std::uint64_t number) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = char('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) *at++ = digits[--count];
  return at;
}

// 1 to `maxDigits` decimal digits and nothing else.
bool parseDecimal(std::string_view text, std::size_t maxDigits,
                  std::uint64_t* number) {
  if (text.empty() || text.size() > maxDigits) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + std::uint64_t(c - '0');
  }
  *number = result;
  return true;
}

bool parseHex32(std::string_view text, std::uint32_t* value) {
  std::uint64_t result = 0;
  if (text.size() > 8 || !parseHexDigits(text, &result)) return false;
  *value = static_cast<std::uint32_t>(result);
  return true;
}

// The fields of an event line into *event, in any spelling of the numbers;
// parseEvent then holds the line against the writer's own.
bool readFields(Kind kind, std::string_view first, std::string_view second,
                Event* event) {
  event->kind = kind;
  switch (kind) {
    case Kind::Request: {
      std::uint64_t code = 0;
      if (!second.empty() || !parseDecimal(first, 10, &code) ||
          code > 0xFFFFFFFFu)
        return false;
      event->where = static_cast<std::uint32_t>(code);
      return true;
    }
    case Kind::Interrupt:
      return second.empty() && parseHex32(first, &event->value);
    case Kind::PortOut:
    case Kind::PortIn:
      // A port or chip address has four digits.
      return first.size() == 4 && parseHex32(first, &event->where) &&
             parseHex32(second, &event->value);
    default:
      event->inChip = first.empty() || first[0] != '@';
      if (!event->inChip) {
        first.remove_prefix(1);
      } else if (first.size() != 4) {
        return false;
      }
      return parseHex32(first, &event->where) &&
             parseHex32(second, &event->value);
  }
}

}  // namespace

Event wordEvent(Kind kind, std::uint32_t offset, std::uint32_t value,
                bool reached) {
  const bool inChip = reached && isChipOffset(offset);
  return Event{kind, inChip ? chipAddressOf(offset) : offset, value, inChip};
}

std::size_t format(const Event& event, char* line) {
  char* at = line;
  if (event.connection != 0) {
    *at++ = 'c';
    at = putDecimal(at, event.connection);
    *at++ = ' ';
  }
  at = putText(at, nameOf(event.kind));
  *at++ = ' ';
  switch (event.kind) {
    case Kind::Request:
      at = putDecimal(at, event.where);
      break;
    case Kind::Interrupt:
      at = putHex(at, event.value, 8);
      break;
    case Kind::PortOut:
    case Kind::PortIn:
      at = putHex(at, event.where, 4);
      *at++ = ' ';
      at = putHex(at, event.value, 8);
      break;
    default:
      if (event.inChip) {
        at = putHex(at, event.where, 4);
      } else {
        *at++ = '@';
        at = putHex(at, event.where, 6);
      }
      *at++ = ' ';
      at = putHex(at, event.value, 8);
      break;
  }
  return std::size_t(at - line);
}

std::string format(const Event& event) {
  char line[kLineSize];
  return std::string(line, format(event, line));
}

std::string endLine(std::uint64_t events) {
  char digits[20];
  return std::string(kEndStart) +
         std::string(digits, putDecimal(digits, events)) +
         std::string(kEndFinish);
}

std::string basesComment(std::uint32_t windowBase, std::uint16_t ioBase) {
  char text[48];
  char* at = putText(text, kBasesStart);
  at = putHex(at, windowBase, 8);
  at = putText(at, kBasesPorts);
  at = putHex(at, ioBase, 4);
  return std::string(text, at);
}

std::uint32_t connectionOf(std::string_view line) {
  const std::size_t at = line.rfind(kConnectionSuffix);
  std::uint64_t number = 0;
  if (at == std::string_view::npos ||
      !parseDecimal(line.substr(at + kConnectionSuffix.size()), 6, &number) ||
      number == 0 || line[at + kConnectionSuffix.size()] == '0')
    return 0;
  return static_cast<std::uint32_t>(number);
}

bool parseBases(std::string_view line, std::uint16_t* ioBase,
                std::uint32_t* connection) {
  *connection = connectionOf(line);
  if (*connection != 0) line = line.substr(0, line.rfind(kConnectionSuffix));
  const std::size_t ports = kBasesStart.size() + 8;
  std::uint32_t window = 0, base = 0;
  if (line.size() != ports + kBasesPorts.size() + 4 ||
      line.substr(0, kBasesStart.size()) != kBasesStart ||
      line.substr(ports, kBasesPorts.size()) != kBasesPorts ||
      !parseHex32(line.substr(kBasesStart.size(), 8), &window) ||
      !parseHex32(line.substr(ports + kBasesPorts.size()), &base))
    return false;
  *ioBase = static_cast<std::uint16_t>(base);
  return true;
}

bool parseEvent(std::string_view line, Event* event) {
  if (line.size() > kLineSize) return false;
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  std::string_view name = line.substr(0, blank);

  std::uint32_t connection = 0;
  std::string_view rest = line.substr(blank + 1);
  if (name.size() > 1 && name[0] == 'c' && name[1] >= '1' && name[1] <= '9') {
    // A tagged line: the connection, then the event.
    std::uint64_t number = 0;
    if (!parseDecimal(name.substr(1), 6, &number)) return false;
    connection = static_cast<std::uint32_t>(number);
    const std::size_t next = rest.find(' ');
    if (next == std::string_view::npos) return false;
    name = rest.substr(0, next);
    rest = rest.substr(next + 1);
  }
  std::size_t kind = 0;
  while (kind < std::size(kNames) && kNames[kind] != name) ++kind;
  if (kind == std::size(kNames)) return false;

  std::string_view first = rest, second;
  if (const std::size_t next = first.find(' ');
      next != std::string_view::npos) {
    second = first.substr(next + 1);
    first = first.substr(0, next);
  }
  Event parsed;
  if (!readFields(static_cast<Kind>(kind), first, second, &parsed))
    return false;
  parsed.connection = connection;
  // Only the writer's own spelling: the line must read back as written.
  char written[kLineSize];
  if (std::string_view(written, format(parsed, written)) != line) return false;
  *event = parsed;
  return true;
}

bool parseEndLine(std::string_view line, std::uint64_t* events) {
  if (line.substr(0, kEndStart.size()) != kEndStart ||
      line.size() < kEndStart.size() + kEndFinish.size())
    return false;
  line.remove_prefix(kEndStart.size());
  if (line.substr(line.size() - kEndFinish.size()) != kEndFinish) return false;
  line.remove_suffix(kEndFinish.size());
  std::uint64_t count = 0;
  // As written: no leading zeros.
  if (!parseDecimal(line, 19, &count) || (line.size() > 1 && line[0] == '0'))
    return false;
  *events = count;
  return true;
}

bool beginsTrace(std::string_view line) {
  Event event;
  std::uint64_t count = 0;
  return line.substr(0, kHeading.size()) == kHeading ||
         parseEvent(line, &event) || parseEndLine(line, &count);
}

LineReader::Result LineReader::next() {
  for (;;) {
    const char* start = buffer_ + begin_;
    const auto* feed =
        static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
    if (feed != nullptr || (eof_ && begin_ != end_)) {
      std::size_t length =
          feed != nullptr ? std::size_t(feed - start) : end_ - begin_;
      ++number_;
      cut_ = feed == nullptr;
      begin_ += length + (cut_ ? 0 : 1);
      if (!cut_ && length != 0 && start[length - 1] == '\r') --length;
      if (length > kMaxLineLength) return Result::TooLong;
      line_ = std::string_view(start, length);
      return Result::Line;
    }
    // A line feed may still come as long as the line fits (with a CR).
    if (end_ - begin_ > kMaxLineLength + 1) {
      ++number_;
      return Result::TooLong;
    }
    if (eof_) return Result::End;
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    errno = 0;
    const std::size_t got =
        std::fread(buffer_ + end_, 1, sizeof buffer_ - end_, file_);
    end_ += got;
    if (got == 0) {
      if (std::ferror(file_) != 0) {
        error_ = errno;
        return Result::ReadError;
      }
      eof_ = true;
    }
  }
}

}  // namespace card::trace
