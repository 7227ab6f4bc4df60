// tv940-trace on real traces: kelpori and vontrel run on the simulated card
// with TV940_TRACE, their traces then damaged the ways a run goes wrong. The
// VCD is read back by an independent parser here and by the two viewers'
// own tools (vcd2fst, sigrok-cli), which scripts/test installs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "card/trace_format.h"
#include "gtest/gtest.h"
#include "program_runner.h"
#include "tv940/version.h"

namespace fs = std::filesystem;
using tv940test::readFile;
using tv940test::writeFile;

namespace {

const fs::path kBinDir = TV940_BIN_DIR;
const fs::path kDesignDir = fs::path(TV940_SOURCE_DIR) / "designs";

// The simulated card's I/O base is 0xE000; the clock-programming port is at
// offset 20.
const std::string kClockPort = "e014";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string joined(const std::vector<std::string>& all) {
  std::string text;
  for (const auto& line : all) text += line + "\n";
  return text;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A program on PATH, or "" when there is none.
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

class TraceTool : public tv940test::ProgramRunTest {
 protected:
  TraceTool() : ProgramRunTest("tv940-trace") {}

  struct Run {
    int status = -1;
    std::string out, err;
  };

  Run run(const std::string& path, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& env = {}) {
    Run r;
    const pid_t pid = start(path, args, tv940test::programEnvironment({}, env));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      ADD_FAILURE() << path << " did not run to its end";
      return r;
    }
    r.status = WEXITSTATUS(status);
    r.out = consoleOut();
    r.err = consoleErr();
    return r;
  }
  Run tool(const std::string& command, const std::string& traceFile) {
    return run(kBinDir / "tv940-trace", {command, traceFile});
  }
  Run check(const std::string& traceText) {
    writeFile(dir_ / "c.trace", traceText);
    return tool("check", "c.trace");
  }
  // The peak memory of a run of tv940-trace, in KiB.
  long peakKiB(const std::vector<std::string>& args) {
    const pid_t pid = start(kBinDir / "tv940-trace", args,
                            tv940test::programEnvironment({}, {}));
    int status = 0;
    rusage usage{};
    EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << consoleOut();
    return usage.ru_maxrss;
  }
  Run report(const std::string& traceText) {
    writeFile(dir_ / "t.trace", traceText);
    return tool("report", "t.trace");
  }

  // The trace of a board run of `program` with `design` (cached per suite),
  // and the output file it wrote.
  struct Traced {
    std::string trace, output;
  };
  const Traced& traced(const std::string& program, const std::string& design) {
    static std::map<std::string, Traced> runs;
    const std::string key = program + "/" + design;
    if (runs.count(key) == 0) {
      fs::copy_file(kDesignDir / design, dir_ / (program + ".bfx"),
                    fs::copy_options::overwrite_existing);
      const Run r =
          run(kBinDir / program, {},
              {{"TV940_DEVICE", "sim"}, {"TV940_TRACE", "run.trace"}});
      EXPECT_EQ(r.status, 0) << r.err;
      runs[key] = {readFile(dir_ / "run.trace"),
                   readFile(dir_ / (program + ".out"))};
    }
    return runs[key];
  }
};

TEST_F(TraceTool, CorrectRunsReportWithoutAWarning) {
  for (const char* program : {"kelpori", "vontrel"}) {
    SCOPED_TRACE(program);
    const Traced& t = traced(program, std::string(program) + ".bfx");
    const Run r = report(t.trace);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "warning:")) << r.out;
    for (const std::string& line : lines(r.out)) {
      EXPECT_TRUE(
          line.rfind("trace: ", 0) == 0 || line.rfind("clock: ", 0) == 0 ||
          line.rfind("design: ", 0) == 0 || line.rfind("bus width: ", 0) == 0 ||
          line.rfind("control: ", 0) == 0 || line.rfind("loop: ", 0) == 0)
          << line;
    }
    EXPECT_TRUE(
        has(r.out, "clock: P 66, Q 32, k 0, range 0: 66 MHz from 16 MHz"))
        << r.out;
    EXPECT_TRUE(has(r.out, "design: " + std::string(program) + ", complete"))
        << r.out;
    EXPECT_TRUE(has(r.out, "bus width: 32 bits")) << r.out;
    EXPECT_TRUE(has(r.out, "control: register C008 set to 0x00000000"));
  }

  // The loop lines agree with what the runs wrote: kelpori's first block
  // starts from the first vector (one step: shifted left, a 1 in), vontrel's
  // first line ends in the first result.
  const std::string kelpori =
      report(traced("kelpori", "kelpori.bfx").trace).out;
  unsigned vector = 0;
  const auto at = kelpori.find("loads through column 1: 0x");
  ASSERT_NE(at, std::string::npos) << kelpori;
  ASSERT_EQ(std::sscanf(kelpori.c_str() + at + 24, "0x%x", &vector), 1);
  char first[32];
  std::snprintf(first, sizeof first, "SR: Ox%04x%08x\n", vector >> 31,
                (vector << 1) | 1u);
  EXPECT_EQ(traced("kelpori", "kelpori.bfx").output.substr(0, 19), first);

  const std::string vontrel =
      report(traced("vontrel", "vontrel.bfx").trace).out;
  const std::string model = lines(traced("vontrel", "vontrel.bfx").output)[0];
  const std::string result = model.substr(model.find("= ") + 2);
  EXPECT_TRUE(has(vontrel, "results read from column 44: " + result + ", "))
      << vontrel << "\nfirst output line: " << model;
}

TEST_F(TraceTool, DamagedTracesAndFaultyDesignsWarn) {
  std::vector<std::string> kelpori =
      lines(traced("kelpori", "kelpori.bfx").trace);

  // The bus-width step removed.
  std::vector<std::string> noWidth;
  for (const auto& line : kelpori) {
    if (line.rfind("dwr c000 ", 0) != 0) noWidth.push_back(line);
  }
  ASSERT_EQ(noWidth.size() + 1, kelpori.size());
  Run r = report(joined(noWidth));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "warning: no bus-width setting")) << r.out;
  EXPECT_TRUE(has(r.out, "while the data bus is narrower than 32 bits"));

  // The second half of the configuration missing.
  auto configuration = [](const std::string& line) {
    if (line.rfind("wr ", 0) != 0 || line[3] == '@') return false;
    const unsigned long address = std::stoul(line.substr(3, 4), nullptr, 16);
    return address >= 0x4000 && address < 0xC000;
  };
  std::size_t words = 0, kept = 0;
  for (const auto& line : kelpori) words += configuration(line) ? 1 : 0;
  std::vector<std::string> half;
  for (const auto& line : kelpori) {
    if (configuration(line) && ++kept > words / 2) continue;
    half.push_back(line);
  }
  r = report(joined(half));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "warning: configuration incomplete")) << r.out;

  // Any one clock bit flipped, in each of the 67 bits of the programming;
  // the run's first 2000 lines, without a flip, give no warning.
  std::vector<std::string> vontrel =
      lines(traced("vontrel", "vontrel.bfx").trace);
  vontrel.resize(2000);
  vontrel.push_back(
      "# trace end: " +
      std::to_string(2000 - std::count_if(vontrel.begin(), vontrel.end(),
                                          [](const auto& line) {
                                            return line[0] == '#';
                                          })) +
      " events");
  ASSERT_EQ(report(joined(vontrel)).status, 0) << report(joined(vontrel)).out;
  std::size_t flipped = 0;
  for (auto& line : vontrel) {
    if (line.rfind("out " + kClockPort + " ", 0) != 0) continue;
    const std::string original = line;
    line.back() = line.back() == '1' ? '0' : '1';
    r = report(joined(vontrel));
    EXPECT_EQ(r.status, 1) << "flipped: " << original << "\n" << r.out;
    EXPECT_TRUE(has(r.out, "warning: clock")) << r.out;
    line = original;
    ++flipped;
  }
  EXPECT_EQ(flipped, 67u);

  // A faulty design's run says what the design breaks.
  r = report(traced("kelpori", "faulty/kelpori-stuck-bit.bfx").trace);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "warning: design kelpori is a faulty variant"))
      << r.out;
}

TEST_F(TraceTool, ReadsTracesOfAnyBackendAndRefusesWhatIsNone) {
  // A backend's comments, CR LF line ends and another I/O base change
  // nothing but the line numbers.
  std::string other = "# trace: device 0000:03:00.0 (linux-pci)\r\n";
  std::size_t n = 0;
  for (std::string line : lines(traced("vontrel", "vontrel.bfx").trace)) {
    // The simulated card's comments go, the end line stays.
    if (line.rfind('#', 0) == 0 && line.rfind("# trace end: ", 0) != 0)
      continue;
    if (line.rfind("out e0", 0) == 0) line.replace(4, 2, "d0");
    other += line + "\r\n";
    if (++n == 40) other += "# a note in between\r\n";
  }
  Run r = report(other);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out,
                  "trace: 10622 lines, 10619 events, device "
                  "0000:03:00.0 (linux-pci)"))
      << r.out;
  EXPECT_TRUE(has(r.out, "66 MHz from 16 MHz (lines 9-76;")) << r.out;
  EXPECT_TRUE(has(r.out, "control: port 24 (0xd018) set to 0x00000000"));

  r = tool("report", "no-such.trace");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "no-such.trace")) << r.err;
  r = report("req 0\nout e018 00000000\nSR: Ox000000171b37\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "t.trace:3: not a trace event")) << r.err;
  EXPECT_EQ(r.out, "");
  r = run(kBinDir / "tv940-trace", {"report"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "usage:"));
  r = run(kBinDir / "tv940-trace", {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("tv940-trace ") + tv940::kVersion + "\n");
}

// What a trace is, decided once: for every first line, the tool reads the
// file as a trace exactly when a traced run may overwrite it.
TEST_F(TraceTool, ToolAndProgramsAgreeOnWhatIsATrace) {
  const std::string longHeading =
      "# trace: " + std::string(card::trace::kMaxLineLength, 'x');
  const std::pair<std::string, bool> firstLines[] = {
      {"req 0", true},
      {"# trace: device sim (simulated card)", true},
      {"# trace end: 0 events", true},
      {"wr c000 00000008", true},
      {"wr @840000 00000005", true},
      {"out e014 00000001\r", true},
      {"irq 0000002a", true},
      {"wr C000 00000008", false},
      {"wr c0 8", false},
      {"out e014 1", false},
      {"req 00", false},
      {"#hello", false},
      {"# kelpori.bfx: shift-register design.", false},
      {"out  e014 00000001", false},
      {" req 0", false},
      {"req 0 ", false},
      {"", false},
      {"10 20", false},
      {longHeading, false}};
  for (const auto& [first, isTrace] : firstLines) {
    SCOPED_TRACE("first line '" + first.substr(0, 40) + "'");
    const std::string text = first + "\nreq 0\n# trace end: 1 events\n";
    writeFile(dir_ / "t.trace", text);
    const Run tool = this->tool("report", "t.trace");
    EXPECT_EQ(tool.status != 2, isTrace) << tool.err;
    // A run without its design opens the card, and with it the trace.
    const Run traced =
        run(kBinDir / "kelpori", {},
            {{"TV940_DEVICE", "sim"}, {"TV940_TRACE", "t.trace"}});
    const bool overwritten = !has(traced.err, "will not write the trace over");
    EXPECT_EQ(overwritten, isTrace) << traced.err;
    EXPECT_EQ(readFile(dir_ / "t.trace") != text, overwritten);
  }
}

// A trace that is not whole says so: a killed run's has no end line, and its
// cut last line is read as nothing; an end line that counts other events
// than the trace holds, or events after it, are named too.
TEST_F(TraceTool, TracesCutShortOrNotAsTheyEndedWarn) {
  const std::vector<std::string> whole =
      lines(traced("kelpori", "kelpori.bfx").trace);
  ASSERT_EQ(whole.back(), "# trace end: 148111 events");
  std::vector<std::string> killed(whole.begin(), whole.begin() + 20000);
  std::string text = joined(killed);
  ASSERT_EQ(killed.back().substr(0, 3), "rd ");
  Run r = report(text);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "trace: 20000 lines, 19997 events")) << r.out;
  EXPECT_TRUE(has(r.out, "warning: the trace has no end line")) << r.out;
  // check and diff vouch for no run that is not whole, unless asked to
  // judge it as far as it goes.
  r = tool("check", "t.trace");
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(has(r.out, "the trace is not whole")) << r.out;
  r = run(kBinDir / "tv940-trace", {"check", "--partial", "t.trace"});
  EXPECT_EQ(r.status, 0) << r.out;
  writeFile(dir_ / "whole.trace", traced("kelpori", "kelpori.bfx").trace);
  r = run(kBinDir / "tv940-trace", {"diff", "whole.trace", "t.trace"});
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(has(r.out, "warning: B: the trace has no end line")) << r.out;
  r = run(kBinDir / "tv940-trace",
          {"diff", "--partial", "whole.trace", "whole.trace"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = run(kBinDir / "tv940-trace",
          {"diff", "--partial", "whole.trace", "t.trace"});
  EXPECT_EQ(r.status, 1) << r.out;
  // The last value half written: the line is cut, not a read of 0x0fffffff.
  text.pop_back();
  text.pop_back();
  r = report(text);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "trace: 20000 lines, 19996 events")) << r.out;
  EXPECT_TRUE(has(r.out, "warning: line 20000 is cut short")) << r.out;
  const Run vcd = tool("vcd", "t.trace");
  EXPECT_EQ(vcd.status, 0);
  EXPECT_TRUE(has(vcd.err, "warning: line 20000 is cut short")) << vcd.err;

  std::vector<std::string> lost = whole;
  lost.erase(lost.begin() + 5000);
  r = report(joined(lost));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out,
                  "warning: the end line on line 148114 counts 148111 "
                  "events, but the trace holds 148110"))
      << r.out;
  std::vector<std::string> after = whole;
  after.push_back("req 0");
  r = report(joined(after));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "warning: 1 events follow the end line")) << r.out;
}

// The tool reads in a stream: a long trace in little memory, a line longer
// than any trace line at once as an error.
TEST_F(TraceTool, LongTracesInBoundedMemoryAndLongLinesRefused) {
  const std::vector<std::string> whole =
      lines(traced("kelpori", "kelpori.bfx").trace);
  // The bring-up, then the loop's column accesses nine times: a long run.
  std::string start, loop;
  for (std::size_t i = 0; i < whole.size() - 1; ++i)
    (i < 1200 ? start : loop) += whole[i] + "\n";
  auto events = [](const std::string& text) {
    std::size_t count = 0;
    for (const std::string& line : lines(text)) count += line[0] != '#';
    return count;
  };
  {
    std::ofstream big(dir_ / "big.trace", std::ios::binary);
    big << start;
    for (int copy = 0; copy < 9; ++copy) big << loop;
    big << "# trace end: " << events(start) + 9 * events(loop) << " events\n";
  }
  ASSERT_GT(fs::file_size(dir_ / "big.trace"), 20'000'000u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Also from a pipe, which the tool keeps in a temporary file to read it
  // twice.
  const std::string commands[] = {"report big.trace", "vcd big.trace",
                                  "report /dev/stdin <big.trace",
                                  "report /dev/stdin"};
  for (const std::string& command : commands) {
    SCOPED_TRACE(command);
    const std::string pipe = command == commands[3] ? "cat big.trace | " : "";
    const Run r =
        run("/bin/sh",
            {"-c", "ulimit -v 65536 && " + pipe + "\"$0\" " + command + " >out",
             (kBinDir / "tv940-trace").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = readFile(dir_ / "out");
    if (command.starts_with("report")) {
      EXPECT_TRUE(has(out, "events, device sim")) << out;
      EXPECT_EQ(out.find("trace: 1323"), 0u) << out;
      EXPECT_FALSE(has(out, "warning:")) << out;
    } else {
      EXPECT_TRUE(has(out, "$enddefinitions")) << out.substr(0, 200);
    }
  }
#endif

  const std::string line(5000, 'x');
  Run r = report("req 0\nreq 1\n# " + line + "\nreq 2\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "t.trace:3: line longer than 4096 characters"))
      << r.err;
  EXPECT_EQ(r.out, "");
  r = tool("report", "/dev/zero");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "/dev/zero:1: line longer than")) << r.err;
}

TEST_F(TraceTool, WaveformHoldsEveryClockBitAtItsLineAndOpensInViewers) {
  // A comment first, so that times are lines, not event numbers.
  const std::string trace = "# trace: device sim (simulated card)\n" +
                            traced("vontrel", "vontrel.bfx").trace;
  writeFile(dir_ / "t.trace", trace);
  const Run r = tool("vcd", "t.trace");
  ASSERT_EQ(r.status, 0) << r.err;
  writeFile(dir_ / "t.vcd", r.out);

  // Independent reading: wire names from the header, then each wire's
  // changes in time order.
  std::map<std::string, std::string> names;  // code -> name
  std::map<std::string, std::vector<std::pair<std::size_t, char>>> changes;
  std::size_t time = 0;
  bool header = true;
  for (const std::string& line : lines(r.out)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (header) {
      if (word == "$var") {
        std::string type, width, code, name;
        words >> type >> width >> code >> name;
        EXPECT_EQ(width, "1") << line;
        names[code] = name;
      }
      header = word != "$enddefinitions";
    } else if (word[0] == '#') {
      time = std::stoul(word.substr(1));
    } else if (word[0] != '$') {
      ASSERT_TRUE(names.count(word.substr(1))) << line;
      changes[names[word.substr(1)]].push_back({time, word[0]});
    }
  }
  auto valueAt = [&](std::size_t t, const std::string& name) {
    const auto& list = changes[name];
    auto it = std::upper_bound(
        list.begin(), list.end(), t,
        [](std::size_t t, const auto& change) { return t < change.first; });
    return it == list.begin() ? 'x' : std::prev(it)->second;
  };

  const std::vector<std::string> traceLines = lines(trace);
  std::vector<std::pair<std::size_t, char>> clockBits;  // line, bit
  for (std::size_t i = 0; i < traceLines.size(); ++i) {
    const std::string& line = traceLines[i];
    if (line.rfind("out " + kClockPort + " ", 0) == 0) {
      clockBits.push_back({i + 1, line.back()});
      EXPECT_EQ(valueAt(i + 1, "clock_line"), line.back()) << "line " << i + 1;
    }
    if (line.rfind("rd ", 0) == 0 || line.rfind("wr ", 0) == 0) {
      const unsigned address = std::stoul(line.substr(3, 4), nullptr, 16);
      for (int bit = 0; bit < 16; ++bit) {
        const std::string name = "chip_address[" + std::to_string(bit) + "]";
        ASSERT_EQ(valueAt(i + 1, name), (address >> bit) & 1 ? '1' : '0')
            << "line " << i + 1 << " " << name;
      }
    }
  }
  ASSERT_EQ(clockBits.size(), 67u);

  const std::string vcd2fst = onPath("vcd2fst");
  const std::string sigrok = onPath("sigrok-cli");
  if (vcd2fst.empty() || sigrok.empty()) {
    GTEST_SKIP() << "vcd2fst (Debian package gtkwave) and sigrok-cli (package "
                    "sigrok-cli) are needed; scripts/test installs them";
  }
  const Run fst = run(vcd2fst, {"t.vcd", "t.fst"});
  EXPECT_EQ(fst.status, 0) << fst.out << fst.err;
  EXPECT_GT(fs::file_size(dir_ / "t.fst"), 0u);

  // sigrok reads the whole file: one sample a line from time 0, and the
  // clock line's sample at each write's line is the bit written.
  const Run csv = run(
      sigrok, {"-I", "vcd", "-i", "t.vcd", "-C", "clock_line", "-O", "csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::vector<char> samples;
  for (const std::string& line : lines(csv.out)) {
    if (line == "0" || line == "1") samples.push_back(line[0]);
  }
  ASSERT_EQ(samples.size(), traceLines.size() + 1) << csv.err;
  for (const auto& [line, bit] : clockBits) {
    EXPECT_EQ(samples[line], bit) << "line " << line;
  }
}

// The lines of a trace less the simulated card's notes, as a real card's
// trace has them.
std::vector<std::string> withoutNotes(const std::string& trace) {
  std::vector<std::string> kept;
  for (const std::string& line : lines(trace)) {
    if (line.rfind("# the simulated card", 0) != 0) kept.push_back(line);
  }
  return kept;
}

bool isRead(const std::string& line) {
  return line.rfind("rd ", 0) == 0 || line.rfind("drd ", 0) == 0 ||
         line.rfind("in ", 0) == 0;
}

std::size_t countPrefix(const std::vector<std::string>& all,
                        const std::string& prefix) {
  return std::count_if(all.begin(), all.end(), [&](const std::string& line) {
    return line.rfind(prefix, 0) == 0;
  });
}

std::string hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

TEST_F(TraceTool, CheckHoldsEveryReadAgainstTheDeviceModel) {
  // Correct runs agree; the status bits of columns 8 and 44 are not compared.
  for (const auto& [program, status] :
       {std::pair{"kelpori", "rd 08c0 "}, std::pair{"vontrel", "rd 2cc0 "}}) {
    const std::string trace =
        traced(program, std::string(program) + ".bfx").trace;
    const Run r = check(trace);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "every one agrees with the model (" +
                               std::string(program) + ", clock 66 MHz)"))
        << r.out;
    EXPECT_TRUE(
        has(r.out, "not compared in " +
                       std::to_string(countPrefix(lines(trace), status)) +
                       " reads"))
        << r.out;
  }

  // The faulty design's run as a real card gives it: the first read where
  // it departs from the correct run, the correct run's value the model's.
  const std::vector<std::string> correct =
      withoutNotes(traced("kelpori", "kelpori.bfx").trace);
  const std::vector<std::string> faulty =
      withoutNotes(traced("kelpori", "faulty/kelpori-stuck-bit.bfx").trace);
  ASSERT_EQ(correct.size(), faulty.size());
  std::size_t first = 0;
  while (first < faulty.size() &&
         (!isRead(faulty[first]) || faulty[first] == correct[first])) {
    ++first;
  }
  ASSERT_LT(first, faulty.size());
  Run r = check(joined(faulty));
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string& departs = faulty[first];
  EXPECT_TRUE(has(r.out, "line " + std::to_string(first + 1) + ": " +
                             departs.substr(0, 7) + " (column 0): card " +
                             departs.substr(8) + ", model " +
                             correct[first].substr(8) + ", bit"))
      << r.out << "first departure: " << departs;

  // One bit flipped in one read of column 0: that line, both values, the
  // bit; the status bits of column 8 flipped change nothing.
  std::vector<std::string> kelpori = correct;
  std::size_t at = 0, columnReads = 0;
  while (at < kelpori.size() &&
         !(kelpori[at].rfind("rd 00c0 ", 0) == 0 && ++columnReads == 1000)) {
    ++at;
  }
  ASSERT_LT(at, kelpori.size());
  const std::string original = kelpori[at].substr(8);
  const std::string flipped = hex8(std::stoul(original, nullptr, 16) ^ 32u);
  kelpori[at] = "rd 00c0 " + flipped;
  r = check(joined(kelpori));
  EXPECT_EQ(r.status, 1) << r.out;
  std::size_t reads = std::count_if(kelpori.begin(), kelpori.end(), isRead);
  EXPECT_TRUE(has(r.out, "check: 1 of " + std::to_string(reads) +
                             " reads differ from the model (kelpori"))
      << r.out;
  EXPECT_TRUE(has(r.out, "line " + std::to_string(at + 1) +
                             ": rd 00c0 (column 0): card " + flipped +
                             ", model " + original + ", bit 5 differs\n"))
      << r.out;
  EXPECT_TRUE(has(r.out,
                  "00c0 (column 0): 1 of 48000 reads differ; bit 5 "
                  "always\n"))
      << r.out;
  kelpori[at] = correct[at];
  for (std::string& line : kelpori) {
    if (line.rfind("rd 08c0 ", 0) == 0) line[8] = line[8] == '0' ? '8' : '0';
  }
  EXPECT_EQ(check(joined(kelpori)).status, 0);

  // A run whose every read gave 0.
  std::vector<std::string> zeros =
      lines(traced("vontrel", "vontrel.bfx").trace);
  for (std::string& line : zeros) {
    if (isRead(line)) line.replace(line.rfind(' ') + 1, 8, "00000000");
  }
  r = check(joined(zeros));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "reads differ from the model (vontrel")) << r.out;

  // A design of another layout: check cannot judge it, report finds it.
  std::string design = "4000 12345678\n";
  for (unsigned a = 0x4001; a < 0x4400; ++a) {
    char line[32];
    std::snprintf(line, sizeof line, "%04x %08x\n", a, a * 2654435761u | 1);
    design += line;
  }
  writeFile(dir_ / "kelpori.bfx", design);
  ASSERT_EQ(run(kBinDir / "kelpori", {},
                {{"TV940_DEVICE", "sim"}, {"TV940_TRACE", "other.trace"}})
                .status,
            0);
  const std::string other = readFile(dir_ / "other.trace");
  r = check(other);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.out,
                  "the configuration's identification word "
                  "0x12345678 is not a design the model knows"))
      << r.out;
  r = report(other);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out,
                  "design: 1024 configuration writes to "
                  "0x4000-0x43ff, not a design the simulated card "
                  "models"))
      << r.out;

  // No clock: nothing the design does can be judged.
  std::vector<std::string> noClock;
  for (const std::string& line : correct) {
    if (line.rfind("out " + kClockPort, 0) != 0) noClock.push_back(line);
  }
  r = check(joined(noClock));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.out, "the clock was never programmed")) << r.out;

  r = check("req 0\nrd c000 00000008\nrd c0 zz\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "c.trace:3: not a trace event")) << r.err;

  // The loop run ten times over: as long a trace, no more memory.
  std::size_t loop = 0;
  while (correct[loop] != "wr 01c0 00000001") ++loop;
  std::vector<std::string> longer(correct.begin(), correct.begin() + loop);
  for (int i = 0; i < 10; ++i) {
    longer.insert(longer.end(), correct.begin() + loop, correct.end());
  }
  writeFile(dir_ / "long.trace", joined(longer));
  writeFile(dir_ / "short.trace", joined(correct));
  EXPECT_LT(peakKiB({"check", "--partial", "long.trace"}),
            peakKiB({"check", "short.trace"}) + 4096);
}

TEST_F(TraceTool, DiffComparesTracesEventByEvent) {
  // B: A from another backend (heading, CR LF, I/O base 0xd000), one value
  // read otherwise, and an interrupt more.
  const std::vector<std::string> a =
      lines(traced("vontrel", "vontrel.bfx").trace);
  // The first result read changes; the interrupt comes before the first
  // operand written 100 lines after it.
  std::size_t changed = 0, interrupt = 0;
  while (changed < a.size() && a[changed].rfind("rd 2cc0 ", 0) != 0) ++changed;
  interrupt = changed + 100;
  while (interrupt < a.size() && a[interrupt].rfind("wr 00c0 ", 0) != 0) {
    ++interrupt;
  }
  ASSERT_LT(interrupt, a.size());
  const std::string otherValue = a[changed][8] == '0' ? "f" : "0";
  std::string b = "# trace: device 0000:03:00.0 (linux pci)\r\n";
  for (std::size_t i = 1; i < a.size(); ++i) {  // A's heading left out
    std::string line = a[i];
    if (line.rfind("out e0", 0) == 0) line.replace(4, 2, "d0");
    if (line.rfind("# bases: ", 0) == 0) line.replace(line.size() - 4, 2, "d0");
    if (line.rfind("# trace end: ", 0) == 0) {
      line = card::trace::endLine(a.size() - countPrefix(a, "#") + 1);
    }
    if (i == changed) line.replace(8, 1, otherValue);
    if (i == interrupt) b += "irq 00000001\r\n";
    b += line + "\r\n";
  }
  writeFile(dir_ / "a.trace", joined(a));
  writeFile(dir_ / "b.trace", b);

  Run r = run(kBinDir / "tv940-trace",
              {"diff", "--sent-only", "a.trace", "b.trace"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::size_t sent = countPrefix(a, "req ") + countPrefix(a, "out ") +
                           countPrefix(a, "wr ") + countPrefix(a, "dwr ");
  EXPECT_EQ(r.out,
            "diff: equal: " + std::to_string(sent) + " events sent each\n");

  r = run(kBinDir / "tv940-trace", {"diff", "a.trace", "b.trace"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  auto shown = [](char mark, std::size_t lineA, std::size_t lineB,
                  const std::string& event) {
    char text[64];
    std::snprintf(text, sizeof text, "%c %8s %8s  ", mark,
                  lineA ? std::to_string(lineA).c_str() : "",
                  lineB ? std::to_string(lineB).c_str() : "");
    return text + event + "\n";
  };
  // Line numbers: A's are its index + 1, and B's the same up to the
  // interrupt, one more after it.
  const std::string expected =
      shown(' ', changed - 1, changed - 1, a[changed - 2]) +
      shown(' ', changed, changed, a[changed - 1]) +
      shown('-', changed + 1, 0, a[changed]) +
      shown('+', 0, changed + 1,
            a[changed].substr(0, 8) + otherValue + a[changed].substr(9)) +
      shown(' ', changed + 2, changed + 2, a[changed + 1]);
  EXPECT_TRUE(has(r.out, expected)) << r.out << "expected:\n" << expected;
  EXPECT_TRUE(
      has(r.out, shown('+', 0, interrupt + 1, "irq 00000001") +
                     shown(' ', interrupt + 1, interrupt + 2, a[interrupt])))
      << r.out;
  const std::size_t events = a.size() - countPrefix(a, "#");
  EXPECT_TRUE(has(r.out, "diff: the traces differ at 2 events (A has " +
                             std::to_string(events) + ", B " +
                             std::to_string(events + 1) +
                             ")\ndiffering: rd 1\nonly in B: irq 1\n"))
      << r.out;

  writeFile(dir_ / "bad.trace", "req 0\nSR: Ox000000171b37\n");
  r = run(kBinDir / "tv940-trace", {"diff", "a.trace", "bad.trace"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "bad.trace:2: not a trace event")) << r.err;
}

// What a trace holds besides its events: the accesses the card failed, a
// second open, a second design, where the card's ports are.
TEST_F(TraceTool, ToolsJudgeEachOpenDesignAndPortBlockAsTheTraceHasIt) {
  const std::vector<std::string> good =
      withoutNotes(traced("kelpori", "kelpori.bfx").trace);
  const std::size_t events = good.size() - countPrefix(good, "#");
  writeFile(dir_ / "good.trace", joined(good));
  const std::string tool = kBinDir / "tv940-trace";

  // Every port write failed: the run is no good one, whatever it sent.
  std::vector<std::string> failed;
  for (const std::string& line : good) {
    failed.push_back(line);
    if (line.rfind("out ", 0) == 0)
      failed.push_back("# the card failed " + line + ": no such device");
  }
  const std::size_t outs = countPrefix(good, "out ");
  Run r = report(joined(failed));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "warning: the card failed " + std::to_string(outs) +
                             " accesses, the first on line"))
      << r.out;
  r = check(joined(failed));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.out, "the card failed " + std::to_string(outs))) << r.out;
  writeFile(dir_ / "failed.trace", joined(failed));
  r = run(tool, {"diff", "--sent-only", "good.trace", "failed.trace"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "diff: the card failed 0 accesses in A, " +
                             std::to_string(outs) + " in B"))
      << r.out;

  // Two opens in one trace: each starts from a card afresh.
  std::vector<std::string> twice(good.begin(), good.end() - 1);
  twice.insert(twice.end(), good.begin(), good.end() - 1);
  twice.push_back(card::trace::endLine(2 * events));
  r = check(joined(twice));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(report(joined(twice)).out, "trace: 2 opens of the card"));

  // A second design loaded in the same open is judged as that design; one
  // the model does not know ends the judgement there.
  const std::vector<std::string> second =
      withoutNotes(traced("vontrel", "vontrel.bfx").trace);
  std::vector<std::string> both(good.begin(), good.end() - 1);
  // The card keeps its bus width: no read of it gives 0 again.
  std::copy_if(
      second.begin() + 1, second.end() - 1, std::back_inserter(both),
      [](const std::string& l) { return l.rfind("rd c000 ", 0) != 0; });
  both.push_back(card::trace::endLine(both.size() - countPrefix(both, "#")));
  r = check(joined(both));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "check: designs in turn: kelpori (line ")) << r.out;
  EXPECT_TRUE(has(r.out, "), vontrel (line ")) << r.out;
  const std::string designs = r.out.substr(r.out.find("kelpori (line"));
  r = report(joined(both));
  EXPECT_TRUE(
      has(r.out, "design: in turn: " + designs.substr(0, designs.find('\n'))))
      << r.out;
  for (std::string& line : both) {
    if (line.rfind("wr 4000 ", 0) == 0 && &line > &both[good.size()])
      line = "wr 4000 12345678";
  }
  r = check(joined(both));
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(has(r.out,
                  "was changed from kelpori to one the model does "
                  "not know (identification word 0x12345678)"))
      << r.out;

  // The whole port block 0x40 too high: held against the recorded base, the
  // ports miss the card. A trace without the record is read as before.
  std::vector<std::string> shifted = good;
  for (std::string& line : shifted) {
    if (line.rfind("out e0", 0) == 0) line[6] = char(line[6] + 4);
  }
  writeFile(dir_ / "shifted.trace", joined(shifted));
  r = run(tool, {"diff", "good.trace", "shifted.trace"});
  EXPECT_EQ(r.status, 1) << r.out;
  r = check(joined(shifted));
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(has(r.out, "the clock was never programmed")) << r.out;
  EXPECT_TRUE(has(report(joined(shifted)).out,
                  "port accesses outside the card's ports 0xe000-0xe03f"));
  std::vector<std::string> old;
  for (const std::string& line : shifted)
    if (line.rfind("# bases: ", 0) != 0) old.push_back(line);
  r = check(joined(old));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out,
                  "note: the trace does not record where the card's "
                  "ports are"))
      << r.out;
}

// Two connections open at once: kelpori's run on one card, vontrel's on
// another, their lines tagged from the second open on. Each is judged
// against a card of its own, and compared connection by connection.
TEST_F(TraceTool, ConnectionsOpenAtOnceAreJudgedApart) {
  const std::vector<std::string> k =
      withoutNotes(traced("kelpori", "kelpori.bfx").trace);
  const std::vector<std::string> v =
      withoutNotes(traced("vontrel", "vontrel.bfx").trace);
  // kelpori's first 20 lines alone, then the two taking turns, `stride`
  // of kelpori's lines to one of vontrel's.
  const auto interleaved = [&](std::size_t stride) {
    std::vector<std::string> out(k.begin(), k.begin() + 20);
    std::size_t ki = 20, vi = 0, events = 0;
    const auto tagged = [](const std::string& line, const char* tag,
                           const char* suffix) {
      return line[0] == '#' ? line + suffix : tag + line;
    };
    while (ki + 1 < k.size() || vi + 1 < v.size()) {
      for (std::size_t n = 0; n < stride && ki + 1 < k.size(); ++n)
        out.push_back(tagged(k[ki++], "c1 ", ", connection 1"));
      if (vi + 1 < v.size())
        out.push_back(tagged(v[vi++], "c2 ", ", connection 2"));
    }
    for (const std::string& line : out) events += line[0] != '#';
    out.push_back(card::trace::endLine(events));
    return joined(out);
  };
  const std::string one = interleaved(1), three = interleaved(3);
  ASSERT_TRUE(has(one, "), written by tv940 " + std::string(tv940::kVersion) +
                           ", connection 2\n"));
  Run r = check(one);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "every one agrees with the model")) << r.out;
  EXPECT_TRUE(has(report(one).out, "trace: 2 connections to the card open"));
  writeFile(dir_ / "one.trace", one);
  writeFile(dir_ / "three.trace", three);
  r = run(kBinDir / "tv940-trace", {"diff", "one.trace", "three.trace"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "connection 1:\ndiff: equal: " +
                             std::to_string(k.size() - countPrefix(k, "#")) +
                             " events each\nconnection 2:\ndiff: equal: "))
      << r.out;
}

// Any trace in 64 MiB; the exit status of a failed write and of a wrong
// command line; two swapped reads are two differences.
TEST_F(TraceTool, BoundedMemoryExitStatusesAndSwappedReads) {
  const std::string tool = kBinDir / "tv940-trace";
  std::string reads = "# trace: device sim\n", ports = reads;
  constexpr unsigned kReads = 400000;
  char line[40];
  for (unsigned i = 0; i < kReads; ++i) {
    std::snprintf(line, sizeof line, "rd @%06x 00000001\n", 4 * i);
    reads += line;
  }
  for (unsigned port = 0; port < 0x10000; ++port) {
    std::snprintf(line, sizeof line, "out %04x 00000001\n", port);
    ports += line;
  }
  writeFile(dir_ / "reads.trace", reads + card::trace::endLine(kReads) + "\n");
  writeFile(dir_ / "ports.trace", ports + card::trace::endLine(0x10000) + "\n");
  Run r;
  // A sanitizer reserves more address space than the limit allows.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const auto limited = [&](const std::string& args, int kib = 65536) {
    return run("/bin/sh",
               {"-c", "ulimit -v " + std::to_string(kib) + " && exec " + tool +
                          " " + args + " > /dev/null"});
  };
  r = limited("check reads.trace");
  EXPECT_EQ(r.status, 3) << r.err;  // no clock, no design
  EXPECT_EQ(r.err, "");
  r = limited("vcd ports.trace");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(limited("report ports.trace").status, 1);
  // Little memory: the verdict, or a message and exit 2, never an abort.
  r = limited("check reads.trace", 10000);
  EXPECT_TRUE(r.status == 3 ||
              (r.status == 2 &&
               has(r.err, "tv940-trace: out of memory reading reads.trace")))
      << r.status << ": " << r.err;
#endif

  for (const char* option : {"--help", "-h", "--version"}) {
    r = run("/bin/sh", {"-c", tool + " " + option + " > /dev/full"});
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_TRUE(has(r.err, "cannot write")) << option << r.err;
  }
  r = run(tool, {"--help"});
  EXPECT_TRUE(has(r.out, "tv940-trace -h, --help")) << r.out;
  r = run(tool, {"bogus"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "tv940-trace: unknown command 'bogus'\nusage:"))
      << r.err;
  r = run(tool, {"check", "--bogus", "x.trace"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "unknown option '--bogus'")) << r.err;

  std::vector<std::string> swapped =
      lines(traced("kelpori", "kelpori.bfx").trace);
  writeFile(dir_ / "a.trace", joined(swapped));
  std::size_t at = 1;
  while (!(isRead(swapped[at]) && isRead(swapped[at + 1]) &&
           swapped[at].substr(0, 7) != swapped[at + 1].substr(0, 7)) &&
         at + 2 < swapped.size()) {
    ++at;
  }
  std::swap(swapped[at], swapped[at + 1]);
  writeFile(dir_ / "b.trace", joined(swapped));
  r = run(tool, {"diff", "a.trace", "b.trace"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "diff: the traces differ at 2 events")) << r.out;
}

}  // namespace
