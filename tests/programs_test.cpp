// End-to-end tests of kelpori and vontrel: the programs run as processes in
// scratch directories, and their files are compared with each other and with
// the worked examples; a few board runs are driven in-process through the
// library to show that a missing bring-up step is seen in the file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "boardlib/board.h"
#include "gtest/gtest.h"
#include "kelpori/shift_register.h"
#include "program_runner.h"
#include "sim_board.h"
#include "vontrel/multiply_add.h"

namespace fs = std::filesystem;

namespace {

const fs::path kBinDir = TV940_BIN_DIR;
const fs::path kDesignDir = fs::path(TV940_SOURCE_DIR) / "designs";

// The seven lines the clock programming (16 MHz to 66 MHz) prints.
using tv940test::kClockLines66From16;

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not exit
  std::string out;  // standard output
  std::string err;  // standard error
};

using tv940test::readFile;
using tv940test::writeFile;

// The file's lines, without their line ends.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// "SR: Ox" and twelve lower-case hexadecimal digits.
bool isStateLine(const std::string& line) {
  if (line.size() != 18 || line.compare(0, 6, "SR: Ox") != 0) return false;
  for (std::size_t i = 6; i < line.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(line[i])) &&
        (line[i] < 'a' || line[i] > 'f'))
      return false;
  return true;
}

// "x1*y1 + x2*y2 = result" in plain decimal, operands below 2048, the sum
// right: the line must read back exactly as the numbers it holds print.
bool isCorrectResultLine(const std::string& line) {
  unsigned x1, y1, x2, y2, result;
  if (std::sscanf(line.c_str(), "%u*%u + %u*%u = %u", &x1, &y1, &x2, &y2,
                  &result) != 5)
    return false;
  char again[64];
  std::snprintf(again, sizeof again, "%u*%u + %u*%u = %u", x1, y1, x2, y2,
                result);
  return line == again && x1 < 2048 && y1 < 2048 && x2 < 2048 && y2 < 2048 &&
         result == x1 * y1 + x2 * y2;
}

// Scratch directories: `dir_` is the program's working directory, its
// console output goes to a separate directory so that `dir_` holds only its
// files.
class ProgramsTest : public tv940test::ProgramRunTest {
 protected:
  ProgramsTest() : ProgramRunTest("tv940-programs") {}

  // Runs a program in `dir` with the environment of the test less every
  // TV940_ variable, plus `env`.
  Outcome run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}) {
    const pid_t pid =
        start(kBinDir / program, args, tv940test::programEnvironment({}, env));
    Outcome result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      result.status = WEXITSTATUS(status);
    result.out = consoleOut();
    result.err = consoleErr();
    return result;
  }

  // Runs `body` in a child process in `dir` and returns its exit status. A
  // fresh process starts testRandom at 1, as a program does.
  int runInChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("TV940_DEVICE", "sim", 1);
      unsetenv("TV940_TRACE");
      unsetenv("TV940_SIM_FAULTS");
      int quiet = ::open("/dev/null", O_WRONLY);
      if (quiet < 0 || chdir(dir_.c_str()) != 0) _exit(127);
      dup2(quiet, 1);  // the clock programming's lines
      _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
      return -1;
    return WEXITSTATUS(status);
  }

  // The software model's file, written by the program in a directory of its
  // own.
  std::string modelFile(const std::string& program) {
    fs::path saved = dir_;
    dir_ = root_ / ("model-" + program);
    fs::create_directory(dir_);
    Outcome model = run(program, {"-s"});
    std::string file = readFile(dir_ / (program + ".out"));
    dir_ = saved;
    EXPECT_EQ(model.status, 0);
    return file;
  }

  void copyDesign(const fs::path& from, const std::string& to) {
    ASSERT_TRUE(fs::exists(from)) << from;
    fs::copy_file(from, dir_ / to, fs::copy_options::overwrite_existing);
  }
};

TEST_F(ProgramsTest, KelporiModelWritesTheWorkedExample) {
  Outcome first = run("kelpori", {"-s"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(fs::directory_iterator(dir_)->path().filename(), "kelpori.out");
  std::string file = readFile(dir_ / "kelpori.out");

  std::vector<std::string> l = lines(file);
  ASSERT_EQ(l.size(), 49000u);
  EXPECT_EQ(file.back(), '\n');
  EXPECT_EQ(file.find('\r'), std::string::npos);
  EXPECT_EQ(l[0], "SR: Ox000000171b37");
  EXPECT_EQ(l[1], "SR: Ox0000002e366f");
  EXPECT_EQ(l[2], "SR: Ox0000005c6cdf");
  EXPECT_EQ(l[3], "SR: Ox000000b8d9bf");
  EXPECT_EQ(l[28], "SR: Ox71b37fffffff");
  EXPECT_EQ(l[47], "SR: Oxffffffffffff");
  EXPECT_EQ(l[48], "");
  EXPECT_EQ(l[49], "SR: Ox0000140267f1");

  // Every block: 48 state lines (the first two with an empty capture
  // register, the last all ones), then an empty line.
  int empty = 0, bad = 0;
  for (std::size_t i = 0; i < l.size(); ++i) {
    std::size_t step = i % 49;
    if (step == 48) {
      empty += l[i].empty();
      continue;
    }
    bool ok = isStateLine(l[i]);
    if (step < 2) ok = ok && l[i].compare(6, 4, "0000") == 0;
    if (step == 47) ok = ok && l[i] == "SR: Oxffffffffffff";
    bad += !ok;
  }
  EXPECT_EQ(empty, 1000);
  EXPECT_EQ(bad, 0);

  // A second run truncates the longer file it finds and writes the same.
  writeFile(dir_ / "kelpori.out", file + file);
  Outcome second = run("kelpori", {"-s"});
  EXPECT_EQ(second.status, 0);
  EXPECT_TRUE(readFile(dir_ / "kelpori.out") == file);
}

TEST_F(ProgramsTest, VontrelModelWritesTheWorkedExample) {
  Outcome first = run("vontrel", {"-s"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(first.err, "");
  std::string file = readFile(dir_ / "vontrel.out");

  std::vector<std::string> l = lines(file);
  ASSERT_EQ(l.size(), 1000u);
  EXPECT_EQ(file.back(), '\n');
  EXPECT_EQ(l[0], "41*190 + 35*1924 = 75130");
  EXPECT_EQ(l[1], "737*1238 + 1388*686 = 1864574");
  EXPECT_EQ(l[2], "338*1609 + 1936*1521 = 3488498");

  // Every line is x1*y1 + x2*y2 = result with 11-bit operands in plain
  // decimal, and the sum holds.
  int bad = 0;
  for (const std::string& line : l) bad += !isCorrectResultLine(line);
  EXPECT_EQ(bad, 0);

  writeFile(dir_ / "vontrel.out", file + file);
  Outcome second = run("vontrel", {"-s"});
  EXPECT_EQ(second.status, 0);
  EXPECT_TRUE(readFile(dir_ / "vontrel.out") == file);
}

TEST_F(ProgramsTest, OnlyExactlyDashSSelectsTheSoftwareModel) {
  for (std::string program : {"kelpori", "vontrel"}) {
    fs::path output = dir_ / (program + ".out");
    // Any other first argument selects the board run, which without a
    // device fails at the open.
    std::vector<std::vector<std::string>> boardRuns{
        {}, {"-S"}, {"--s"}, {"-s "}, {"s"}, {""}, {"x", "-s"}};
    for (const auto& args : boardRuns) {
      std::string shown = args.empty() ? "(none)" : "'" + args[0] + "'";
      Outcome board = run(program, args);
      EXPECT_EQ(board.status, 1) << program << " " << shown;
      EXPECT_FALSE(fs::exists(output)) << program << " " << shown;
    }
    // Arguments after "-s" are ignored.
    Outcome model = run(program, {"-s", "x"});
    EXPECT_EQ(model.status, 0) << program;
    EXPECT_EQ(model.err, "") << program;
    EXPECT_TRUE(readFile(output) == modelFile(program)) << program;
  }
}

TEST_F(ProgramsTest, BoardRunWithoutADeviceFailsBeforeTouchingAnything) {
  for (std::string program : {"kelpori", "vontrel"}) {
    fs::path output = dir_ / (program + ".out");
    fs::remove(output);
    Outcome fresh = run(program, {});
    EXPECT_EQ(fresh.status, 1) << program;
    EXPECT_EQ(fresh.out, "") << program;
    // One line naming the program and why the open failed.
    EXPECT_EQ(lines(fresh.err).size(), 1u) << fresh.err;
    EXPECT_EQ(fresh.err.rfind(program + ": cannot open the board: ", 0), 0u)
        << fresh.err;
    EXPECT_GT(fresh.err.size(), program.size() + 28) << fresh.err;
    EXPECT_FALSE(fs::exists(output)) << program;

    // An existing file stays as it is; an unknown device is refused alike.
    writeFile(output, "earlier results\n");
    Outcome existing = run(program, {}, {{"TV940_DEVICE", "no-such-card"}});
    EXPECT_EQ(existing.status, 1) << program;
    EXPECT_EQ(lines(existing.err).size(), 1u) << existing.err;
    EXPECT_EQ(readFile(output), "earlier results\n") << program;
    fs::remove(output);

    // A device value with white space around it: the message says so.
    for (const auto& [value, shown] :
         {std::pair{"sim ", "\"sim \""}, {"sim\n", "\"sim\\n\""}}) {
      Outcome spaced = run(program, {}, {{"TV940_DEVICE", value}});
      EXPECT_EQ(spaced.status, 1) << program;
      EXPECT_EQ(spaced.err,
                program + ": cannot open the board: TV940_DEVICE=" + shown +
                    ": the value has white space around it; set "
                    "TV940_DEVICE to the device alone\n");
    }

    // A simulated card whose open fails: no port or chip access at all.
    copyDesign(kDesignDir / (program + ".bfx"), program + ".bfx");
    const std::string trace = (root_ / "trace").string();
    for (std::string fault :
         {"no-device", "check-fails", "memory-bar1", "no-answer"}) {
      fs::remove(trace);
      Outcome failed = run(program, {},
                           {{"TV940_DEVICE", "sim"},
                            {"TV940_SIM_FAULTS", fault},
                            {"TV940_TRACE", trace}});
      EXPECT_EQ(failed.status, 1) << program << " " << fault;
      EXPECT_EQ(failed.out, "") << program << " " << fault;
      EXPECT_EQ(lines(failed.err).size(), 1u) << failed.err;
      EXPECT_FALSE(fs::exists(output)) << program << " " << fault;
      for (const std::string& event : lines(readFile(trace))) {
        if (event.rfind("#", 0) == 0) continue;  // a comment
        EXPECT_EQ(event.rfind("req ", 0), 0u) << program << " " << fault;
      }
    }
  }
}

TEST_F(ProgramsTest, OutputFileFailuresAreReported) {
  for (std::string program : {"kelpori", "vontrel"}) {
    std::string name = program + ".out";
    fs::path output = dir_ / name;

    // A file that cannot be created: the message and the system's reason,
    // status 1, nothing run.
    fs::create_directory(output);
    Outcome blocked = run(program, {"-s"});
    EXPECT_EQ(blocked.status, 1) << program;
    EXPECT_EQ(blocked.err, "Can't open " + name + " for output: Exiting!\n" +
                               program + ": " + name + ": " +
                               std::strerror(EISDIR) + "\n");
    EXPECT_EQ(blocked.out, "");
    EXPECT_TRUE(fs::is_empty(output)) << program;
    fs::remove(output);

    // A full disk: after the run, one line naming the file and the reason.
    fs::create_symlink("/dev/full", output);
    Outcome full = run(program, {"-s"});
    EXPECT_EQ(full.status, 1) << program;
    EXPECT_EQ(full.out, "");
    EXPECT_EQ(full.err, program + ": error writing " + name + ": " +
                            std::strerror(ENOSPC) + "\n");
    fs::remove(output);
  }
}

const std::map<std::string, std::string> kSimulatedCard{
    {"TV940_DEVICE", "sim"}};

TEST_F(ProgramsTest, BoardRunsWriteTheModelsFile) {
  for (std::string program : {"kelpori", "vontrel"}) {
    copyDesign(kDesignDir / (program + ".bfx"), program + ".bfx");
    Outcome board = run(program, {}, kSimulatedCard);
    EXPECT_EQ(board.status, 0) << program;
    EXPECT_EQ(board.out, kClockLines66From16) << program;
    EXPECT_EQ(board.err, "") << program;
    EXPECT_TRUE(readFile(dir_ / (program + ".out")) == modelFile(program))
        << program << ": the board run's file differs from the model's";
  }
}

TEST_F(ProgramsTest, BoardRunStopsWhenTheDesignCannotBeLoaded) {
  for (std::string program : {"kelpori", "vontrel"}) {
    fs::path output = dir_ / (program + ".out");
    std::string failure = std::string(kClockLines66From16) +
                          "Problem loading BFX file " + program +
                          ".bfx: Exiting!\n";

    // No design file: nothing is created; standard error says why.
    Outcome absent = run(program, {}, kSimulatedCard);
    EXPECT_EQ(absent.status, 1) << program;
    EXPECT_EQ(absent.out, failure);
    EXPECT_EQ(absent.err, program + ": " + program +
                              ".bfx: " + std::strerror(ENOENT) + "\n");
    EXPECT_FALSE(fs::exists(output)) << program;

    // A design with a bad pair line after its pairs: an existing file stays.
    std::string design = readFile(kDesignDir / (program + ".bfx"));
    ASSERT_FALSE(design.empty()) << program;
    writeFile(dir_ / (program + ".bfx"), design + "10000 1\n");
    writeFile(output, "earlier results\n");
    Outcome bad = run(program, {}, kSimulatedCard);
    EXPECT_EQ(bad.status, 1) << program;
    EXPECT_EQ(bad.out, failure);
    EXPECT_EQ(bad.err, program + ": " + program + ".bfx line " +
                           std::to_string(lines(design).size() + 1) +
                           ": address 10000 exceeds FFFF\n");
    EXPECT_EQ(readFile(output), "earlier results\n") << program;
    fs::remove(output);
    fs::remove(dir_ / (program + ".bfx"));
  }
}

TEST_F(ProgramsTest, FaultyDesignsGiveAFileThatDiffersFromTheModel) {
  std::map<std::string, std::string> models{{"kelpori", modelFile("kelpori")},
                                            {"vontrel", modelFile("vontrel")}};
  // Every faulty variant, and each good design cut after half its lines.
  std::vector<std::pair<std::string, std::string>> designs;  // program, text
  int variants = 0;
  for (const auto& entry : fs::directory_iterator(kDesignDir / "faulty")) {
    std::string name = entry.path().filename();
    std::string program = name.substr(0, name.find('-'));
    if (entry.path().extension() != ".bfx" || !models.count(program)) continue;
    designs.emplace_back(program, readFile(entry.path()));
    ++variants;
  }
  EXPECT_GE(variants, 2);
  for (const auto& [program, model] : models) {
    std::vector<std::string> l =
        lines(readFile(kDesignDir / (program + ".bfx")));
    ASSERT_GT(l.size(), 10u) << program;
    std::string half;
    for (std::size_t i = 0; i < l.size() / 2; ++i) half += l[i] + "\n";
    designs.emplace_back(program, half);
  }

  for (const auto& [program, design] : designs) {
    writeFile(dir_ / (program + ".bfx"), design);
    fs::remove(dir_ / (program + ".out"));
    Outcome board = run(program, {}, kSimulatedCard);
    EXPECT_EQ(board.status, 0) << program;
    EXPECT_EQ(board.out, kClockLines66From16) << program;
    std::string file = readFile(dir_ / (program + ".out"));
    EXPECT_EQ(lines(file).size(), lines(models[program]).size()) << program;
    EXPECT_FALSE(file == models[program])
        << program << ": a faulty design passed for a good one";
  }
}

// A trace file, read event by event against what the run must have done;
// its comment lines are left out.
class TraceReader {
 public:
  explicit TraceReader(const std::string& text) {
    for (std::string& line : lines(text)) {
      if (line.rfind("#", 0) != 0) lines_.push_back(std::move(line));
    }
  }

  // Takes the next event: its kind ("req", "out", "wr", "rd", "dwr"), its
  // port, chip address or request code, and its value under `mask`. Returns
  // the event's whole value; the first mismatch is kept in failure().
  std::uint32_t take(const std::string& kind, std::uint32_t where,
                     std::uint32_t value = 0, std::uint32_t mask = ~0u) {
    if (!failure_.empty()) return 0;
    std::ostringstream wanted;
    wanted << kind << " " << std::hex << where << " " << value << " under "
           << mask;
    if (at_ >= lines_.size()) {
      failure_ = "the trace ends at event " + std::to_string(at_) +
                 "; expected " + wanted.str();
      return 0;
    }
    const std::string& line = lines_[at_];
    std::istringstream in(line);
    std::string k;
    std::uint32_t w = 0, v = 0;
    in >> k >> std::hex >> w;
    if (kind != "req") in >> v;
    if (k != kind || w != where || !in || (v & mask) != (value & mask))
      failure_ = "event " + std::to_string(at_) + " is '" + line +
                 "'; expected " + wanted.str();
    ++at_;
    return v;
  }
  bool atEnd() const { return at_ == lines_.size(); }
  std::size_t position() const { return at_; }
  const std::string& failure() const { return failure_; }

 private:
  std::vector<std::string> lines_;
  std::size_t at_ = 0;
  std::string failure_;
};

// The bring-up as the card sees it: the open's requests, the three control
// ports, the 67 clock bits, one write per pair of the design file, the
// bus-width read and driver write, and 0xC008.
void takeBringUp(TraceReader& trace, const std::string& design) {
  for (std::uint32_t request : {0, 6, 3, 5}) trace.take("req", request);
  const std::uint32_t ioBase = 0xE000;  // the simulated card's I/O base
  trace.take("out", ioBase + 24, 0);
  trace.take("out", ioBase + 16, 1);
  trace.take("out", ioBase + 60, 0);
  const std::string clockBits = tv940test::kClockBits66From16;
  for (char bit : clockBits) trace.take("out", ioBase + 20, bit - '0');
  for (const std::string& line : lines(design)) {
    std::istringstream in(line);
    std::string address, data;
    if (!(in >> address) || address[0] == '#') continue;
    in >> data;
    trace.take("wr", std::stoul(address, nullptr, 16),
               std::stoul(data, nullptr, 16));
  }
  std::uint32_t config = trace.take("rd", 0xC000, 0, 0);
  trace.take("dwr", 0xC000, ((config & ~0x4u) | 0x8u) & 0xFF);
  trace.take("wr", 0xC008, 0);
}

std::uint32_t hexField(const std::string& text) {
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

TEST_F(ProgramsTest, TracedBoardRunsMakeEveryAccessInOrder) {
  const std::string trace = (root_ / "trace").string();
  const std::map<std::string, std::string> traced{{"TV940_DEVICE", "sim"},
                                                  {"TV940_TRACE", trace}};

  // kelpori: the masks once, then per vector 3 writes and 48 triples of
  // reads, whose values are the file's lines.
  std::string design = readFile(kDesignDir / "kelpori.bfx");
  copyDesign(kDesignDir / "kelpori.bfx", "kelpori.bfx");
  Outcome k = run("kelpori", {}, traced);
  ASSERT_EQ(k.status, 0) << k.err;
  std::vector<std::string> out = lines(readFile(dir_ / "kelpori.out"));
  ASSERT_EQ(out.size(), 49000u);
  TraceReader kt(readFile(trace));
  takeBringUp(kt, design);
  kt.take("wr", 0xC010, 0);
  kt.take("wr", 0xC014, 0xFFFFFFFF);
  for (std::size_t block = 0; block < 1000 && kt.failure().empty(); ++block) {
    const std::string* line = &out[block * 49];
    kt.take("wr", 0x01C0, 1);
    std::uint32_t vector = kt.take("wr", 0x02C0, 0, 0);
    // The first step shifts the vector by one, a one entering at bit 0.
    if (((vector << 1) | 1) != hexField(line->substr(10))) {
      ADD_FAILURE() << "vector " << block << " is not the file's block";
      break;
    }
    kt.take("wr", 0x01C0, 0);
    for (int step = 0; step < 48; ++step, ++line) {
      kt.take("rd", 0x02C0, 0, 0);
      kt.take("rd", 0x00C0, hexField(line->substr(10)));
      kt.take("rd", 0x08C0, hexField(line->substr(6, 4)), 0xFFFF);
    }
  }
  EXPECT_EQ(kt.failure(), "");
  EXPECT_TRUE(kt.atEnd()) << "events after the last: from " << kt.position();

  // vontrel: per line nine accesses, the operand words and the result
  // reading matching the line.
  design = readFile(kDesignDir / "vontrel.bfx");
  copyDesign(kDesignDir / "vontrel.bfx", "vontrel.bfx");
  Outcome v = run("vontrel", {}, traced);
  ASSERT_EQ(v.status, 0) << v.err;
  out = lines(readFile(dir_ / "vontrel.out"));
  ASSERT_EQ(out.size(), 1000u);
  TraceReader vt(readFile(trace));
  takeBringUp(vt, design);
  for (const std::string& line : out) {
    unsigned x1, y1, x2, y2, result;
    ASSERT_EQ(std::sscanf(line.c_str(), "%u*%u + %u*%u = %u", &x1, &y1, &x2,
                          &y2, &result),
              5)
        << line;
    vt.take("wr", 0xC010, 0);
    vt.take("wr", 0xC014, 0xFFFFFFFF);
    vt.take("wr", 0x00C0, (y1 << 16) + x1);
    vt.take("wr", 0xC010, 0xFFFFFFFF);
    vt.take("wr", 0xC014, 0);
    vt.take("wr", 0x00C0, (y2 << 16) + x2);
    vt.take("wr", 0xC010, 0);
    vt.take("wr", 0xC014, 0xFFFFFFFF);
    vt.take("rd", 0x2CC0, result, 0x7FFFFF);
    if (!vt.failure().empty()) break;
  }
  EXPECT_EQ(vt.failure(), "");
  EXPECT_TRUE(vt.atEnd()) << "events after the last: from " << vt.position();

  // An output file that cannot be created: the bring-up, then nothing.
  fs::remove(dir_ / "kelpori.out");
  fs::create_directory(dir_ / "kelpori.out");
  Outcome blocked = run("kelpori", {}, traced);
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.out, kClockLines66From16);
  EXPECT_EQ(blocked.err,
            "Can't open kelpori.out for output: Exiting!\nkelpori: "
            "kelpori.out: " +
                std::string(std::strerror(EISDIR)) + "\n");
  TraceReader bt(readFile(trace));
  takeBringUp(bt, readFile(kDesignDir / "kelpori.bfx"));
  EXPECT_EQ(bt.failure(), "");
  EXPECT_TRUE(bt.atEnd()) << "events after the bring-up: from "
                          << bt.position();
}

// The bring-up sequence with one step left out, driven through the library
// as the programs drive it.
enum class Omit { Nothing, Clock, BusWidth };

bool bringUpWithout(Board& board, const char* design, Omit omit) {
  if (board.open() != 0) return false;
  board.writePort24Zero();
  board.writePort16One();
  board.writePort60(0);
  if (omit != Omit::Clock) board.setClock(16.0f, 66.0f);
  if (board.loadConfiguration(design) != 0) return false;
  if (omit != Omit::BusWidth) board.setBusWidth(32);
  board.writeControlC008(0);
  return true;
}

// Each program's board loop after each bring-up: the whole sequence gives
// the model's file, leaving out the clock or the bus width does not.
TEST_F(ProgramsTest, EveryBringUpStepShowsInTheFile) {
  struct Subject {
    std::string name;
    bool (*loop)(Board&, std::ostream&);
  };
  for (const Subject& p : {Subject{"kelpori", kelpori::runBoardLoop},
                           Subject{"vontrel", vontrel::runBoardLoop}}) {
    std::string model = modelFile(p.name);
    copyDesign(kDesignDir / (p.name + ".bfx"), p.name + ".bfx");
    std::string design = p.name + ".bfx";
    std::string output = p.name + ".out";
    for (Omit omit : {Omit::Nothing, Omit::Clock, Omit::BusWidth}) {
      fs::remove(dir_ / output);
      int status = runInChild([&] {
        Board* board = new Board;  // ends with the process, as in a program
        if (!bringUpWithout(*board, design.c_str(), omit)) return 2;
        std::ofstream out(output);
        bool written = p.loop(*board, out);
        out.close();
        return written && out ? 0 : 3;
      });
      ASSERT_EQ(status, 0) << p.name << " omitting " << int(omit);
      std::string file = readFile(dir_ / output);
      EXPECT_EQ(lines(file).size(), lines(model).size()) << p.name;
      if (omit == Omit::Nothing)
        EXPECT_TRUE(file == model) << p.name << ": the full bring-up";
      else
        EXPECT_FALSE(file == model) << p.name << " omitting " << int(omit);
    }
  }
}

}  // namespace
