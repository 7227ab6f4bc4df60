// Reading a trace line by line, each line held only until the next.
#include "tools/tv940-trace/event_stream.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace trace {

EventStream::EventStream(std::string path)
    : path_(std::move(path)), in_(path_, std::ios::binary) {
  if (!in_) fail("cannot read " + path_ + ": " + std::strerror(errno));
}

void EventStream::fail(const std::string& why) {
  if (error_.empty()) error_ = why;
}

// The next line into text_, without its line end; false at the end of the
// file or on an error.
bool EventStream::readLine() {
  in_.getline(buffer_, sizeof buffer_);
  const std::streamsize taken = in_.gcount();
  if (in_.bad()) {
    fail("cannot read " + path_ + ": " + std::strerror(errno));
    return false;
  }
  if (in_.eof() && taken == 0) return false;
  ++lines_;
  if (in_.fail() && !in_.eof()) {
    fail(path_ + ":" + std::to_string(lines_) + ": a line longer than " +
         std::to_string(kMaxLine) + " bytes: not a trace event");
    return false;
  }
  // What was taken, less the line feed that ended it (none at the end of
  // the file); a NUL byte stays in, for the parser to refuse.
  std::size_t length = static_cast<std::size_t>(taken) - (in_.eof() ? 0 : 1);
  if (length != 0 && buffer_[length - 1] == '\r') --length;  // CR LF
  text_.assign(buffer_, length);
  return true;
}

bool EventStream::next(Event* event) {
  static const std::string kHeading = "trace: ";
  while (error_.empty() && readLine()) {
    const std::size_t start = text_.find_first_not_of(" \t");
    if (start == std::string::npos) continue;  // a blank line says nothing
    if (text_[start] == '#') {
      const std::size_t body = text_.find_first_not_of(" \t", start + 1);
      if (device_.empty() && body != std::string::npos &&
          text_.compare(body, kHeading.size(), kHeading) == 0) {
        device_ = text_.substr(body + kHeading.size());
      }
      continue;
    }
    if (!parseEvent(text_, event)) {
      fail(path_ + ":" + std::to_string(lines_) +
           ": not a trace event: " + quotedLine(text_));
      return false;
    }
    event->line = lines_;
    ++events_;
    return true;
  }
  return false;
}

}  // namespace trace
