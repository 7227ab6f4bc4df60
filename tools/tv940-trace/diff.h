// tv940-trace diff: two traces of any backends compared event by event.
#pragma once

#include <ostream>
#include <string>

namespace trace {

// Exit status of diff: equal, different, a trace cannot be read (or the
// output written).
inline constexpr int kDiffEqual = 0;
inline constexpr int kDiffDifferent = 1;
inline constexpr int kDiffUnreadable = 2;

struct DiffOptions {
  bool sentOnly = false;  // only requests, port outputs and writes
  bool all = false;       // every differing event, not the first ten
};

// Compares the traces at `a` and `b` in order, comments aside, each trace's
// ports relative to its own I/O base; the differences with their context
// and a count by kind to `out`, why a trace cannot be read to `err`.
int diff(const std::string& a, const std::string& b, const DiffOptions& options,
         std::ostream& out, std::ostream& err);

}  // namespace trace
