// The text of a system error number (errno), for failure lines.
#pragma once

#include <string>

namespace card {

// The system's text for an errno value, as in "No such file or directory";
// "unknown error" for 0, which a failed call may leave behind.
std::string systemErrorText(int errnoValue);

}  // namespace card
