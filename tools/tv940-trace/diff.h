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
inline constexpr int kDiffNotWhole = 3;

struct DiffOptions {
  bool sentOnly = false;  // only requests, port outputs and writes
  bool all = false;       // every differing event, not the first ten
  bool partial = false;   // traces not whole compared as far as they go
};

// Compares the traces at `a` and `b` in order, comments aside, each trace's
// ports relative to its own I/O base; the differences with their context
// and a count by kind to `out`, why a trace cannot be read to `err`. The
// accesses the card failed count as differences where A and B differ in
// them; a trace that is not whole is warned of and, unless
// options.partial, makes the exit status kDiffNotWhole.
int diff(const std::string& a, const std::string& b, const DiffOptions& options,
         std::ostream& out, std::ostream& err);

}  // namespace trace
