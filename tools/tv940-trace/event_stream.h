// A trace read one event at a time, in memory that does not grow with its
// length: what check and diff walk through. Comments are passed over; the
// device heading a backend writes first is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "tools/tv940-trace/trace_file.h"

namespace trace {

class EventStream {
 public:
  explicit EventStream(std::string path);

  // The next event, its line number set; false at the end of the trace and
  // when it cannot be read, error() then saying why in one line that names
  // the file (and the line at fault).
  bool next(Event* event);
  const std::string& error() const { return error_; }

  const std::string& path() const { return path_; }
  std::size_t events() const { return events_; }
  // The device heading ("device sim (simulated card)"), once read; "" if none.
  const std::string& device() const { return device_; }

 private:
  bool readLine();
  void fail(const std::string& why);

  static constexpr std::size_t kMaxLine = 4096;  // far longer than any event

  std::string path_;
  std::ifstream in_;
  char buffer_[kMaxLine + 1];
  std::string text_;
  std::size_t lines_ = 0, events_ = 0;
  std::string device_;
  std::string error_;
};

// The I/O base a trace's port addresses are taken relative to: the port
// block (aligned to its size) of the trace's first port access, which is
// the bring-up's.
class PortBase {
 public:
  // The offset of a port access from the base.
  std::uint32_t offset(const Event& event) {
    if (!base_) base_ = event.where & ~(kPortBlockSize - 1);
    return (event.where - *base_) & 0xFFFF;
  }
  std::optional<std::uint32_t> base() const { return base_; }

 private:
  std::optional<std::uint32_t> base_;
};

}  // namespace trace
