// tv940-trace: explains a run's trace (TV940_TRACE), from any backend.
//
//   tv940-trace report TRACE   what the run did, one finding a line; exit
//                              status 0 without a warning, 1 with one
//   tv940-trace vcd TRACE      a Value Change Dump on standard output; a
//                              trace that is not whole is named on
//                              standard error
//   tv940-trace check [--all] [--designs PLUGINS] TRACE
//                              every read held against the device model's
//                              answer; exit status 1 when some differ, 3
//                              when the model cannot judge the trace (or a
//                              design plug-in cannot be loaded); the
//                              plug-ins default to TV940_SIM_DESIGNS
//   tv940-trace diff [--sent-only] [--all] A B
//                              two traces compared event by event; exit
//                              status 1 when they differ
//   tv940-trace --version      the version
//
// Exit status 2: the trace cannot be read, the output cannot be written, or
// the command line is wrong.
#include <cstring>
#include <iostream>
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
    "       tv940-trace check [--all] [--designs PLUGINS] TRACE\n"
    "                                  every read against the device model; "
    "exit status 1\n"
    "                                  when one differs, 3 when the model "
    "cannot judge\n"
    "       tv940-trace diff [--sent-only] [--all] A B\n"
    "                                  two traces event by event; exit status "
    "1 when they\n"
    "                                  differ\n"
    "       tv940-trace --version      the version\n";

// check and diff: their options, then their traces; -1 for a wrong
// command line.
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
    } else if (word == "--sent-only" && command == "diff") {
      options.sentOnly = true;
    } else if (word.size() > 1 && word[0] == '-') {
      return -1;
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
    return trace::check(traces[0], options.all, std::cout, std::cerr);
  }
  if (command == "diff" && traces.size() == 2) {
    return trace::diff(traces[0], traces[1], options, std::cout, std::cerr);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "--help") == 0)) {
    std::cout << kUsage;
    return kClean;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "tv940-trace " << tv940::kVersion << std::endl;
    return std::cout ? kClean : kTrouble;
  }
  if (argc >= 2 && (std::strcmp(argv[1], "check") == 0 ||
                    std::strcmp(argv[1], "diff") == 0)) {
    const int status = compare(argv[1], argc, argv);
    if (status >= 0) return status;
  }
  const std::string command = argc == 3 ? argv[1] : "";
  if (command != "report" && command != "vcd") {
    std::cerr << kUsage;
    return kTrouble;
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
