// The trace's lines and its file.
#include "platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "card/shown.h"
#include "card/system_error.h"
#include "platform/os.h"

namespace platform::trace {

std::atomic<bool> detail::on{false};

namespace {

// A file name as messages show it: one line, of a bounded length.
std::string shown(const std::string& path) { return card::shownValue(path); }

// A failed write that leaves no error number is still a write error.
std::string describe(int error) {
  return error == 0 ? "write error" : card::systemErrorText(error);
}

// ---- The file ----

struct Writer {
  os::Lock lock;
  std::FILE* file = nullptr;
  std::string path;
  std::string failure;  // the first failure; "" while the trace is whole
  std::uint64_t events = 0;
  bool ended = false;  // the end line follows the last event
  // Files the trace must never be (path, what it is).
  std::vector<std::pair<std::string, std::string>> keptOff;
  // The open connections' numbers, by key.
  std::map<const void*, std::uint32_t> connections;
};

// Never destroyed: detached threads may still trace while the process exits,
// which flushes the file.
Writer& writer() {
  static auto* w = new Writer;
  return *w;
}

void failLocked(Writer& w, int error) {
  if (w.failure.empty()) {
    w.failure =
        "cannot write the trace file " + shown(w.path) + ": " + describe(error);
  }
}

void putLocked(Writer& w, const char* text, std::size_t size) {
  if (w.file == nullptr || !w.failure.empty()) return;
  errno = 0;
  if (std::fwrite(text, 1, size, w.file) != size) failLocked(w, errno);
}

// What mayReplace checks, and where it says why not.
struct Replacing {
  std::string path;
  std::string* failure;
};

// Whether the plain file at `path` may be replaced by a trace: it is empty,
// or its first line begins a trace, as the trace reader has it. False with
// *failure otherwise.
bool mayReplace(void* context) {
  const Replacing& r = *static_cast<Replacing*>(context);
  std::FILE* file = std::fopen(r.path.c_str(), "rb");
  if (file == nullptr) {
    *r.failure = "cannot read " + shown(r.path) +
                 " to check that it is a trace: " + describe(errno);
    return false;
  }
  auto reader = std::make_unique<card::trace::LineReader>(file);
  const card::trace::LineReader::Result first = reader->next();
  std::fclose(file);
  using Result = card::trace::LineReader::Result;
  if (first == Result::ReadError) {
    const int error = reader->error();
    *r.failure = "cannot read " + shown(r.path) +
                 " to check that it is a trace: " +
                 (error != 0 ? describe(error) : "read error");
    return false;
  }
  if (first == Result::End) return true;  // empty
  if (first == Result::Line && card::trace::beginsTrace(reader->line()))
    return true;
  *r.failure = "will not write the trace over " + shown(r.path) +
               ": it holds something other than a trace (its first line is "
               "neither a trace event nor a trace's heading \"" +
               std::string(card::trace::kHeading) + " ...\" or end)";
  return false;
}

// Why the trace may not go to `path`: it is one of the files the program
// keeps off the trace, or its standard output or error; "" when it may.
std::string whyNotThere(const Writer& w, const std::string& path) {
  const std::string named = "TV940_TRACE names " + shown(path) + ", ";
  for (const auto& [file, what] : w.keptOff) {
    if (os::sameFile(path.c_str(), file.c_str())) {
      return named + what + (file != path ? " (" + shown(file) + ")" : "") +
             ": the trace would spoil it";
    }
  }
  if (const int stream = os::standardStreamOf(path.c_str()); stream != 0) {
    return named + "the file that standard " +
           (stream == 1 ? "output" : "error") +
           " writes to: the trace and the program's lines would spoil each "
           "other";
  }
  return "";
}

std::string openFailure(const os::TraceFile& opened, const std::string& path) {
  using Failure = os::TraceFile::Failure;
  switch (opened.failure) {
    case Failure::NoReader:
      return "cannot write the trace to the FIFO " + shown(path) +
             ": no reader (no program has it open for reading)";
    case Failure::InUse:
      return "the trace file " + shown(path) +
             " is in use by another program, which writes to it";
    case Failure::Device:
      return "cannot write the trace to the device " + shown(path) + ": " +
             describe(opened.error) +
             (path == "/dev/tty" ? " (the program has no controlling terminal)"
                                 : "");
    default:
      return "cannot write the trace file " + shown(path) + ": " +
             describe(opened.error);
  }
}

}  // namespace

// ---- The file -------------------------------------------------------------

bool start(std::string* failure) {
  const char* path = std::getenv("TV940_TRACE");
  if (path == nullptr || *path == '\0') return true;
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  if (w.file != nullptr) return true;
  if (std::string why = whyNotThere(w, path); !why.empty()) {
    *failure = why + "; name another file";
    return false;
  }
  Replacing replacing{path, failure};
  const os::TraceFile opened = os::openTraceFile(path, mayReplace, &replacing);
  if (opened.file == nullptr) {
    if (opened.failure != os::TraceFile::Failure::Kept)
      *failure = openFailure(opened, path);
    return false;
  }
  std::setvbuf(opened.file, nullptr, _IOFBF, 1 << 16);
  w.file = opened.file;
  w.path = path;
  detail::on.store(true);
  // A program that never asks for the rest of the trace still ends it.
  std::atexit([] { finish(); });
  return true;
}

void keepOff(const char* path, const char* what) {
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  w.keptOff.emplace_back(path, what);
}

bool writesTo(const char* path) {
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  return w.file != nullptr && os::sameFile(path, w.path.c_str());
}

namespace {

// The number a line of the connection carries; 0 for an untagged line.
std::uint32_t tagLocked(const Writer& w, const void* key) {
  if (key == nullptr) return 0;
  const auto found = w.connections.find(key);
  if (found == w.connections.end()) return 0;
  return w.connections.size() > 1 || found->second != 1 ? found->second : 0;
}

}  // namespace

std::string opened(const void* key) {
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  // The smallest number not in use (the map is small: the open connections).
  std::uint32_t number = 1;
  for (; number < card::trace::kMaxConnection; ++number) {
    bool used = false;
    for (const auto& entry : w.connections) used |= entry.second == number;
    if (!used) break;
  }
  w.connections[key] = number;
  const std::uint32_t tag = tagLocked(w, key);
  return tag != 0 ? ", connection " + std::to_string(tag) : "";
}

void closed(const void* key) {
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  w.connections.erase(key);
}

void write(const Event& event, const void* connection) {
  char line[kLineSize + 1];
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  Event tagged = event;
  tagged.connection = tagLocked(w, connection);
  std::size_t size = format(tagged, line);
  line[size++] = '\n';
  putLocked(w, line, size);
  ++w.events;
  w.ended = false;
}

void comment(std::string_view text, const void* connection) {
  std::string line = "# ";
  line += text;
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  if (const std::uint32_t tag = tagLocked(w, connection); tag != 0)
    line += ", connection " + std::to_string(tag);
  line += '\n';
  putLocked(w, line.data(), line.size());
}

const char* finish() {
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  if (w.file != nullptr && w.failure.empty()) {
    // The end line tells a whole trace from one cut short; events traced
    // after it get one of their own at the next finish.
    if (!w.ended) {
      const std::string end = card::trace::endLine(w.events) + "\n";
      putLocked(w, end.data(), end.size());
      w.ended = true;
    }
    errno = 0;
    if (std::fflush(w.file) != 0) failLocked(w, errno);
  }
  // Once set, the failure never changes, so the text stays valid.
  return w.failure.empty() ? "" : w.failure.c_str();
}

}  // namespace platform::trace
