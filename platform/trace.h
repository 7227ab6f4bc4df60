// Inside the seam: the trace of a run (TV940_TRACE). The seam writes one
// line per driver request, port access and chip-window access, whichever
// backend serves the connection, so that a run on a real card can be held
// line by line against a run on the simulated card.
//
// Its lines and how they read back are card/trace_format.h's.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "card/trace_format.h"
#include "platform/platform.h"

namespace platform::trace {

using card::trace::Event;
using card::trace::format;
using card::trace::Kind;
using card::trace::kLineSize;
using card::trace::wordEvent;

// ---- The trace file --------------------------------------------------------
// One per process, shared by every connection opened in it, written through
// a buffer.

namespace detail {
extern std::atomic<bool> on;
}

// True once a trace file is open: every access is then traced.
inline bool on() { return detail::on.load(std::memory_order_relaxed); }

// Opens the file TV940_TRACE names, if it is set and no trace is open yet.
// False with *failure (one line) when it cannot be written, when it holds
// something other than a trace, which it then leaves as it is, when another
// program writes its trace there, when it is a FIFO that no program reads,
// or when it is a file kept off the trace or the file standard output or
// error writes to.
bool start(std::string* failure);

// A file the trace must never be, and what it is ("the program's design").
void keepOff(const char* path, const char* what);
// Whether a trace is open and `path` names its file (links followed).
bool writesTo(const char* path);

// ---- Connections -----------------------------------------------------------
// Each open connection has a number in the trace: the smallest not in use
// when it opens. While more than one is open, or one other than number 1,
// its event lines carry the number ("c2 rd ..."), and its comments end
// ", connection N"; the trace of one connection at a time stays untagged.
// A connection is known by a key of its own, its device's address.

// The connection with `key` opens; the suffix its heading takes (", connection
// N" while others are open, else "").
std::string opened(const void* key);
// The connection with `key` has closed.
void closed(const void* key);

// An event line; `connection`: the key of the connection it belongs to (null
// for none known: the line is written untagged).
void write(const Event& event, const void* connection = nullptr);
// A comment line: "# " and the text (and the connection's suffix).
void comment(std::string_view text, const void* connection = nullptr);
// The event of the connection with that handle (connection.cpp finds its
// key): what the chip-window accessor calls for a traced access.
void writeFor(Handle connection, const Event& event);

// Ends the trace with its end line ("# trace end: N events", once for the
// events so far) and writes out what the buffer holds; the end of the
// process does so too. "" when the whole trace has reached the
// file (or none is written), else one line naming the file and the reason;
// a trace that failed once stays failed and is written no further.
const char* finish();

}  // namespace platform::trace
