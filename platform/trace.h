// Inside the seam: the trace of a run (TV940_TRACE). The seam writes one
// line per driver request, port access and chip-window access, whichever
// backend serves the connection, so that a run on a real card can be held
// line by line against a run on the simulated card.
//
// Lines, each ended by a line feed:
//   req N               a driver request that carries no chip data (code N)
//   out PPPP VVVVVVVV   a port output: port, value (hexadecimal)
//   in PPPP VVVVVVVV    a port input: port, value read
//   wr AAAA VVVVVVVV    a window write at chip address AAAA
//   rd AAAA VVVVVVVV    a window read; the value read
//   dwr, drd            the same through the driver (requests 1 and 2; one
//                       line per word)
//   irq VVVVVVVV        the card raised an interrupt with this word
//   # text              a comment; the first line of every open is
//                       "# trace: device <as selected> (<backend>)"
// A window or driver word outside the chip's region shows as @OOOOOO, its
// byte offset in the window; so does a word outside the window, which no
// backend reaches (a write is dropped, a read gives ffffffff).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "card/trace_events.h"

namespace platform::trace {

using card::trace::Event;
using card::trace::Kind;

// The event of a window or driver word at a window byte offset: the chip
// address form when the offset is a word of the chip's region and `reached`,
// the offset form otherwise.
Event wordEvent(Kind kind, std::uint32_t offset, std::uint32_t value,
                bool reached);

// The longest line, without line end: "dwr @ffffffff ffffffff".
inline constexpr std::size_t kLineSize = 24;
// Writes the event's line, without line end, to `line` (room for kLineSize
// characters); returns its length.
std::size_t format(const Event& event, char* line);
std::string format(const Event& event);

// Whether a line (without line end) may begin a trace: an event line or the
// heading comment "# trace: ...".
bool beginsTrace(std::string_view line);

// ---- The trace file --------------------------------------------------------
// One per process, shared by every connection opened in it, written through
// a buffer.

namespace detail {
extern std::atomic<bool> on;
}

// True once a trace file is open: every access is then traced.
inline bool on() { return detail::on.load(std::memory_order_relaxed); }

// Opens the file TV940_TRACE names, if it is set and no trace is open yet.
// False with *failure (one line) when it cannot be written, or when it holds
// something other than a trace, which it then leaves as it is.
bool start(std::string* failure);

void write(const Event& event);
// A comment line: "# " and the text.
void comment(std::string_view text);

// Writes out what the buffer holds. "" when the whole trace has reached the
// file (or none is written), else one line naming the file and the reason;
// a trace that failed once stays failed and is written no further.
const char* finish();

}  // namespace platform::trace
