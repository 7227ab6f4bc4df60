// The trace of a run (TV940_TRACE): its events, the one writer of its lines
// and the one reader of them. The seam writes traces with it, checks with it
// that a file it would overwrite is a trace, and tv940-trace reads them with
// it, so all three agree on what a trace is.
//
// A trace is lines, each ended by a line feed (CR LF where the system writes
// text so); no line is longer than kMaxLineLength characters:
//   req N               a driver request that carries no chip data (code N)
//   out PPPP VVVVVVVV   a port output: port, value (hexadecimal)
//   in PPPP VVVVVVVV    a port input: port, value read
//   wr AAAA VVVVVVVV    a window write at chip address AAAA
//   rd AAAA VVVVVVVV    a window read; the value read
//   dwr, drd            the same through the driver (requests 1 and 2; one
//                       line per word)
//   irq VVVVVVVV        the card raised an interrupt with this word
//   # text              a comment
//   (empty)             an empty line says nothing
// While more than one connection is open in the process, each event line
// begins with its connection's number, "cN " (N from 1, the smallest not in
// use at its open): "c2 rd c000 00000008". An untagged line belongs to
// connection 1, so the trace of one connection at a time has no tags. The
// heading of an open while others are open ends ", connection N", and the
// comments of a tagged connection likewise.
// A window or driver word outside the chip's region shows as @OOOOOO, its
// byte offset in the window (six or more digits). An event line is exactly
// as the writer writes it: lower-case digits, as many as shown, one blank
// between fields, no blank around them.
//
// The first line is an event, the heading "# trace: device ..." that every
// open writes, or the end line; anything else (another comment, an empty
// line) makes the file something other than a trace. A run's trace ends
// with the end line "# trace end: N events", N counting every event line
// of the file; a trace without it was cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace card::trace {

enum class Kind {
  Request,      // where = code
  PortOut,      // where = port, value = written
  PortIn,       // where = port, value = read
  WindowWrite,  // where = chip address (inChip) or window byte offset
  WindowRead,   // likewise, value = read
  DriverWrite,  // request 1, one word
  DriverRead,   // request 2, one event per word
  Interrupt,    // value = the word
};

struct Event {
  Kind kind = Kind::Request;
  std::uint32_t where = 0;
  std::uint32_t value = 0;
  bool inChip = false;  // window and driver words: where is a chip address
  // The connection's number on a tagged line (1 to kMaxConnection); 0 for
  // an untagged one.
  std::uint32_t connection = 0;

  bool operator==(const Event&) const = default;
};

// The event of a window or driver word at a window byte offset: the chip
// address form when the offset is a word of the chip's region and `reached`,
// the offset form otherwise.
Event wordEvent(Kind kind, std::uint32_t offset, std::uint32_t value,
                bool reached);

// ---- Writing ---------------------------------------------------------------

// The highest connection number a line carries.
inline constexpr std::uint32_t kMaxConnection = 999999;
// The longest event line, without line end: "c999999 dwr @ffffffff
// ffffffff".
inline constexpr std::size_t kLineSize = 32;
// Writes the event's line, without line end, to `line` (room for kLineSize
// characters); returns its length.
std::size_t format(const Event& event, char* line);
std::string format(const Event& event);

// The heading's start; the seam writes "# trace: device <as selected>
// (<backend>)" at every open.
inline constexpr std::string_view kHeading = "# trace:";
// The end line: "# trace end: N events".
std::string endLine(std::uint64_t events);
// The record of where the card sits, which the seam writes once the card's
// configuration block is read: "# bases: window 0xWWWWWWWW, ports 0xPPPP",
// the window's base address register and the I/O base of the ports. Port
// accesses after it are held against that base, up to the next heading.
std::string basesComment(std::uint32_t windowBase, std::uint16_t ioBase);
// The I/O base of a bases comment (the line without its line end), and the
// connection its ", connection N" names (0 without one); false for any
// other text.
bool parseBases(std::string_view line, std::uint16_t* ioBase,
                std::uint32_t* connection);
// The suffix ", connection N" of a heading or comment of a tagged connection:
// N, or 0 without one.
std::uint32_t connectionOf(std::string_view line);
// A comment the seam writes for each access the card failed: "# the card
// failed <access>: <reason>".
inline constexpr std::string_view kCardFailed = "# the card failed ";

// ---- Reading ---------------------------------------------------------------

// No line of a trace is longer (without its line end).
inline constexpr std::size_t kMaxLineLength = 4096;

// The event of an event line (without line end); false for any other text.
bool parseEvent(std::string_view line, Event* event);
// The count of an end line; false for any other text.
bool parseEndLine(std::string_view line, std::uint64_t* events);
inline bool isComment(std::string_view line) {
  return !line.empty() && line[0] == '#';
}
// Whether a file whose first line (without line end) is `line` is a trace:
// an event, the heading or the end line.
bool beginsTrace(std::string_view line);

// Reads a file a line at a time in a buffer of fixed size, whatever the
// length of the file or of its lines.
class LineReader {
 public:
  enum class Result {
    Line,       // line() holds the next line
    End,        // the file ended after the last line
    TooLong,    // the next line (number()) exceeds kMaxLineLength
    ReadError,  // error() holds the errno value, 0 when none was left
  };

  explicit LineReader(std::FILE* file) : file_(file) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  Result next();
  // The line without its line end (a line feed, and a carriage return
  // before it).
  std::string_view line() const { return line_; }
  // True when the file ended inside the line: it has no line end.
  bool cut() const { return cut_; }
  // The 1-based number of the line just read (or of the one too long).
  std::uint64_t number() const { return number_; }
  int error() const { return error_; }

 private:
  std::FILE* file_;
  char buffer_[4 * kMaxLineLength];
  std::size_t begin_ = 0, end_ = 0;  // unread bytes
  bool eof_ = false;
  std::string_view line_;
  bool cut_ = false;
  std::uint64_t number_ = 0;
  int error_ = 0;
};

}  // namespace card::trace
