// A trace's events one at a time, for check and diff: the trace file's
// second pass, after the first has checked every line and found the I/O
// base. Memory does not grow with the trace's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/tv940-trace/trace_file.h"

namespace trace {

class EventStream {
 public:
  // Reads the trace through once; error() says why when it cannot be read.
  explicit EventStream(const std::string& path);

  // The next event, its line number set; false at the end of the trace and
  // when it cannot be read, error() then saying why in one line that names
  // the file (and the line at fault).
  bool next(Event* event);
  const std::string& error() const { return error_; }

  // A port event's offset from its I/O base: the one the trace records, else
  // the base of the block of ports that most port accesses fall in.
  std::uint32_t portOffset(const Event& event) const {
    return event.portOffset();
  }
  std::size_t events() const { return events_; }
  // The warnings for a trace that is not whole (cut short, no end line).
  std::vector<std::string> endWarnings() const;
  // What the first pass found (once it went through).
  const Survey& survey() const { return file_.survey(); }
  // The note on an I/O base taken from the port accesses; "" for none.
  std::string baseNote() const {
    return guessedBaseNote(survey().ending, survey().ioBase);
  }

 private:
  TraceFile file_;
  std::string error_;
  std::size_t events_ = 0;
};

}  // namespace trace
