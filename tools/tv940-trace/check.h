// tv940-trace check: a trace replayed into the device model, every read in
// it held against the model's answer.
#pragma once

#include <ostream>
#include <string>

namespace trace {

// Exit status of check: every read agrees, some differ, the trace cannot be
// read (or the output written), the model cannot judge the trace.
inline constexpr int kCheckAgrees = 0;
inline constexpr int kCheckDiffers = 1;
inline constexpr int kCheckUnreadable = 2;
inline constexpr int kCheckCannotJudge = 3;

struct CheckOptions {
  bool all = false;      // every differing read, not the first ten
  bool partial = false;  // a trace not whole, or without a read, judged too
};

// Checks the trace at `path`, the findings to `out`, why the trace cannot be
// read to `err`. Exit status 3 too for a trace that is not whole or holds no
// read (unless options.partial), and for one in which the card failed
// accesses.
int check(const std::string& path, const CheckOptions& options,
          std::ostream& out, std::ostream& err);

}  // namespace trace
