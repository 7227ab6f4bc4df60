// The least work that writes a test program's output file: the same lines
// as its software model, each handed to the kernel by one write(2), as the
// one flush per line requires. bench/run times the models against it.
//
// Usage: minimal_writer kelpori|vontrel — writes kelpori.out or vontrel.out
// in the working directory. Every line is formatted into one buffer before
// the file is opened, so the run's time is the process, the open and the
// writes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The test programs' generator: state * 214013 + 2531011, bits 16-30.
class Draws {
 public:
  int next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFF);
  }

 private:
  std::uint32_t state_ = 1;
};

// Line texts back to back; ends[i] is one past the last byte of line i.
struct Lines {
  std::string text;
  std::vector<std::size_t> ends;

  void add(const char* line, int length) {
    text.append(line, static_cast<std::size_t>(length));
    ends.push_back(text.size());
  }
};

// 1000 blocks of 48 "SR: Ox" lines (capture, shift), each followed by an
// empty line.
Lines shiftRegisterLines() {
  Lines lines;
  lines.text.reserve(49000 * 19);
  lines.ends.reserve(49000);
  Draws draws;
  char line[32];
  for (int vector = 0; vector < 1000; ++vector) {
    std::uint32_t first = static_cast<std::uint32_t>(draws.next());
    std::uint32_t shift = first * static_cast<std::uint32_t>(draws.next());
    std::uint32_t capture = 0;
    for (int step = 0; step < 48; ++step) {
      capture = ((capture << 1) | (shift >> 31)) & 0xFFFF;
      shift = (shift << 1) | 1u;
      lines.add(line, std::snprintf(line, sizeof line, "SR: Ox%04x%08x\n",
                                    static_cast<unsigned>(capture),
                                    static_cast<unsigned>(shift)));
    }
    lines.add("\n", 1);
  }
  return lines;
}

// 1000 lines "x1*y1 + x2*y2 = result", operands drawn x1, x2, y1, y2.
Lines multiplyAddLines() {
  Lines lines;
  lines.text.reserve(1000 * 32);
  lines.ends.reserve(1000);
  Draws draws;
  char line[64];
  for (int i = 0; i < 1000; ++i) {
    int x1 = draws.next() % 2048;
    int x2 = draws.next() % 2048;
    int y1 = draws.next() % 2048;
    int y2 = draws.next() % 2048;
    lines.add(line, std::snprintf(line, sizeof line, "%d*%d + %d*%d = %d\n", x1,
                                  y1, x2, y2, x1 * y1 + x2 * y2));
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  const bool kelpori = argc == 2 && std::strcmp(argv[1], "kelpori") == 0;
  const bool vontrel = argc == 2 && std::strcmp(argv[1], "vontrel") == 0;
  if (!kelpori && !vontrel) {
    std::fputs("usage: minimal_writer kelpori|vontrel\n", stderr);
    return 2;
  }
  const Lines lines = kelpori ? shiftRegisterLines() : multiplyAddLines();
  const char* name = kelpori ? "kelpori.out" : "vontrel.out";

  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    std::perror(name);
    return 1;
  }
  std::size_t begin = 0;
  for (std::size_t end : lines.ends) {
    const std::size_t length = end - begin;
    if (::write(fd, lines.text.data() + begin, length) !=
        static_cast<ssize_t>(length)) {
      std::perror(name);
      return 1;
    }
    begin = end;
  }
  if (::close(fd) != 0) {
    std::perror(name);
    return 1;
  }
  return 0;
}
