// A run's trace as written by any backend, read a line at a time in bounded
// memory with the trace format's own reader (card/trace_format.h). Events
// keep their 1-based line numbers, so that everything said about them
// points back into the trace text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/card_map.h"
#include "card/trace_format.h"

namespace trace {

using card::trace::Kind;

struct Event : card::trace::Event {
  std::size_t line = 0;  // 1-based line number in the trace
  // The open of the card the event belongs to: the number of headings
  // before it (0 before the first). Each open starts with a card afresh.
  std::size_t session = 0;
  // Headings without a connection number before it: each ends every open.
  std::size_t epoch = 0;
  // The I/O base its port is held against: the one the trace records for
  // the open, else the one taken from the port accesses (second pass).
  std::uint32_t ioBase = 0;
  bool baseRecorded = false;

  bool isPort() const { return kind == Kind::PortOut || kind == Kind::PortIn; }
  bool isRead() const {
    return kind == Kind::WindowRead || kind == Kind::DriverRead ||
           kind == Kind::PortIn;
  }
  // A port event's offset from its I/O base.
  std::uint32_t portOffset() const { return (where - ioBase) & 0xFFFF; }
  // The connection it belongs to: its tag, 1 for an untagged line.
  std::uint32_t owner() const { return connection != 0 ? connection : 1; }

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
  std::size_t line = 0;
  std::string_view text;  // after the '#' and the blanks that follow it
};

// What the lines of a whole trace say about its end.
struct Ending {
  std::size_t lines = 0;   // lines in the file
  std::size_t events = 0;  // event lines
  // The last end line ("# trace end: N events"), if any: its line, its count
  // and the events that come before and after it.
  std::size_t endLine = 0;
  std::uint64_t endCount = 0;
  std::size_t eventsBeforeEnd = 0, eventsAfterEnd = 0;
  // The last line when the file ends inside it (0: it does not), and its
  // text as far as it goes; it is read as nothing.
  std::size_t cutLine = 0;
  std::string cutText;
  // The reads (rd, drd, in) among the events.
  std::size_t reads = 0;
  // The accesses the card failed ("# the card failed ..."): their count, the
  // first one's line and text.
  std::size_t failures = 0, failureLine = 0;
  std::string failureText;
  // Headings, and port accesses in an open that records no I/O base.
  std::size_t headings = 0;
  std::size_t unrecordedPorts = 0;
  // The connections whose events the trace holds (tagged or not), by number.
  std::vector<bool> connections;
  std::size_t connectionCount() const {
    std::size_t count = 0;
    for (bool seen : connections) count += seen;
    return count;
  }
};

// The highest connection number the tool reads: a trace numbers its
// connections from 1, the smallest not in use, so no more than were open at
// once.
inline constexpr std::uint32_t kConnections = 256;

// The warnings (without "warning: ") for a trace that was cut short or does
// not hold what its end line counts; none for a whole trace.
std::vector<std::string> endWarnings(const Ending& ending);
// Whether a trace is whole: it ends with an end line that counts its events.
inline bool whole(const Ending& ending) { return endWarnings(ending).empty(); }
// "the card failed 70 accesses, the first on line 12: <access>: <reason>";
// "" when it failed none.
std::string failureText(const Ending& ending);
// The note for a trace whose port accesses are held against an I/O base
// taken from their majority, not a recorded one; "" when none are.
std::string guessedBaseNote(const Ending& ending,
                            std::optional<std::uint16_t> guessed);

// One pass through a trace, in order. An error ends the pass: a line that is
// neither an event, a comment nor empty, a first line that does not begin a
// trace, a line longer than any trace line, or a failed read.
class TraceReader {
 public:
  enum class Item { Event, Comment, End, Error };

  static constexpr std::size_t kNoLimit = SIZE_MAX;

  // Reads `file` (not closed here), named `name` in errors, up to its end or
  // up to its line `lastLine`, writing each line it reads to `copy` too when
  // there is one.
  TraceReader(std::FILE* file, std::string name,
              std::size_t lastLine = kNoLimit, std::FILE* copy = nullptr);

  Item next();
  const Event& event() const { return event_; }
  const Comment& comment() const { return comment_; }
  // One line naming the file (and the line at fault), after Error.
  const std::string& error() const { return error_; }
  // After End: what the lines said.
  const Ending& ending() const { return ending_; }

 private:
  Item fail(std::string text);

  std::unique_ptr<card::trace::LineReader> lines_;
  std::string name_;
  std::size_t lastLine_;
  std::FILE* copy_;
  Event event_;
  Comment comment_;
  Ending ending_;
  std::string error_;
  // Per connection: its open at hand and the I/O base it records.
  struct Open {
    std::size_t session = 0;
    std::optional<std::uint16_t> base;
  };
  Open& openOf(std::uint32_t connection);
  std::size_t session_ = 0, epoch_ = 0;
  std::vector<Open> opens_;  // by connection number; session 0: none yet
};

// What a command needs to know before it walks a trace's events: the first
// pass through it.
struct Survey {
  Ending ending;
  std::string device;  // the first heading's text after "trace: ", or ""
  // The card's control ports form one block of kPortBlockSize ports at the
  // I/O base, which the card's I/O region aligns to the block size. Where
  // the trace does not record the base (traces of earlier versions), it is
  // that of the block holding most of the port accesses that lack one;
  // nothing when there are none.
  std::optional<std::uint16_t> ioBase;
  // Ports written: by port number where no base is recorded, by offset
  // from the recorded base where one is.
  std::vector<bool> portsWritten, offsetsWritten;
};

// A trace file read twice: open() goes through it once, checking every line
// and taking the survey; next() then gives its events again, in order. An
// input that cannot be read twice (a pipe) is kept in a temporary file
// during the first pass.
class TraceFile {
 public:
  TraceFile() = default;
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
  ~TraceFile();

  // False with *error (one line naming the file, and the line at fault) when
  // it cannot be read or is not a trace.
  bool open(const std::string& path, std::string* error);
  const Survey& survey() const { return survey_; }

  // The next event of the second pass; false at its end, and false with
  // error() set when the file changed since the first.
  bool next(Event* event);
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::FILE* spool_ = nullptr;
  std::unique_ptr<TraceReader> reader_;
  Survey survey_;
  std::string error_;
};

inline constexpr std::uint32_t kPortBlockSize = card::kPortSpan;

// The offset of the clock-programming port from the I/O base.
inline constexpr std::uint32_t kClockPortOffset = card::kClockPort;

}  // namespace trace
