// A run's trace as written by any backend: one event per line, lines that
// begin with '#' are comments. The events keep their 1-based line numbers,
// so that everything said about them points back into the trace text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/card_map.h"

namespace trace {

enum class Kind {
  Request,      // req N
  PortOut,      // out PPPP VVVVVVVV
  PortIn,       // in PPPP VVVVVVVV
  WindowWrite,  // wr AAAA VVVVVVVV, or wr @OOOOOO VVVVVVVV
  WindowRead,   // rd ...
  DriverWrite,  // dwr ...
  DriverRead,   // drd ...
  Interrupt,    // irq VVVVVVVV
};

struct Event {
  std::size_t line;  // 1-based line number in the trace
  Kind kind;
  std::uint32_t where;  // request code, port, chip address or window offset
  std::uint32_t value;
  bool inChip;  // window and driver events: `where` is a chip address

  bool isChipWrite() const {
    return inChip && (kind == Kind::WindowWrite || kind == Kind::DriverWrite);
  }
  bool isChipRead() const {
    return inChip && (kind == Kind::WindowRead || kind == Kind::DriverRead);
  }
  bool isWindowAccess() const {
    return kind == Kind::WindowWrite || kind == Kind::WindowRead ||
           kind == Kind::DriverWrite || kind == Kind::DriverRead;
  }
};

struct Comment {
  std::size_t line;
  std::string text;  // after the '#' and the blanks that follow it
};

struct Trace {
  std::vector<Event> events;
  std::vector<Comment> comments;
  std::size_t lines = 0;  // lines in the file
};

// One event line (without its line end); false when it is not one. The
// event's line number is left as it was.
bool parseEvent(const std::string& text, Event* event);
// A line as an error message shows it: quoted, cut short, unprintable
// characters as '?'.
std::string quotedLine(const std::string& text);

// Reads the trace at `path`. Nothing, with *error set to one line that names
// the file (and the line at fault), when it cannot be opened or read or a
// line is neither a comment nor an event.
std::optional<Trace> readTrace(const std::string& path, std::string* error);

// The card's control ports form one block of kPortBlockSize ports at the I/O
// base, which the card's I/O region aligns to the block size. The base is
// that of the block holding most of the trace's port accesses; nothing when
// the trace has none.
inline constexpr std::uint32_t kPortBlockSize = card::kPortSpan;
std::optional<std::uint16_t> ioBase(const Trace& trace);

// The offset of the clock-programming port from the I/O base.
inline constexpr std::uint32_t kClockPortOffset = card::kClockPort;

// The device line a backend writes first ("trace: device ..."), or "".
std::string deviceComment(const Trace& trace);

}  // namespace trace
