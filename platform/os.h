// Inside the seam: the event primitive each operating system provides.
// handles.cpp owns the handles; an OS backend (posix/, win32/) supplies the
// objects behind event handles and nothing about handles themselves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/platform.h"

namespace platform::os {

// An auto-reset event, created not signalled.
class Event;

// A new event, or null when the OS refuses one.
std::shared_ptr<Event> newEvent();

// Signals the event; a retired event refuses.
bool signal(Event& event);

// Waits at most timeoutMs for the event and resets it: First, TimedOut, or
// Failed once the event is retired (also when it is retired during the wait).
WaitResult wait(Event& event, std::uint32_t timeoutMs);

// Waits without time-out for either event and resets the one reported; First
// wins when both are signalled. Failed once either is retired.
WaitResult waitAny(Event& first, Event& second);

// The event's handle has been closed: every wait on it, current or later,
// fails, and it can no longer be signalled.
void retire(Event& event);

// The event behind an event handle, or null for a closed or stale handle: for
// an OS backend that hands the OS's own event to the platform's driver.
std::shared_ptr<Event> eventOf(Handle handle);

// A mutual-exclusion lock of the OS itself, so that code which runs on
// Windows needs no threads runtime of the C++ library. Not recursive.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock();
  void unlock();

 private:
  // The OS's lock object lives here; each backend checks that it fits.
  alignas(16) unsigned char storage_[64];
};

// Gives the processor to another thread, as a lock's waiter does after
// `tries` tries; after many, it sleeps a little, so that a waiter never
// starves a holder of lower priority.
void yieldProcessor(unsigned tries);

// A lock for short sections taken very often, such as one simulated card's
// every access: taking it when free is one atomic increment and releasing it
// one store, with no call into the OS. Waiters take it in the order they
// came (a ticket lock), so a thread that takes it in a loop never starves
// another; a waiter yields the processor. Not recursive.
class SpinLock {
 public:
  void lock() {
    const std::uint32_t ticket = next_.fetch_add(1, std::memory_order_relaxed);
    if (serving_.load(std::memory_order_acquire) != ticket) waitFor(ticket);
  }
  void unlock() {
    // Only the holder changes serving_.
    serving_.store(serving_.load(std::memory_order_relaxed) + 1,
                   std::memory_order_release);
  }

 private:
  void waitFor(std::uint32_t ticket) {
    for (unsigned tries = 0; serving_.load(std::memory_order_acquire) != ticket;
         ++tries) {
      yieldProcessor(tries);
    }
  }
  std::atomic<std::uint32_t> next_{0};
  std::atomic<std::uint32_t> serving_{0};
};

// Holds a lock for its scope; unlock() releases it early, lock() takes it
// again.
template <typename L>
class BasicLockGuard {
 public:
  explicit BasicLockGuard(L& held) : lock_(held) { lock(); }
  ~BasicLockGuard() { unlock(); }
  BasicLockGuard(const BasicLockGuard&) = delete;
  BasicLockGuard& operator=(const BasicLockGuard&) = delete;
  void lock() {
    if (!held_) lock_.lock();
    held_ = true;
  }
  void unlock() {
    if (held_) lock_.unlock();
    held_ = false;
  }

 private:
  L& lock_;
  bool held_ = false;
};
using LockGuard = BasicLockGuard<Lock>;
using SpinLockGuard = BasicLockGuard<SpinLock>;

}  // namespace platform::os

namespace platform::os {

// Reserves an inaccessible range of address space: nothing is committed, and
// any direct access to it faults. Null when the OS refuses.
void* reserveAddressSpace(std::size_t size);
// Gives back a range from reserveAddressSpace.
void releaseAddressSpace(void* base, std::size_t size);

}  // namespace platform::os

namespace platform::os {

// Which backend the most recent open selected: the platform's own driver,
// which takes the system's event handles, or another, which signals the
// seam's. The seam tells at every open, from its one reading of
// TV940_DEVICE; until the first open, the platform's driver.
void selectPlatformDriver(bool selected);

}  // namespace platform::os

namespace platform::os {

// Whether a path names an existing plain file (not a directory, device or
// pipe).
bool isPlainFile(const char* path);

}  // namespace platform::os

namespace platform::os {

// A file the trace is written to, opened by openTraceFile.
struct TraceFile {
  enum class Failure {
    None,
    NoReader,  // a FIFO that no program reads
    Device,    // a device that cannot be opened; `error` says why
    InUse,     // another program writes its trace there
    Kept,      // mayReplace refused to overwrite it
    System,    // `error` holds the errno value (0 when none was left)
  };
  std::FILE* file = nullptr;  // written as text; null when the open failed
  Failure failure = Failure::None;
  int error = 0;
};

// Opens `path` to write a trace, without ever waiting: a FIFO without a
// reader fails. A plain file is held exclusively for as long as the process
// writes it, so that a second program's trace open of it fails (InUse); it
// is emptied only once mayReplace() allowed it, and left as it was
// otherwise.
TraceFile openTraceFile(const char* path, bool (*mayReplace)(void* context),
                        void* context);

// Whether two paths name the same file, also where neither exists yet (the
// same name in the same directory). Symbolic links are followed, dangling
// ones too: a link names the file it would create.
bool sameFile(const char* first, const char* second);

// 1 or 2 when `path` is the file, pipe or socket that standard output or
// standard error writes to; 0 otherwise, also for a terminal or a device
// such as /dev/null, where a trace spoils nothing.
int standardStreamOf(const char* path);

}  // namespace platform::os
