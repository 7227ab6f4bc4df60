// The table of backends. Rows are asked in order; a row that takes every
// value comes last.
#include "platform/backends/backends.h"

#include <iterator>

namespace platform::backends {
namespace {

bool takesUnset(std::string_view selector) { return selector.empty(); }
bool takesSim(std::string_view selector) { return selector == "sim"; }
bool takesAny(std::string_view) { return true; }

constexpr Backend kBackends[] = {
    {"simulated card", takesSim, openSimulatedCard},
#if defined(_WIN32)
    {"windows driver", takesUnset, openNativeDriver},
#else
    {"no platform driver", takesUnset, refuseWithoutDriver},
#endif
#if defined(__linux__)
    {"linux", takesAny, openLinux},
#else
    {"unknown device", takesAny, refuseUnknownDevice},
#endif
};
static_assert(kBackends[std::size(kBackends) - 1].takes == takesAny,
              "the last row takes every value");

}  // namespace

std::span<const Backend> table() { return kBackends; }

const Backend& backendFor(std::string_view selector) {
  for (const Backend& row : kBackends) {
    if (row.takes(selector)) return row;
  }
  return std::end(kBackends)[-1];
}

}  // namespace platform::backends
