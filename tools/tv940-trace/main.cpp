// tv940-trace: explains a run's trace (TV940_TRACE), from any backend.
//
//   tv940-trace report TRACE   what the run did, one finding a line; exit
//                              status 0 without a warning, 1 with one
//   tv940-trace vcd TRACE      a Value Change Dump on standard output; a
//                              trace that is not whole is named on
//                              standard error
//   tv940-trace check [--all] [--partial] [--designs PLUGINS] TRACE
//                              every read held against the device model's
//                              answer; exit status 1 when some differ, 3
//                              when the model cannot judge the trace, the
//                              card failed accesses, the trace is not
//                              whole or holds no read (unless --partial),
//                              or a design plug-in cannot be loaded; the
//                              plug-ins default to TV940_SIM_DESIGNS
//   tv940-trace diff [--sent-only] [--all] [--partial] A B
//                              two traces compared event by event; exit
//                              status 1 when they differ, 3 when one is not
//                              whole (unless --partial)
//   tv940-trace --version      the version
//   tv940-trace -h, --help     the usage
//
// Exit status 2: the trace cannot be read, the output (the usage and the
// version included) cannot be written, memory is refused, or the command
// line is wrong (named before the usage).
#include <cstring>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "sim/plugins.h"
#include "tools/tv940-trace/check.h"
#include "tools/tv940-trace/diff.h"
#include "tools/tv940-trace/report.h"
#include "tools/tv940-trace/trace_file.h"
#include "tools/tv940-trace/vcd.h"
#include "tv940/version.h"

namespace {

constexpr int kClean = 0;
constexpr int kWarnings = 1;
constexpr int kTrouble = 2;
constexpr int kCannotJudge = 3;

const char* const kUsage =
    "usage: tv940-trace report TRACE   what the traced run did; exit status 1 "
    "when it warns\n"
    "       tv940-trace vcd TRACE      the trace as a Value Change Dump on "
    "standard output\n"
    "       tv940-trace check [--all] [--partial] [--designs PLUGINS] TRACE\n"
    "                                  every read against the device model; "
    "exit status 1\n"
    "                                  when one differs, 3 when it cannot be "
    "judged\n"
    "       tv940-trace diff [--sent-only] [--all] [--partial] A B\n"
    "                                  two traces event by event; exit status "
    "1 when they\n"
    "                                  differ, 3 when one is not whole\n"
    "       tv940-trace -h, --help     this text\n"
    "       tv940-trace --version      the version\n";

// Writes `text` to standard output: kClean, or kTrouble with a message when
// it cannot be written.
int print(const std::string& text, const char* what) {
  std::cout << text;
  std::cout.flush();
  if (std::cout) return kClean;
  std::cerr << "tv940-trace: cannot write " << what << " to standard output\n";
  return kTrouble;
}

// A wrong command line: what is wrong, then the usage.
int wrongUse(const std::string& what) {
  std::cerr << "tv940-trace: " << what << "\n" << kUsage;
  return kTrouble;
}

// check and diff: their options, then their traces.
int compare(const std::string& command, int argc, char** argv) {
  trace::DiffOptions options;
  std::vector<std::string> traces;
  std::optional<std::string> designs;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--designs" && command == "check" && i + 1 < argc) {
      designs = argv[++i];
    } else if (word == "--all") {
      options.all = true;
    } else if (word == "--partial") {
      options.partial = true;
    } else if (word == "--sent-only" && command == "diff") {
      options.sentOnly = true;
    } else if (word.size() > 1 && word[0] == '-') {
      return wrongUse(command + ": unknown option '" + word + "'");
    } else {
      traces.push_back(word);
    }
  }
  if (command == "check" && traces.size() == 1) {
    // The plug-ins' designs join the model before it sees the trace.
    std::string failure;
    const bool loaded = designs
                            ? sim::loadDesignPlugins(*designs, &failure)
                            : sim::loadDesignPluginsFromEnvironment(&failure);
    if (!loaded) {
      std::cerr << "tv940-trace: " << failure << '\n';
      return kCannotJudge;
    }
    return trace::check(traces[0], {options.all, options.partial}, std::cout,
                        std::cerr);
  }
  if (command == "diff" && traces.size() == 2) {
    return trace::diff(traces[0], traces[1], options, std::cout, std::cerr);
  }
  return wrongUse(command + " takes " +
                  (command == "check" ? "one trace" : "two traces") + ", not " +
                  std::to_string(traces.size()));
}

int run(int argc, char** argv) {
  const std::string command = argc >= 2 ? argv[1] : "";
  if (argc == 2 && (command == "-h" || command == "--help"))
    return print(kUsage, "the usage");
  if (argc == 2 && command == "--version")
    return print(std::string("tv940-trace ") + tv940::kVersion + "\n",
                 "the version");
  if (command == "check" || command == "diff")
    return compare(command, argc, argv);
  if (command != "report" && command != "vcd") {
    return wrongUse(argc < 2 ? std::string("no command given")
                             : "unknown command '" + command + "'");
  }
  if (argc != 3) {
    return wrongUse(command + " takes one trace, not " +
                    std::to_string(argc - 2));
  }

  std::string error;
  trace::TraceFile file;
  if (!file.open(argv[2], &error)) {
    std::cerr << "tv940-trace: " << error << '\n';
    return kTrouble;
  }

  if (command == "vcd") {
    if (!trace::writeVcd(file, std::cout)) {
      if (!file.error().empty()) {
        std::cerr << "tv940-trace: " << file.error() << '\n';
      } else {
        std::cerr << "tv940-trace: cannot write the VCD to standard output\n";
      }
      return kTrouble;
    }
    // The waveform shows what there is; a trace that is not whole says so.
    for (const std::string& w : trace::endWarnings(file.survey().ending))
      std::cerr << "tv940-trace: warning: " << w << '\n';
    return kClean;
  }

  // The report knows the designs the simulated card would run.
  if (std::string failure; !sim::loadDesignPluginsFromEnvironment(&failure)) {
    std::cerr << "tv940-trace: " << failure << '\n';
    return kTrouble;
  }
  trace::Findings findings;
  if (!trace::report(file, &findings)) {
    std::cerr << "tv940-trace: " << file.error() << '\n';
    return kTrouble;
  }
  for (const std::string& line : findings.lines) std::cout << line << '\n';
  for (const std::string& line : findings.warnings) std::cout << line << '\n';
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "tv940-trace: cannot write the report to standard output\n";
    return kTrouble;
  }
  return findings.warnings.empty() ? kClean : kWarnings;
}

// The traces a command line names, for a message.
std::string tracesOf(int argc, char** argv) {
  std::string names;
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '-' && argv[i][1] != '\0') continue;
    names += (names.empty() ? "" : " and ") + std::string(argv[i]);
  }
  return names.empty() ? "the command" : names;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    // Whatever a trace holds, the tool's memory is bounded; a system that
    // cannot give it even that ends the command here, not in an abort.
    std::cerr << "tv940-trace: out of memory reading " << tracesOf(argc, argv)
              << ": the system refused an allocation\n";
    return kTrouble;
  }
}
