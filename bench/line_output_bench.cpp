// Per-line cost of the output files' one flush per line: the programs' own
// line writers (kelpori::writeStateLine, vontrel::writeResultLine) on an
// output file opened as the programs open it (testprog::OutputFile), against
// a finished line through the same stream and against one write(2) of a
// finished line, the least a flushed line needs. The formatting alone is
// measured into memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "kelpori/shift_register.h"
#include "testprog/output_file.h"
#include "vontrel/multiply_add.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStateLine[] = "SR: Ox000000171b37\n";
constexpr std::size_t kStateLineLength = sizeof kStateLine - 1;

// A scratch directory for the output files, removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string name = fs::temp_directory_path() / "tv940-line-bench-XXXXXX";
    if (::mkdtemp(name.data()) != nullptr) root_ = name;
  }
  ~Scratch() {
    if (!root_.empty()) fs::remove_all(root_);
  }
  std::string file(const char* name) const { return root_ / name; }
  bool ok() const { return !root_.empty(); }

 private:
  fs::path root_;
};

const Scratch& scratch() {
  static Scratch instance;
  return instance;
}

// Runs body(stream) once per iteration on a freshly truncated output file.
template <typename Body>
void onOutputFile(benchmark::State& state, const char* name, Body body) {
  if (!scratch().ok()) {
    state.SkipWithError("no scratch directory");
    return;
  }
  const std::string path = scratch().file(name);
  testprog::OutputFile file("line_output_bench", path.c_str());
  if (!file.open()) {
    state.SkipWithError("cannot open the output file");
    return;
  }
  for (auto _ : state) body(file.stream());
  if (!file.close()) state.SkipWithError("a write failed");
  state.SetItemsProcessed(state.iterations());
}

void BM_StateLineToFile(benchmark::State& state) {
  std::uint32_t shift = 0x171b37;
  onOutputFile(state, "kelpori.out", [&](std::ostream& out) {
    kelpori::writeStateLine(out, 0x0000, shift++);
  });
}
BENCHMARK(BM_StateLineToFile);

void BM_ResultLineToFile(benchmark::State& state) {
  const vontrel::Operands operands{41, 35, 190, 1924};
  onOutputFile(state, "vontrel.out", [&](std::ostream& out) {
    vontrel::writeResultLine(out, operands, 75130);
  });
}
BENCHMARK(BM_ResultLineToFile);

// A finished line through the same stream: the stream's flush path without
// the per-field formatting.
void BM_FinishedLineToFile(benchmark::State& state) {
  onOutputFile(state, "finished.out", [](std::ostream& out) {
    out.write(kStateLine, kStateLineLength).flush();
  });
}
BENCHMARK(BM_FinishedLineToFile);

// One write(2) of a finished line.
void BM_FinishedLineWrite(benchmark::State& state) {
  if (!scratch().ok()) {
    state.SkipWithError("no scratch directory");
    return;
  }
  const std::string path = scratch().file("write.out");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    state.SkipWithError("cannot open the output file");
    return;
  }
  for (auto _ : state) {
    if (::write(fd, kStateLine, kStateLineLength) !=
        static_cast<ssize_t>(kStateLineLength)) {
      state.SkipWithError("a write failed");
      break;
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FinishedLineWrite);

// The line writers into memory: formatting and the stream layers, with no
// system call.
void BM_StateLineFormatting(benchmark::State& state) {
  std::ostringstream out;
  std::uint32_t shift = 0x171b37;
  for (auto _ : state) {
    out.seekp(0);
    kelpori::writeStateLine(out, 0x0000, shift++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StateLineFormatting);

void BM_ResultLineFormatting(benchmark::State& state) {
  std::ostringstream out;
  const vontrel::Operands operands{41, 35, 190, 1924};
  for (auto _ : state) {
    out.seekp(0);
    vontrel::writeResultLine(out, operands, 75130);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultLineFormatting);

}  // namespace

BENCHMARK_MAIN();
