// What a traced run did, as report lines that each begin with a keyword
// ("clock:", "design:", "bus width:", "control:", "loop:", "warning:").
#pragma once

#include <string>
#include <vector>

#include "tools/tv940-trace/trace_file.h"

namespace trace {

// Findings in report order; the warnings come last.
struct Findings {
  std::vector<std::string> lines;
  std::vector<std::string> warnings;

  void add(const std::string& keyword, const std::string& text) {
    lines.push_back(keyword + ": " + text);
  }
  void warn(const std::string& text) { warnings.push_back("warning: " + text); }
};

// The findings of the second pass through the file; false when the file
// changed since its first (file.error() says how).
bool report(TraceFile& file, Findings* findings);

// printf into a std::string (the C99 conversions, %zu included, everywhere).
#if defined(__GNUC__) && !defined(__clang__)
#define TV940_TRACE_PRINTF __attribute__((format(gnu_printf, 1, 2)))
#else
#define TV940_TRACE_PRINTF __attribute__((format(printf, 1, 2)))
#endif
std::string format(const char* pattern, ...) TV940_TRACE_PRINTF;

}  // namespace trace
