// POSIX OS services of the seam: events, threads, the module look-up and the
// millisecond clock.
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/os.h"
#include "platform/platform.h"

namespace platform {
namespace os {

class Event {
 public:
  bool signalled = false;
  bool retired = false;
};

namespace {

// All events share one lock and one condition: a pair wait then needs no
// per-waiter bookkeeping, and there are only a handful of events. Both live
// for the whole process, since detached threads may still wait while the
// process exits.
std::mutex& eventLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::condition_variable& eventChanged() {
  static auto* changed = new std::condition_variable;
  return *changed;
}

}  // namespace

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock),
              "the lock object fits its storage");

Lock::Lock() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
Lock::~Lock() {
  pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_));
}
void Lock::lock() {
  pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_));
}
void Lock::unlock() {
  pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_));
}

void yieldProcessor(unsigned tries) {
  if (tries < 64) {
    sched_yield();
  } else {
    const timespec pause{0, 100000};  // 0.1 ms
    nanosleep(&pause, nullptr);
  }
}

// No system here takes event handles of its own: every backend signals the
// seam's.
void selectPlatformDriver(bool) {}

bool isPlainFile(const char* path) {
  struct stat status;
  return ::stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

std::shared_ptr<Event> newEvent() { return std::make_shared<Event>(); }

bool signal(Event& event) {
  {
    std::lock_guard<std::mutex> guard(eventLock());
    if (event.retired) return false;
    event.signalled = true;
  }
  eventChanged().notify_all();
  return true;
}

WaitResult wait(Event& event, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(eventLock());
  const bool ready =
      eventChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return event.retired || event.signalled; });
  if (event.retired) return WaitResult::Failed;
  if (!ready) return WaitResult::TimedOut;
  event.signalled = false;
  return WaitResult::First;
}

WaitResult waitAny(Event& first, Event& second) {
  std::unique_lock<std::mutex> lock(eventLock());
  eventChanged().wait(lock, [&] {
    return first.retired || second.retired || first.signalled ||
           second.signalled;
  });
  if (first.retired || second.retired) return WaitResult::Failed;
  if (first.signalled) {
    first.signalled = false;
    return WaitResult::First;
  }
  second.signalled = false;
  return WaitResult::Second;
}

void retire(Event& event) {
  {
    std::lock_guard<std::mutex> guard(eventLock());
    event.retired = true;
    event.signalled = false;
  }
  eventChanged().notify_all();
}

}  // namespace os

namespace {

// Stand-in for the event-handle converter: the simulated card and the POSIX
// backends signal seam handles directly.
Handle PLATFORM_STDCALL identityConverter(Handle event) { return event; }

bool sameName(const char* a, const char* b) {
  return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

// The clock's zero: taken when the program is loaded, or at the first reading
// if another module's start-up reads the clock earlier.
std::chrono::steady_clock::time_point programStart() {
  static const auto start = std::chrono::steady_clock::now();
  return start;
}
const auto forceStartAtLoad = programStart();

}  // namespace

bool startThread(ThreadRoutine routine, void* argument,
                 std::uint32_t* threadId) {
  if (routine == nullptr) return false;
  static std::atomic<std::uint32_t> lastId{0};
  try {
    std::thread thread([routine, argument] { routine(argument); });
    thread.detach();
  } catch (const std::system_error&) {
    return false;
  }
  if (threadId != nullptr) *threadId = ++lastId;
  return true;
}

void* findModuleFunction(const char* module, const char* function) {
  // Module names are matched without regard to case, with or without the
  // library suffix, as the platform that has these modules does.
  if ((sameName(module, "KERNEL32") || sameName(module, "KERNEL32.DLL")) &&
      function != nullptr && std::strcmp(function, "OpenVxDHandle") == 0) {
    return reinterpret_cast<void*>(&identityConverter);
  }
  return nullptr;
}

std::int32_t millisecondClock() {
  const auto elapsed = std::chrono::steady_clock::now() - programStart();
  return static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace platform
