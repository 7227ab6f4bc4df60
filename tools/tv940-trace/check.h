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

// Checks the trace at `path`, the findings to `out`, why the trace cannot be
// read to `err`. `all`: every differing read, not the first ten.
int check(const std::string& path, bool all, std::ostream& out,
          std::ostream& err);

}  // namespace trace
