// Whole program runs of kelpori and vontrel under bad input and injected
// faults: design files that cannot be read or are not designs, output files
// that cannot be written after a successful bring-up, and every fault of the
// simulated card. Each must end with its clear message and exit status,
// never with a signal (the card's window is inaccessible memory, so a run
// that went on past a failed open would end with one), and never report
// success for a run that did not happen.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boardlib/board.h"
#include "gtest/gtest.h"
#include "platform/backends/simulated_card/card.h"
#include "program_runner.h"
#include "sim_board.h"

namespace fs = std::filesystem;

namespace {

const fs::path kBinDir = TV940_BIN_DIR;
const fs::path kDesignDir = fs::path(TV940_SOURCE_DIR) / "designs";
const char* const kPrograms[] = {"kelpori", "vontrel"};

// A run that takes longer than this has hung.
constexpr std::chrono::seconds kRunLimit{120};

struct Outcome {
  bool exited = false;  // ended by exit, not by a signal or the time limit
  int status = -1;      // the exit status, or the signal
  std::string out;
  std::string err;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << (o.exited ? "exit status " : "no exit, signal/limit ") << o.status
     << "\n--- stdout (" << o.out.size() << " bytes, last 400):\n"
     << o.out.substr(o.out.size() > 400 ? o.out.size() - 400 : 0)
     << "\n--- stderr:\n"
     << o.err;
  return os;
}

using tv940test::readFile;
using tv940test::writeFile;

std::size_t lineCount(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += c == '\n';
  return count;
}

std::string loadFailure(const std::string& program) {
  return "Problem loading BFX file " + program + ".bfx: Exiting!\n";
}

// Bytes from a fixed generator, so every run sees the same junk.
std::string junk(std::uint32_t seed, std::size_t size, bool anyByte) {
  std::string bytes;
  std::uint32_t state = seed;
  while (bytes.size() < size) {
    state = state * 1664525u + 1013904223u;
    const char c = static_cast<char>(state >> 24);
    // Without line feeds, blanks, tabs, "#" and Ctrl-Z the text is one
    // token that runs to its end: never a pair line.
    if (!anyByte &&
        (c == '\n' || c == ' ' || c == '\t' || c == '#' || c == '\x1a')) {
      continue;
    }
    bytes.push_back(c);
  }
  return bytes;
}

class Robustness : public tv940test::ProgramRunTest {
 protected:
  Robustness() : ProgramRunTest("tv940-robust") {}

  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    ProgramRunTest::TearDown();
  }

  // Runs a program in the work directory against the simulated card, with
  // the test's environment less every TV940_ variable, plus `env`.
  Outcome run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {},
              tv940test::Descriptors descriptors = {}) {
    return finish(startProgram(program, args, env, descriptors));
  }

  // The same, with the shell commands `limits` run first (ulimit, trap).
  Outcome runLimited(const std::string& program, const std::string& limits,
                     const std::map<std::string, std::string>& env = {}) {
    return finish(
        start("/bin/sh",
              {"-c", limits + " && exec \"$0\"", (kBinDir / program).string()},
              tv940test::programEnvironment({"TV940_DEVICE=sim"}, env)));
  }

  pid_t startProgram(const std::string& program,
                     const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env,
                     tv940test::Descriptors descriptors = {}) {
    return start(kBinDir / program, args,
                 tv940test::programEnvironment({"TV940_DEVICE=sim"}, env),
                 descriptors);
  }

  // Waits for a started program, at most kRunLimit.
  Outcome finish(pid_t pid) {
    Outcome result;
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.err = "(killed after the time limit)\n";
    }
    if (ended == pid && WIFEXITED(status)) {
      result.exited = true;
      result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.status = WTERMSIG(status);
    }
    result.out = consoleOut();
    result.err += consoleErr();
    return result;
  }

  void copyDesign(const std::string& program) {
    fs::copy_file(kDesignDir / (program + ".bfx"), dir_ / (program + ".bfx"),
                  fs::copy_options::overwrite_existing);
  }

  // The software model's output, from a run in a directory of its own.
  std::string modelOutput(const std::string& program) {
    const fs::path saved = dir_;
    dir_ = root_ / ("model-" + program);
    fs::create_directory(dir_);
    const Outcome model = run(program, {"-s"});
    EXPECT_TRUE(model.exited && model.status == 0) << model;
    const std::string text = readFile(dir_ / (program + ".out"));
    dir_ = saved;
    return text;
  }

  // What the library's loader makes of a file, on a card of its own.
  static ErrorCode loaderResult(const fs::path& file) {
    tv940test::selectSimulatedCard();
    Board board;
    if (board.open() != 0) return 1;
    const ErrorCode result = board.loadConfiguration(file.c_str());
    board.close();
    sim::resetSettings();
    return result;
  }

  // A design file that must not load: the load failure, then on standard
  // error the design's name and `why` ("line 3: ..." or the system's
  // reason), and nothing else.
  void expectLoadFailure(const std::string& program, const std::string& what,
                         const std::string& why) {
    SCOPED_TRACE(program + " with " + what);
    const fs::path output = dir_ / (program + ".out");
    writeFile(output, "earlier results\n");
    const Outcome outcome = run(program, {});
    ASSERT_TRUE(outcome.exited) << outcome;
    EXPECT_EQ(outcome.status, 1) << outcome;
    // The clock's trace lines, then the one failure line.
    EXPECT_GE(outcome.out.size(), loadFailure(program).size()) << outcome;
    EXPECT_TRUE(outcome.out.ends_with(loadFailure(program))) << outcome;
    EXPECT_EQ(outcome.out.find("Problem"), outcome.out.rfind("Problem"));
    const std::string design = program + ": " + program + ".bfx";
    EXPECT_EQ(outcome.err,
              design + (why.starts_with("line ") ? " " : ": ") + why + "\n")
        << outcome;
    EXPECT_EQ(readFile(output), "earlier results\n") << "output file touched";
  }
};

// ---- Design files ---------------------------------------------------------

TEST_F(Robustness, DesignFilesThatCannotBeRead) {
  for (const std::string program : kPrograms) {
    const fs::path design = dir_ / (program + ".bfx");

    expectLoadFailure(program, "no design file", std::strerror(ENOENT));

    fs::create_directory(design);
    expectLoadFailure(program, "a directory as the design file",
                      std::strerror(EISDIR));
    fs::remove(design);

    fs::create_symlink(program + ".bfx", design);
    expectLoadFailure(program, "a symbolic link to itself",
                      std::strerror(ELOOP));
    fs::remove(design);

    // Opens, but every read fails (EIO): the start of the address space.
    fs::create_symlink("/proc/self/mem", design);
    expectLoadFailure(program, "a file whose reads fail", std::strerror(EIO));
    fs::remove(design);

    // Not plain files: refused before a byte is read, so that neither an
    // endless device nor a FIFO without a writer holds the run.
    fs::create_symlink("/dev/zero", design);
    expectLoadFailure(program, "an endless stream of zero bytes",
                      "not a regular file (a character device)");
    fs::remove(design);
    ASSERT_EQ(::mkfifo(design.c_str(), 0600), 0);
    expectLoadFailure(program, "a FIFO without a writer",
                      "not a regular file (a FIFO)");
    fs::remove(design);
  }
}

// Lines longer than 64 KiB load as other tools load them: blank lines and
// remarks of any length are skipped, a remark after the fields is never
// read; only a field that the limit cuts is refused.
TEST_F(Robustness, DesignsWithLongLines) {
  const std::string blanks(70000, ' ');
  for (const std::string program : kPrograms) {
    SCOPED_TRACE(program);
    const fs::path design = dir_ / (program + ".bfx");
    std::string full = readFile(kDesignDir / (program + ".bfx"));
    const std::size_t firstPair = full.find("\n4000 ") + 1;
    ASSERT_NE(firstPair, 0u) << "the design has no pair at 0x4000";
    const std::size_t lineEnd = full.find('\n', firstPair);
    full.insert(lineEnd, " # " + std::string(70000, 'r') + " 4000 0");
    writeFile(design,
              blanks + "\n#" + blanks + "\n" + blanks + "# 10 20\n" + full);
    const Outcome loaded = run(program, {});
    ASSERT_TRUE(loaded.exited) << loaded;
    EXPECT_EQ(loaded.status, 0) << loaded;
    EXPECT_TRUE(readFile(dir_ / (program + ".out")) == modelOutput(program));

    writeFile(design, "10" + blanks + "20\n" + full);
    expectLoadFailure(
        program, "a data field after 64 KiB",
        "line 1: the data begins after the line's first 65536 characters");
  }
}

TEST_F(Robustness, DesignFileWithoutReadPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  for (const std::string program : kPrograms) {
    const fs::path design = dir_ / (program + ".bfx");
    copyDesign(program);
    fs::permissions(design, fs::perms::none);
    expectLoadFailure(program, "a design file without read permission",
                      std::strerror(EACCES));
    fs::remove(design);
  }
}

TEST_F(Robustness, DesignFilesThatStopOrAreJunk) {
  for (const std::string program : kPrograms) {
    const fs::path design = dir_ / (program + ".bfx");
    const std::string full = readFile(kDesignDir / (program + ".bfx"));
    ASSERT_GT(full.size(), 1000u) << "no design file for " << program;

    // Cut in the middle of a pair line, between its address and its data.
    const std::size_t middle = full.find('\n', full.size() / 2) + 1;
    const std::size_t blank = full.find(' ', middle);
    ASSERT_NE(blank, std::string::npos);
    writeFile(design, full.substr(0, blank));
    EXPECT_EQ(loaderResult(design), -7);
    expectLoadFailure(program, "a design cut after an address",
                      "line " +
                          std::to_string(lineCount(full.substr(0, blank)) + 1) +
                          ": second field missing");

    // Cut in the middle of a field: the pair is whole and loads, but the
    // design is incomplete, so the board never answers like the model.
    writeFile(design, full.substr(0, blank + 3));
    EXPECT_EQ(loaderResult(design), 0);
    const Outcome cut = run(program, {});
    ASSERT_TRUE(cut.exited) << cut;
    EXPECT_EQ(cut.status, 0) << cut;
    EXPECT_NE(readFile(dir_ / (program + ".out")), modelOutput(program));

    // Binary junk that holds no pair line.
    writeFile(design, junk(7, 4096, false));
    EXPECT_EQ(loaderResult(design), -7);
    expectLoadFailure(program, "binary junk", "line 1: second field missing");

    // Junk of every byte value: whatever the loader makes of it, the
    // program's status follows it, and no run ends with a signal. Of these
    // seeds some give a bad line and some load as pairs up to a Ctrl-Z.
    std::map<ErrorCode, int> results;
    for (const std::uint32_t seed : {1, 2, 7, 10}) {
      SCOPED_TRACE("junk seed " + std::to_string(seed));
      writeFile(design, junk(seed, 2048 * seed, true));
      const ErrorCode loaded = loaderResult(design);
      ASSERT_TRUE(loaded == 0 || loaded == -7) << loaded;
      ++results[loaded];
      const Outcome outcome = run(program, {});
      ASSERT_TRUE(outcome.exited) << outcome;
      EXPECT_EQ(outcome.status, loaded == 0 ? 0 : 1) << outcome;
      EXPECT_EQ(outcome.out.ends_with(loadFailure(program)), loaded != 0)
          << outcome;
      EXPECT_EQ(lineCount(outcome.err), loaded == 0 ? 0u : 1u) << outcome;
    }
    EXPECT_EQ(results.size(), 2u) << "the junk no longer covers both outcomes";
  }
}

// ---- Output files after a successful bring-up -----------------------------

// The chip accesses after the bring-up's last one (control register 0xC008)
// in a trace file: the test loop as the card saw it.
std::vector<std::string> loopAccesses(const std::string& trace) {
  const std::size_t start = trace.rfind("\nwr c008 ");
  std::vector<std::string> accesses;
  if (start == std::string::npos) return accesses;
  std::istringstream in(trace.substr(trace.find('\n', start + 1) + 1));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind('#', 0) != 0) accesses.push_back(line);  // notes aside
  }
  return accesses;
}

TEST_F(Robustness, OutputFilesThatCannotBeWrittenInABoardRun) {
  // Column and mask accesses of a whole test loop, by the programs' counts.
  const std::map<std::string, std::size_t> loopLength{{"kelpori", 2 + 147000},
                                                      {"vontrel", 9000}};
  const std::string trace = (root_ / "trace").string();
  for (const std::string program : kPrograms) {
    SCOPED_TRACE(program);
    const std::string name = program + ".out";
    const fs::path output = dir_ / name;
    const auto openFailure = [&](int error) {
      return "Can't open " + name + " for output: Exiting!\n" + program + ": " +
             name + ": " + std::strerror(error) + "\n";
    };
    copyDesign(program);

    // The bring-up succeeds, then the file cannot be created.
    fs::create_directory(output);
    Outcome blocked = run(program, {});
    ASSERT_TRUE(blocked.exited) << blocked;
    EXPECT_EQ(blocked.status, 1) << blocked;
    EXPECT_EQ(blocked.err, openFailure(EISDIR)) << blocked;
    EXPECT_EQ(lineCount(blocked.out), 7u) << "the clock lines only\n"
                                          << blocked;
    EXPECT_TRUE(fs::is_empty(output));
    fs::remove(output);

    fs::create_symlink("no-such-directory/" + name, output);
    Outcome dangling = run(program, {});
    ASSERT_TRUE(dangling.exited) << dangling;
    EXPECT_EQ(dangling.status, 1) << dangling;
    EXPECT_EQ(dangling.err, openFailure(ENOENT)) << dangling;
    fs::remove(output);

    // A full disk: the card still sees the whole test, access for access
    // as in a run that writes its file; the failure is reported after it.
    const Outcome whole = run(program, {}, {{"TV940_TRACE", trace}});
    ASSERT_TRUE(whole.exited && whole.status == 0) << whole;
    const std::vector<std::string> wholeLoop = loopAccesses(readFile(trace));
    EXPECT_EQ(wholeLoop.size(), loopLength.at(program));
    fs::remove(output);
    fs::create_symlink("/dev/full", output);
    Outcome full = run(program, {}, {{"TV940_TRACE", trace}});
    ASSERT_TRUE(full.exited) << full;
    EXPECT_EQ(full.status, 1) << full;
    EXPECT_EQ(full.err, program + ": error writing " + name + ": " +
                            std::strerror(ENOSPC) + "\n")
        << full;
    EXPECT_EQ(full.out.find("Problem"), std::string::npos) << full;
    EXPECT_TRUE(loopAccesses(readFile(trace)) == wholeLoop)
        << "the test loop stopped at the failed write";
    fs::remove(output);

    if (::geteuid() != 0) {
      fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
      Outcome readOnly = run(program, {});
      fs::permissions(dir_, fs::perms::owner_all);
      ASSERT_TRUE(readOnly.exited) << readOnly;
      EXPECT_EQ(readOnly.status, 1) << readOnly;
      EXPECT_EQ(readOnly.err, openFailure(EACCES)) << readOnly;
    }
  }
}

// Output to a pipe or fifo without a reader: at once when no program reads
// it, a write error like any other when its reader has gone, reported with
// its reason and status 1, never the end of the process by a signal; the
// run still goes to its end.
TEST_F(Robustness, PipesWithoutAReader) {
  for (const std::string program : kPrograms) {
    SCOPED_TRACE(program);
    const std::string name = program + ".out";
    const fs::path output = dir_ / name;
    copyDesign(program);

    // Nobody reads it: the open fails instead of waiting for a reader.
    ASSERT_EQ(::mkfifo(output.c_str(), 0600), 0);
    const Outcome unread = run(program, {"-s"});
    ASSERT_TRUE(unread.exited) << unread;
    EXPECT_EQ(unread.status, 1) << unread;
    EXPECT_EQ(unread.err, "Can't open " + name + " for output: Exiting!\n" +
                              program + ": " + name +
                              ": no reader (a FIFO that no program reads)\n")
        << unread;
    fs::remove(output);

    // The output file is a fifo whose reader takes the first bytes and
    // leaves. A small pipe buffer, so that neither program's file fits.
    ASSERT_EQ(::mkfifo(output.c_str(), 0600), 0);
    const int reader =
        ::open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GE(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    const pid_t writer = startProgram(program, {"-s"}, {});
    pollfd ready{reader, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 60000), 1) << "nothing arrived";
    char first[64];
    EXPECT_GT(::read(reader, first, sizeof first), 0);
    ::close(reader);
    const Outcome fifo = finish(writer);
    ASSERT_TRUE(fifo.exited) << fifo;
    EXPECT_EQ(fifo.status, 1) << fifo;
    EXPECT_EQ(fifo.err, program + ": error writing " + name + ": " +
                            std::strerror(EPIPE) + "\n")
        << fifo;
    fs::remove(output);

    // Standard output is a pipe without a reader: the clock lines are
    // lost, which is reported; the output file is whole.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    const Outcome piped = run(program, {}, {}, {.output = ends[1]});
    ::close(ends[1]);
    ASSERT_TRUE(piped.exited) << piped;
    EXPECT_EQ(piped.status, 1) << piped;
    EXPECT_EQ(piped.err, program + ": error writing standard output: " +
                             std::strerror(EPIPE) + "\n")
        << piped;
    EXPECT_TRUE(readFile(output) == modelOutput(program));
  }
}

// Programs started with standard descriptors closed: no file the run opens
// takes their place, so the console lines never land in one.
TEST_F(Robustness, ClosedStandardDescriptors) {
  const std::string trace = (root_ / "trace").string();
  for (const std::string program : kPrograms) {
    SCOPED_TRACE(program);
    copyDesign(program);
    const Outcome usual = run(program, {}, {{"TV940_TRACE", trace}});
    ASSERT_TRUE(usual.exited && usual.status == 0) << usual;
    const std::string usualTrace = readFile(trace);

    // Standard output closed: the trace file would take descriptor 1.
    const Outcome noOutput =
        run(program, {}, {{"TV940_TRACE", trace}}, {.closed = 1u << 1});
    ASSERT_TRUE(noOutput.exited) << noOutput;
    EXPECT_EQ(noOutput.status, 0) << noOutput;
    EXPECT_EQ(noOutput.err, "") << noOutput;
    EXPECT_TRUE(readFile(trace) == usualTrace) << "the trace holds more";
    EXPECT_TRUE(readFile(dir_ / (program + ".out")) == modelOutput(program));

    // Standard error closed and the design missing: the trace file would
    // take descriptor 2 and the failure's reason line with it.
    fs::remove(dir_ / (program + ".bfx"));
    const Outcome noErrors =
        run(program, {}, {{"TV940_TRACE", trace}}, {.closed = 1u << 2});
    ASSERT_TRUE(noErrors.exited) << noErrors;
    EXPECT_EQ(noErrors.status, 1) << noErrors;
    EXPECT_TRUE(noErrors.out.ends_with(loadFailure(program))) << noErrors;
    const std::string failedTrace = readFile(trace);
    EXPECT_EQ(failedTrace.find(program + ".bfx"), std::string::npos)
        << failedTrace;
    EXPECT_NE(failedTrace.find("req "), std::string::npos) << failedTrace;
  }
}

// ---- Faults of the simulated card -----------------------------------------

// Faults that make the open fail: one line on standard error naming the
// cause, status 1, and nothing done after the open: no clock trace, no
// design load, no output file.
TEST_F(Robustness, CardFaultsThatFailTheOpen) {
  const std::map<std::string, std::string> faults{
      {"no-device", "no-device"},
      {"check-fails", "check-fails"},
      {"memory-bar1", "base address register 1"},
      {"no-answer", "chip window"},
      {"no-such-fault", "unknown simulated-card fault 'no-such-fault'"},
      {"stuck-watcher,no-such-fault", "'no-such-fault'"},
  };
  for (const std::string program : kPrograms) {
    copyDesign(program);
    const fs::path output = dir_ / (program + ".out");
    writeFile(output, "earlier results\n");
    for (const auto& [fault, cause] : faults) {
      SCOPED_TRACE(program + " with TV940_SIM_FAULTS=" + fault);
      const Outcome outcome = run(program, {}, {{"TV940_SIM_FAULTS", fault}});
      ASSERT_TRUE(outcome.exited) << outcome;
      EXPECT_EQ(outcome.status, 1) << outcome;
      EXPECT_EQ(outcome.out, "") << outcome;
      EXPECT_EQ(lineCount(outcome.err), 1u) << outcome;
      EXPECT_TRUE(outcome.err.ends_with("\n")) << outcome;
      EXPECT_EQ(
          outcome.err.rfind(program + ": cannot open the board: simulated "
                                      "card (TV940_DEVICE=sim): ",
                            0),
          0u)
          << outcome;
      EXPECT_NE(outcome.err.find(cause), std::string::npos) << outcome;
      EXPECT_EQ(readFile(output), "earlier results\n");
    }
  }
}

// A trace (TV940_TRACE) that cannot be written whole fails the run with one
// line naming the trace file and the reason; a file that is not a trace is
// never overwritten; a card without room for its window fails the open.
TEST_F(Robustness, TracesThatCannotBeWrittenAndMissingWindows) {
  for (const std::string program : kPrograms) {
    SCOPED_TRACE(program);
    copyDesign(program);
    const Outcome full = run(program, {}, {{"TV940_TRACE", "/dev/full"}});
    ASSERT_TRUE(full.exited) << full;
    EXPECT_EQ(full.status, 1) << full;
    EXPECT_EQ(full.err, program +
                            ": cannot write the trace file /dev/full: No "
                            "space left on device\n")
        << full;
    EXPECT_EQ(readFile(dir_ / (program + ".out")), modelOutput(program));

    // A whole trace; then a file-size limit between the output file's size
    // and the trace's cuts the trace part-way, as a full disk would.
    EXPECT_EQ(run(program, {}, {{"TV940_TRACE", "trace.txt"}}).status, 0);
    const auto outputSize = fs::file_size(dir_ / (program + ".out"));
    const auto traceSize = fs::file_size(dir_ / "trace.txt");
    ASSERT_LT(outputSize, traceSize);
    const std::string blocks = std::to_string((outputSize + traceSize) / 1024);
    const Outcome cut =
        runLimited(program, "ulimit -f " + blocks + " && trap '' XFSZ",
                   {{"TV940_TRACE", "trace.txt"}});
    ASSERT_TRUE(cut.exited) << cut;
    EXPECT_EQ(cut.status, 1) << cut;
    EXPECT_EQ(cut.err, program +
                           ": cannot write the trace file trace.txt: File too "
                           "large\n")
        << cut;
    EXPECT_GT(fs::file_size(dir_ / "trace.txt"), 0u);
    EXPECT_LT(fs::file_size(dir_ / "trace.txt"), traceSize);

    // A trace replaces an earlier trace (above), but never a design, not
    // even one the program does not load.
    const std::string design = readFile(dir_ / (program + ".bfx"));
    writeFile(dir_ / "other.bfx", design);
    fs::remove(dir_ / (program + ".out"));
    const Outcome kept = run(program, {}, {{"TV940_TRACE", "other.bfx"}});
    ASSERT_TRUE(kept.exited) << kept;
    EXPECT_EQ(kept.status, 1) << kept;
    EXPECT_EQ(lineCount(kept.err), 1u) << kept;
    EXPECT_NE(kept.err.find("will not write the trace over other.bfx"),
              std::string::npos)
        << kept;
    EXPECT_EQ(readFile(dir_ / "other.bfx"), design);
    EXPECT_FALSE(fs::exists(dir_ / (program + ".out")));

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Too little address space for the simulated card's window.
    const Outcome small = runLimited(program, "ulimit -v 12000");
    ASSERT_TRUE(small.exited) << small;
    EXPECT_EQ(small.status, 1) << small;
    EXPECT_NE(small.err.find("chip window"), std::string::npos) << small;
    EXPECT_FALSE(fs::exists(dir_ / (program + ".out")));
#endif
  }
}

// A trace never goes where it would spoil something: the program's output
// file (there or not yet), its design, the file standard output or error
// writes to, or another program's trace; a FIFO without a reader fails the
// open at once. Each is one line naming the file, exit status 1, and nothing
// written.
TEST_F(Robustness, TracesThatWouldSpoilAnotherFile) {
  copyDesign("kelpori");
  const std::string design = readFile(dir_ / "kelpori.bfx");
  auto refused = [&](const Outcome& o, const std::string& why) {
    ASSERT_TRUE(o.exited) << o;
    EXPECT_EQ(o.status, 1) << o;
    EXPECT_EQ(lineCount(o.err), 1u) << o;
    EXPECT_NE(o.err.find(why), std::string::npos) << o;
    EXPECT_FALSE(fs::exists(dir_ / "kelpori.out"));
    EXPECT_EQ(readFile(dir_ / "kelpori.bfx"), design);
  };
  const std::pair<std::string, std::string> kept[] = {
      {"kelpori.out", "the program's output file"},
      {(dir_ / "kelpori.out").string(), "the program's output file"},
      {"./kelpori.bfx", "the program's design"}};
  for (const auto& [trace, what] : kept) {
    SCOPED_TRACE(trace);
    refused(run("kelpori", {}, {{"TV940_TRACE", trace}}),
            "TV940_TRACE names " + trace + ", " + what);
  }

  const fs::path log = root_ / "run.log";
  const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(output, 0);
  refused(
      run("kelpori", {}, {{"TV940_TRACE", "/dev/stdout"}}, {.output = output}),
      "the file that standard output writes to");
  ::close(output);
  EXPECT_EQ(fs::file_size(log), 0u);
  refused(run("kelpori", {}, {{"TV940_TRACE", "/dev/stderr"}}),
          "the file that standard error writes to");

  // Another program writing its trace holds this lock on the file.
  const std::string other = "# trace: device sim (simulated card)\nreq 0\n";
  writeFile(dir_ / "t.trace", other);
  const int held = ::open((dir_ / "t.trace").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  refused(run("kelpori", {}, {{"TV940_TRACE", "t.trace"}}),
          "the trace file t.trace is in use by another program");
  ::close(held);
  EXPECT_EQ(readFile(dir_ / "t.trace"), other);

  ASSERT_EQ(::mkfifo((dir_ / "t.fifo").c_str(), 0600), 0);
  refused(run("kelpori", {}, {{"TV940_TRACE", "t.fifo"}}),
          "cannot write the trace to the FIFO t.fifo: no reader");

  // Symbolic links are followed, dangling ones too, either way and from
  // another directory.
  fs::create_symlink("kelpori.out", dir_ / "l.trace");
  refused(run("kelpori", {}, {{"TV940_TRACE", "l.trace"}}),
          "TV940_TRACE names l.trace, the program's output file");
  EXPECT_FALSE(fs::exists(dir_ / "kelpori.out"));
  fs::create_directory(dir_ / "sub");
  fs::create_symlink("../kelpori.out", dir_ / "sub" / "x.trace");
  refused(run("kelpori", {}, {{"TV940_TRACE", "sub/x.trace"}}),
          "TV940_TRACE names sub/x.trace, the program's output file");
  fs::create_symlink("r.trace", dir_ / "kelpori.out");
  refused(run("kelpori", {}, {{"TV940_TRACE", "r.trace"}}),
          "TV940_TRACE names r.trace, the program's output file");
  EXPECT_FALSE(fs::exists(dir_ / "r.trace"));
  fs::remove(dir_ / "kelpori.out");

  // A terminal device without a controlling terminal is said to be one.
  if (::access("/usr/bin/setsid", X_OK) == 0) {
    refused(runLimited("kelpori", "exec /usr/bin/setsid \"$0\"",
                       {{"TV940_TRACE", "/dev/tty"}}),
            "cannot write the trace to the device /dev/tty: ");
  }

  // Values from outside are shown on one line, cut to a bounded length.
  const Outcome escaped = run(
      "kelpori", {}, {{"TV940_TRACE", "a\x1b[1m\n" + std::string(500, 'b')}});
  refused(escaped, "cannot write the trace file a\\x1b[1m\\nbbb");
  EXPECT_LT(escaped.err.size(), 400u) << escaped;
  // (The runner's environment selects the simulated card first.)
  const Outcome device =
      runLimited("kelpori", "export TV940_DEVICE=\"$DEVICE\"",
                 {{"DEVICE", "\x1b[2J\r" + std::string(300, 'x')}});
  refused(device, "TV940_DEVICE=\\x1b[2J\\rxxx");
  EXPECT_LT(device.err.size(), 700u) << device;
}

// Faults the programs never meet (no interrupt arrives, the identification
// is never probed): the run is complete and its file is the model's.
TEST_F(Robustness, CardFaultsThatLeaveTheRunWhole) {
  for (const std::string program : kPrograms) {
    copyDesign(program);
    const std::string model = modelOutput(program);
    for (const std::string fault : {"stuck-watcher", "no-echo", "", " , "}) {
      SCOPED_TRACE(program + " with TV940_SIM_FAULTS='" + fault + "'");
      fs::remove(dir_ / (program + ".out"));
      const Outcome outcome = run(program, {}, {{"TV940_SIM_FAULTS", fault}});
      ASSERT_TRUE(outcome.exited) << outcome;
      EXPECT_EQ(outcome.status, 0) << outcome;
      EXPECT_EQ(outcome.err, "") << outcome;
      EXPECT_EQ(lineCount(outcome.out), 7u) << outcome;
      EXPECT_TRUE(readFile(dir_ / (program + ".out")) == model)
          << "board run differs from the software model";
    }
  }
}

}  // namespace
