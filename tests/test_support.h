// Portable stand-ins for the few POSIX calls the suites make, for building
// them for Windows. On Windows the build includes this header ahead of every
// suite (tests/windows.cmake); elsewhere it adds nothing.
#pragma once

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdlib>

#include "platform/win32/win32.h"

// The C runtime's environment is the one std::getenv reads. An empty value
// removes the variable, which the suites treat as unset anyway.
inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
  return _putenv_s(name, "") == 0 ? 0 : -1;
}

namespace tv940test {

// The threads that matter to the suites' checks that no thread is left
// behind: the main thread and the seam's threads still running. (GoogleTest
// keeps threads of its own on Windows, one watcher for each thread that made
// an assertion, so the process's full thread list would not do.)
inline std::size_t threadCount() {
  return 1 + platform::win32::runningThreads();
}

}  // namespace tv940test

#endif  // _WIN32
