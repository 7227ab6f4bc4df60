// libFuzzer target for the BFX configuration loader.
//
// Each input is written to a temporary file and loaded with
// Board::loadConfiguration into a simulated card. Besides the sanitizers'
// checks, every input must satisfy:
//   - the result is 0 or -7 (the file exists, so never -6), and it is the
//     result that an independent reading of the format (below) expects;
//   - the chip writes the card saw are exactly the pair lines of the input,
//     in file order, each one 32-bit word written through the window at an
//     address of at most 0xFFFF, and nothing else reached the card;
//   - a stale ERANGE in errno (left by an earlier library call) changes
//     nothing;
//   - the heap a load of a long input uses stays bounded, whatever the
//     length of its lines.
// A violation prints what differed and aborts, which libFuzzer reports as a
// crash and saves the input.
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "platform/trace.h"

namespace {

// ---- The format, read independently of the loader -------------------------
//
// Lines end at a line feed; a carriage return right before the line feed is
// not part of the line; Ctrl-Z (0x1A) ends the text. A line of more than
// 64 KiB is an error; a NUL ends a line's text. Tokens are separated by runs of
// blanks and tabs. A line without tokens, or whose first token begins with "#",
// is skipped; any other line is a pair line: address and data, both converted
// as unsigned 32-bit hexadecimal numbers the way the C library's conversion
// does (leading white space, optional sign, optional 0x, digits up to the first
// non-digit, no digit giving 0, more than 32 bits out of range). The address
// must be at most 0xFFFF. The first bad line ends the load with -7.

constexpr std::size_t kMaxLine = 64 * 1024;

struct Write {
  std::uint32_t address;
  std::uint32_t data;
  bool operator==(const Write&) const = default;
};

struct Expectation {
  ErrorCode result = 0;
  std::vector<Write> writes;
  std::size_t failingLine = 0;  // 1-based, for -7
};

bool isTokenSeparator(char c) { return c == ' ' || c == '\t'; }

// White space as the "C" locale classifies it.
bool isCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The C library's unsigned conversion in base 16, for a 32-bit unsigned
// long; nothing when it reports out of range.
std::optional<std::uint32_t> convertHex(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && isCSpace(token[i])) ++i;
  bool minus = false;
  if (i < token.size() && (token[i] == '-' || token[i] == '+')) {
    minus = token[i] == '-';
    ++i;
  }
  // "0x" is a prefix only if a digit follows; "0xZ" is the number 0.
  if (token.substr(i, 2) == "0x" || token.substr(i, 2) == "0X") {
    if (i + 2 < token.size() && digitValue(token[i + 2]) >= 0) i += 2;
  }
  std::uint64_t magnitude = 0;
  for (; i < token.size() && digitValue(token[i]) >= 0; ++i) {
    magnitude =
        magnitude * 16 + static_cast<std::uint64_t>(digitValue(token[i]));
    if (magnitude > 0xFFFFFFFFu) return std::nullopt;
  }
  const auto value = static_cast<std::uint32_t>(magnitude);
  return minus ? static_cast<std::uint32_t>(~value + 1u) : value;
}

std::vector<std::string_view> tokensOf(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isTokenSeparator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !isTokenSeparator(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

Expectation expectedLoad(std::string_view text) {
  Expectation expected;
  const std::size_t ctrlZ = text.find('\x1a');
  if (ctrlZ != std::string_view::npos) text = text.substr(0, ctrlZ);

  std::size_t lineNumber = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    ++lineNumber;
    const std::size_t lineFeed = text.find('\n', position);
    std::string_view line;
    if (lineFeed == std::string_view::npos) {
      line = text.substr(position);
      position = text.size();
    } else {
      line = text.substr(position, lineFeed - position);
      position = lineFeed + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    const auto fail = [&] {
      expected.result = -7;
      expected.failingLine = lineNumber;
      return expected;
    };
    if (line.size() > kMaxLine) return fail();
    line = line.substr(0, line.find('\0'));  // a NUL ends the line's text

    const std::vector<std::string_view> tokens = tokensOf(line);
    if (tokens.empty() || tokens[0].front() == '#') continue;
    if (tokens.size() < 2) return fail();
    const std::optional<std::uint32_t> address = convertHex(tokens[0]);
    if (!address || *address > 0xFFFF) return fail();
    const std::optional<std::uint32_t> data = convertHex(tokens[1]);
    if (!data) return fail();
    expected.writes.push_back({*address, *data});
  }
  return expected;
}

// ---- Heap use during a load ------------------------------------------------
//
// The loader holds at most one line and refuses lines over 64 KiB, so
// whatever the input its heap stays within these bounds: no block larger
// than twice the longest line (a growing line buffer), and in all less than
// that plus the old block while it grows and the stream's buffer. A loader
// that holds a whole long line exceeds them on the long-line seeds.
constexpr std::int64_t kBlockBound = 160 * 1024;
constexpr std::int64_t kHeapBound = 256 * 1024;
// Inputs of at least this size are loaded a second time, on the card that
// records nothing, to measure the heap: long input is where a loader that
// holds too much shows, and one load per short input keeps the run fast.
constexpr std::size_t kMeasuredInput = 64 * 1024;

std::atomic<bool> measuring{false};
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};
std::atomic<std::int64_t> largestBlock{0};

void onMalloc(const volatile void*, std::size_t size) {
  if (!measuring.load(std::memory_order_relaxed)) return;
  std::int64_t largest = largestBlock.load();
  while (static_cast<std::int64_t>(size) > largest &&
         !largestBlock.compare_exchange_weak(largest,
                                             static_cast<std::int64_t>(size))) {
  }
  const std::int64_t now =
      liveBytes.fetch_add(static_cast<std::int64_t>(size)) +
      static_cast<std::int64_t>(size);
  std::int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
}

void onFree(const volatile void* pointer) {
  if (!measuring.load(std::memory_order_relaxed) || pointer == nullptr) return;
  liveBytes.fetch_sub(static_cast<std::int64_t>(
      __sanitizer_get_allocated_size(const_cast<const void*>(pointer))));
}

// ---- The harness -----------------------------------------------------------

struct Harness {
  std::string path;  // the temporary design file
  int fd = -1;
  // One board on a card that records every access, one on a card that
  // records nothing, so that the heap measured is the loader's alone.
  Board* recorded = nullptr;
  std::shared_ptr<sim::Card> recordedCard;
  Board* measured = nullptr;
};

Harness* harness = nullptr;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "loader_fuzz: %s\n", what);
  std::abort();
}

void removeTemporaryFile() {
  if (harness != nullptr) ::unlink(harness->path.c_str());
}

Board* openBoard(bool recordEvents) {
  sim::resetSettings();
  sim::nextSettings().recordEvents = recordEvents;
  auto* board = new Board;
  if (board->open() != 0) die("cannot open the simulated card");
  return board;
}

void writeInput(const std::uint8_t* data, std::size_t size) {
  if (::ftruncate(harness->fd, 0) != 0) die("cannot truncate the input file");
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(harness->fd, data + done, size - done,
                               static_cast<off_t>(done));
    if (n <= 0) die("cannot write the input file");
    done += static_cast<std::size_t>(n);
  }
}

std::string describe(const Write& write) {
  char text[40];
  std::snprintf(text, sizeof text, "%04x := %08x", unsigned(write.address),
                unsigned(write.data));
  return text;
}

[[noreturn]] void violation(const std::string& what,
                            const Expectation& expected, ErrorCode result) {
  std::fprintf(stderr,
               "loader_fuzz: property violated: %s\n"
               "  loader result %d, expected %d (failing line %zu), %zu "
               "expected writes\n",
               what.c_str(), int(result), int(expected.result),
               expected.failingLine, expected.writes.size());
  std::abort();
}

void checkRecordedLoad(const Expectation& expected) {
  harness->recordedCard->clearEvents();
  errno = ERANGE;  // as an earlier failed conversion elsewhere would leave it
  const ErrorCode result =
      harness->recorded->loadConfiguration(harness->path.c_str());
  const std::vector<sim::Event> events = harness->recordedCard->events();

  if (result != 0 && result != -6 && result != -7) {
    violation("result is none of 0, -6, -7", expected, result);
  }
  if (result == -6)
    violation("an existing file was not opened", expected, result);

  std::vector<Write> seen;
  for (const sim::Event& event : events) {
    if (event.kind != sim::EventKind::WindowWrite || !event.inChip) {
      violation("the card saw an access other than a chip write: " +
                    platform::trace::format(event),
                expected, result);
    }
    if (event.where > 0xFFFF) {
      violation("chip address beyond 0xFFFF: " + platform::trace::format(event),
                expected, result);
    }
    seen.push_back({event.where, event.value});
  }
  for (std::size_t i = 0; i < seen.size() && i < expected.writes.size(); ++i) {
    if (seen[i] != expected.writes[i]) {
      violation("write " + std::to_string(i + 1) + " is " + describe(seen[i]) +
                    ", the input's pair line says " +
                    describe(expected.writes[i]),
                expected, result);
    }
  }
  if (seen.size() != expected.writes.size()) {
    violation(std::to_string(seen.size()) + " chip writes for " +
                  std::to_string(expected.writes.size()) + " pair lines",
              expected, result);
  }
  if (result != expected.result) {
    violation("wrong result", expected, result);
  }
}

void checkHeapUse(const Expectation& expected) {
  liveBytes = 0;
  peakBytes = 0;
  largestBlock = 0;
  measuring = true;
  const ErrorCode result =
      harness->measured->loadConfiguration(harness->path.c_str());
  measuring = false;
  if (result != expected.result) {
    violation("a second load of the same file gave another result", expected,
              result);
  }
  if (largestBlock.load() > kBlockBound) {
    violation("the load allocated a block of " +
                  std::to_string(largestBlock.load()) + " bytes (bound " +
                  std::to_string(kBlockBound) + ")",
              expected, result);
  }
  if (peakBytes.load() > kHeapBound) {
    violation("the load used " + std::to_string(peakBytes.load()) +
                  " bytes of heap (bound " + std::to_string(kHeapBound) + ")",
              expected, result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("TV940_DEVICE", "sim", 1);
  ::unsetenv("TV940_SIM_FAULTS");
  harness = new Harness;

  // In TMPDIR when set (the fuzz stage points it into its build directory,
  // where a file left by a crashed run does no harm).
  const char* directory = std::getenv("TMPDIR");
  std::string name =
      std::string(directory != nullptr && *directory != '\0' ? directory
                                                             : "/tmp") +
      "/loader_fuzz-XXXXXX.bfx";
  harness->fd = ::mkstemps(name.data(), 4);
  if (harness->fd < 0) die("cannot create the temporary input file");
  harness->path = name;
  std::atexit(removeTemporaryFile);

  // The measured board first: the recorded one must be the current card.
  harness->measured = openBoard(false);
  harness->recorded = openBoard(true);
  harness->recordedCard = sim::Card::current();
  if (harness->recordedCard == nullptr) die("no simulated card");

  // A file that does not exist: -6, nothing written, and it is not created.
  const std::string absent = harness->path + ".absent";
  harness->recordedCard->clearEvents();
  if (harness->recorded->loadConfiguration(absent.c_str()) != -6 ||
      !harness->recordedCard->events().empty() ||
      ::access(absent.c_str(), F_OK) == 0) {
    die("property violated: an absent file must give -6 and write nothing");
  }

  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  writeInput(data, size);
  const Expectation expected =
      expectedLoad(std::string_view(reinterpret_cast<const char*>(data), size));
  checkRecordedLoad(expected);
  if (size >= kMeasuredInput) checkHeapUse(expected);
  return 0;
}
