// Portable stand-ins for the few POSIX calls the suites make, for building
// them for Windows. On Windows the build includes this header ahead of every
// suite (tests/windows.cmake); elsewhere it adds nothing.
#pragma once

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstddef>
#include <cstdlib>

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

// The number of threads of this process, as /proc/self/task lists them on
// Linux.
inline std::size_t threadCount() {
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  std::size_t count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace tv940test

#endif  // _WIN32
