// The trace's lines and its file.
#include "platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "card/system_error.h"
#include "platform/os.h"

namespace platform::trace {

std::atomic<bool> detail::on{false};

namespace {

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
        "cannot write the trace file " + w.path + ": " + describe(error);
  }
}

void putLocked(Writer& w, const char* text, std::size_t size) {
  if (w.file == nullptr || !w.failure.empty()) return;
  errno = 0;
  if (std::fwrite(text, 1, size, w.file) != size) failLocked(w, errno);
}

// Whether the file at `path` may be replaced by a trace: it does not exist,
// is not a plain file (a device such as /dev/null), is empty, or begins as a
// trace does. False with *failure otherwise.
bool mayReplace(const std::string& path, std::string* failure) {
  if (!os::isPlainFile(path.c_str())) return true;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *failure = "cannot read " + path +
               " to check that it is a trace: " + describe(errno);
    return false;
  }
  auto reader = std::make_unique<card::trace::LineReader>(file);
  const card::trace::LineReader::Result first = reader->next();
  std::fclose(file);
  using Result = card::trace::LineReader::Result;
  if (first == Result::ReadError) {
    *failure = "cannot read " + path +
               " to check that it is a trace: " + describe(reader->error());
    return false;
  }
  if (first == Result::End) return true;  // empty
  if (first == Result::Line && card::trace::beginsTrace(reader->line()))
    return true;
  *failure = "will not write the trace over " + path +
             ": it holds something other than a trace (its first line is "
             "neither a trace event nor \"" +
             std::string(card::trace::kHeading) + " ...\")";
  return false;
}

}  // namespace

// ---- The file -------------------------------------------------------------

bool start(std::string* failure) {
  const char* path = std::getenv("TV940_TRACE");
  if (path == nullptr || *path == '\0') return true;
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  if (w.file != nullptr) return true;
  if (!mayReplace(path, failure)) return false;
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) {
    *failure = std::string("cannot write the trace file ") + path + ": " +
               describe(errno);
    return false;
  }
  std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
  w.file = file;
  w.path = path;
  detail::on.store(true);
  // A program that never asks for the rest of the trace still ends it.
  std::atexit([] { finish(); });
  return true;
}

void write(const Event& event) {
  char line[kLineSize + 1];
  std::size_t size = format(event, line);
  line[size++] = '\n';
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  putLocked(w, line, size);
  ++w.events;
  w.ended = false;
}

void comment(std::string_view text) {
  std::string line = "# ";
  line += text;
  line += '\n';
  Writer& w = writer();
  os::LockGuard guard(w.lock);
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
