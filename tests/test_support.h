// Portable stand-ins for the few POSIX calls the suites make, for building
// them for Windows, and the suites' own threads. On Windows the build
// includes this header ahead of every suite (tests/windows.cmake).
#pragma once

#ifndef _WIN32

#include <thread>

namespace tv940test {

// A thread of a suite's own (one that raises interrupts, signals or waits).
using Thread = std::thread;

}  // namespace tv940test

#else  // _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <exception>
#include <functional>
#include <utility>

#include "platform/os/win32/win32.h"

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

// A thread of a suite's own, the part of std::thread the suites use: the
// Windows builds use the compiler's threads model without a POSIX threads
// runtime, whose standard library has no std::thread. Not a seam thread, so
// threadCount() does not count it.
class Thread {
 public:
  template <typename Routine>
  explicit Thread(Routine&& routine)
      : routine_(std::forward<Routine>(routine)) {
    handle_ = CreateThread(nullptr, 0, entry, this, 0, nullptr);
    if (handle_ == nullptr) std::terminate();
  }
  ~Thread() {
    if (joinable()) std::terminate();  // as std::thread does
  }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool joinable() const { return handle_ != nullptr; }
  void join() {
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static DWORD WINAPI entry(LPVOID self) {
    static_cast<Thread*>(self)->routine_();
    return 0;
  }

  std::function<void()> routine_;
  HANDLE handle_ = nullptr;
};

}  // namespace tv940test

#endif  // _WIN32
