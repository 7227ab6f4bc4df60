// GoogleTest's one use of std::mutex and std::condition_variable, which the
// Windows compilers' standard library (win32 threads model) does not have:
// the start signal of its thread helper. This one is a manual-reset event of
// the system's; GoogleTest takes it in place of its own
// (GTEST_HAS_NOTIFICATION_). The Windows test builds include this header
// ahead of GoogleTest and every suite (tests/e2e/windows-googletest.cmake).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() {
    if (event_ != nullptr) CloseHandle(event_);
  }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
