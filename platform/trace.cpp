// The trace's lines and its file.
#include "platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "card/card_map.h"
#include "card/hex.h"
#include "card/system_error.h"
#include "platform/os.h"

namespace platform::trace {

std::atomic<bool> detail::on{false};

namespace {

constexpr std::string_view kHeading = "# trace:";

char* putText(char* at, std::string_view text) {
  for (char c : text) *at++ = c;
  return at;
}

const char* nameOf(Kind kind) {
  switch (kind) {
    case Kind::Request:
      return "req";
    case Kind::PortOut:
      return "out";
    case Kind::PortIn:
      return "in";
    case Kind::WindowWrite:
      return "wr";
    case Kind::WindowRead:
      return "rd";
    case Kind::DriverWrite:
      return "dwr";
    case Kind::DriverRead:
      return "drd";
    case Kind::Interrupt:
      return "irq";
  }
  return "?";
}

// ---- Reading a line back ----

bool isHex(std::string_view text, std::size_t minDigits,
           std::size_t maxDigits) {
  if (text.size() < minDigits || text.size() > maxDigits) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isEventLine(std::string_view line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  const std::string_view name = line.substr(0, blank);
  std::string_view rest = line.substr(blank + 1);
  if (name == "req") {
    return !rest.empty() && rest.size() <= 10 &&
           rest.find_first_not_of("0123456789") == std::string_view::npos;
  }
  if (name == "irq") return isHex(rest, 8, 8);
  const bool port = name == "out" || name == "in";
  if (!port && name != "wr" && name != "rd" && name != "dwr" && name != "drd") {
    return false;
  }
  const std::size_t second = rest.find(' ');
  if (second == std::string_view::npos || !isHex(rest.substr(second + 1), 8, 8))
    return false;
  const std::string_view where = rest.substr(0, second);
  if (!port && !where.empty() && where[0] == '@') {
    return isHex(where.substr(1), 6, 8);
  }
  return isHex(where, 4, 4);
}

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
  char head[64];
  errno = 0;
  const std::size_t size = std::fread(head, 1, sizeof head, file);
  const bool unread = size == 0 && std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (unread) {
    *failure = "cannot read " + path +
               " to check that it is a trace: " + describe(error);
    return false;
  }
  if (size == 0) return true;  // empty
  std::string_view line(head, size);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (beginsTrace(line)) return true;
  *failure = "will not write the trace over " + path +
             ": it holds something other than a trace (its first line is "
             "neither a trace event nor \"" +
             std::string(kHeading) + " ...\")";
  return false;
}

}  // namespace

// ---- Lines ----------------------------------------------------------------

Event wordEvent(Kind kind, std::uint32_t offset, std::uint32_t value,
                bool reached) {
  const bool inChip = reached && card::isChipOffset(offset);
  return Event{kind, inChip ? card::chipAddressOf(offset) : offset, value,
               inChip};
}

std::size_t format(const Event& event, char* line) {
  char* at = putText(line, nameOf(event.kind));
  *at++ = ' ';
  switch (event.kind) {
    case Kind::Request: {
      char digits[10];
      int count = 0;
      std::uint32_t code = event.where;
      do {
        digits[count++] = char('0' + code % 10);
        code /= 10;
      } while (code != 0);
      while (count > 0) *at++ = digits[--count];
      break;
    }
    case Kind::Interrupt:
      at = card::putHex(at, event.value, 8);
      break;
    case Kind::PortOut:
    case Kind::PortIn:
      at = card::putHex(at, event.where, 4);
      *at++ = ' ';
      at = card::putHex(at, event.value, 8);
      break;
    default:
      if (event.inChip) {
        at = card::putHex(at, event.where, 4);
      } else {
        *at++ = '@';
        at = card::putHex(at, event.where, 6);
      }
      *at++ = ' ';
      at = card::putHex(at, event.value, 8);
      break;
  }
  return std::size_t(at - line);
}

std::string format(const Event& event) {
  char line[kLineSize];
  return std::string(line, format(event, line));
}

bool beginsTrace(std::string_view line) {
  return line.substr(0, kHeading.size()) == kHeading || isEventLine(line);
}

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
  return true;
}

void write(const Event& event) {
  char line[kLineSize + 1];
  std::size_t size = format(event, line);
  line[size++] = '\n';
  Writer& w = writer();
  os::LockGuard guard(w.lock);
  putLocked(w, line, size);
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
    errno = 0;
    if (std::fflush(w.file) != 0) failLocked(w, errno);
  }
  // Once set, the failure never changes, so the text stays valid.
  return w.failure.empty() ? "" : w.failure.c_str();
}

}  // namespace platform::trace
