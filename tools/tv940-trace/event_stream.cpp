// A trace's events through the trace file's two passes.
#include "tools/tv940-trace/event_stream.h"

namespace trace {

EventStream::EventStream(const std::string& path) { file_.open(path, &error_); }

bool EventStream::next(Event* event) {
  if (!error_.empty()) return false;
  if (file_.next(event)) {
    ++events_;
    return true;
  }
  error_ = file_.error();
  return false;
}

std::vector<std::string> EventStream::endWarnings() const {
  return trace::endWarnings(file_.survey().ending);
}

}  // namespace trace
