// A value that came from outside (an environment variable, a file name) as a
// message shows it: one line, of a bounded length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace card {

// The most characters of a value that a message shows.
inline constexpr std::size_t kShownLength = 200;

// `value` with its control characters spelled out (\n, \r, \t, \xNN), so
// that a message stays one line, cut after kShownLength characters with
// "..." and its full length.
std::string shownValue(std::string_view value);

}  // namespace card
