// Win32 OS services of the seam: events, threads, the module look-up with the
// event-handle converter, the millisecond clock, the system's error texts,
// the processor's port instructions, and the C++ runtime's semaphores on
// Windows 95 and 98.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/os.h"
#include "platform/os/win32/win32.h"
#include "platform/platform.h"

namespace platform {
namespace os {

// An auto-reset event of the OS, plus a manual-reset event that is set once
// when the seam handle is closed. Waits always include the second, so that
// closing a handle wakes every waiter at once; the OS handles themselves are
// closed only when the last user of the object is gone, never under a wait.
class Event {
 public:
  Event(HANDLE event, HANDLE retired) : event_(event), retired_(retired) {}
  ~Event() {
    CloseHandle(event_);
    CloseHandle(retired_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  HANDLE event() const { return event_; }
  HANDLE retired() const { return retired_; }
  bool isRetired() const {
    return WaitForSingleObject(retired_, 0) == WAIT_OBJECT_0;
  }

 private:
  HANDLE event_;
  HANDLE retired_;
};

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock),
              "the lock object fits its storage");

Lock::Lock() {
  InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
Lock::~Lock() {
  DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void Lock::lock() {
  EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void Lock::unlock() {
  LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}

void yieldProcessor(unsigned tries) { Sleep(tries < 64 ? 0 : 1); }

bool isPlainFile(const char* path) {
  // Devices such as NUL or CON have no attributes to give.
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::shared_ptr<Event> newEvent() {
  // Auto-reset, not signalled, with an empty name.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "");
  if (event == nullptr) return nullptr;
  HANDLE retired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (retired == nullptr) {
    CloseHandle(event);
    return nullptr;
  }
  try {
    return std::make_shared<Event>(event, retired);
  } catch (const std::bad_alloc&) {
    CloseHandle(event);
    CloseHandle(retired);
    return nullptr;
  }
}

bool signal(Event& event) {
  if (event.isRetired()) return false;
  return SetEvent(event.event()) != FALSE;
}

WaitResult wait(Event& event, std::uint32_t timeoutMs) {
  // The retirement comes first: a closed handle fails even when signalled,
  // and a wait-any reset only the object it reports.
  const HANDLE handles[2] = {event.retired(), event.event()};
  switch (WaitForMultipleObjects(2, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0 + 1:
      return WaitResult::First;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

WaitResult waitAny(Event& first, Event& second) {
  // Lower index wins: either retirement before either event, and the first
  // event before the second.
  const HANDLE handles[4] = {first.retired(), second.retired(), first.event(),
                             second.event()};
  switch (WaitForMultipleObjects(4, handles, FALSE, INFINITE)) {
    case WAIT_OBJECT_0 + 2:
      return WaitResult::First;
    case WAIT_OBJECT_0 + 3:
      return WaitResult::Second;
    default:
      return WaitResult::Failed;
  }
}

void retire(Event& event) { SetEvent(event.retired()); }

}  // namespace os

// ---- Event-handle converter -----------------------------------------------

namespace win32 {
namespace {
// What the seam told at the latest open.
std::atomic<bool> platformDriverSelected{true};
}  // namespace
}  // namespace win32

void os::selectPlatformDriver(bool selected) {
  win32::platformDriverSelected.store(selected);
}

namespace win32 {

HANDLE nativeEvent(Handle event) {
  std::shared_ptr<os::Event> found = os::eventOf(event);
  return found != nullptr ? found->event() : nullptr;
}

bool nativeDriverSelected() { return platformDriverSelected.load(); }

Handle convertForDriver(Handle event, OpenVxDHandleFunction convert) {
  if (!nativeDriverSelected()) return event;
  // The platform's driver knows only OS handles, never the seam's numbers.
  HANDLE native = nativeEvent(event);
  if (native == nullptr) return nullptr;
  if (convert == nullptr) return reinterpret_cast<Handle>(native);
  return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(convert(native)));
}

// ---- System error texts ---------------------------------------------------

std::string errorText(DWORD error) {
  char text[512];
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, text, sizeof text, nullptr);
  // The system's texts end with a full stop and a line end.
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  std::string line;
  for (DWORD i = 0; i < length; ++i) {
    line += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
  }
  const std::string number = "error " + std::to_string(error);
  return line.empty() ? number : line + " (" + number + ")";
}

// ---- Control ports --------------------------------------------------------
// The processor's port instructions, as the systems with the card's driver
// allow them to programs. Where the system refuses them, the processor's
// exception goes to the program's own handlers or the system's; the library
// neither reports nor handles it.

void portOut32(std::uint16_t port, std::uint32_t value) {
  __asm__ __volatile__("outl %%eax, %%dx" : : "a"(value), "d"(port) : "memory");
}

std::uint32_t portIn32(std::uint16_t port) {
  std::uint32_t value;
  __asm__ __volatile__("inl %%dx, %%eax" : "=a"(value) : "d"(port) : "memory");
  return value;
}

}  // namespace win32

namespace {

// The system's converter as the most recent look-up found it, or null.
std::atomic<win32::OpenVxDHandleFunction> foundOpenVxDHandle{nullptr};

// What the look-up of "OpenVxDHandle" hands out. The seam's event handles
// are its own numbers, so the system's function gets the event's OS handle;
// without the function (every system but the one it belongs to), or with
// another backend than the platform's driver, the seam handle goes through
// unchanged and the backend signals it with setEvent.
Handle PLATFORM_STDCALL eventHandleConverter(Handle event) {
  return win32::convertForDriver(event, foundOpenVxDHandle.load());
}

bool isKernel32(const char* module) {
  return module != nullptr && (lstrcmpiA(module, "KERNEL32") == 0 ||
                               lstrcmpiA(module, "KERNEL32.DLL") == 0);
}

// Threads: the routine and its argument, handed to the OS's entry point.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
};

// Threads started by startThread that have not returned yet.
std::atomic<std::size_t> liveThreads{0};

DWORD WINAPI threadEntry(LPVOID start) {
  const ThreadStart copy = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  const DWORD result = copy.routine(copy.argument);
  --liveThreads;
  return result;
}

// The clock's zero: the program's start, or the first reading if another
// module's start-up reads the clock earlier.
struct ClockStart {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  DWORD ticks = 0;
  bool precise = false;

  ClockStart() {
    precise = QueryPerformanceFrequency(&frequency) != FALSE &&
              frequency.QuadPart > 0 &&
              QueryPerformanceCounter(&counter) != FALSE;
    ticks = GetTickCount();
  }
};

const ClockStart& clockStart() {
  static const ClockStart start;
  return start;
}
const ClockStart& forceStartAtLoad = clockStart();

}  // namespace

std::size_t win32::runningThreads() { return liveThreads.load(); }

bool startThread(ThreadRoutine routine, void* argument,
                 std::uint32_t* threadId) {
  if (routine == nullptr) return false;
  auto* start = new (std::nothrow) ThreadStart{routine, argument};
  if (start == nullptr) return false;
  DWORD id = 0;
  ++liveThreads;
  // Default security and stack, running at once; the handle is not kept.
  HANDLE thread = CreateThread(nullptr, 0, threadEntry, start, 0, &id);
  if (thread == nullptr) {
    --liveThreads;
    delete start;
    return false;
  }
  CloseHandle(thread);
  if (threadId != nullptr) *threadId = id;
  return true;
}

void* findModuleFunction(const char* module, const char* function) {
  if (module == nullptr || function == nullptr) return nullptr;
  HMODULE loaded = GetModuleHandleA(module);
  FARPROC found =
      loaded != nullptr ? GetProcAddress(loaded, function) : nullptr;
  if (isKernel32(module) && std::strcmp(function, "OpenVxDHandle") == 0) {
    // Through the generic function type, the one cast the compiler takes
    // as deliberate.
    foundOpenVxDHandle.store(reinterpret_cast<win32::OpenVxDHandleFunction>(
        reinterpret_cast<void (*)()>(found)));
    return reinterpret_cast<void*>(&eventHandleConverter);
  }
  return reinterpret_cast<void*>(found);
}

std::int32_t millisecondClock() {
  const ClockStart& start = clockStart();
  if (start.precise) {
    LARGE_INTEGER now;
    if (QueryPerformanceCounter(&now) != FALSE) {
      const LONGLONG elapsed = now.QuadPart - start.counter.QuadPart;
      // Whole seconds and the rest apart, so the product cannot overflow.
      const LONGLONG f = start.frequency.QuadPart;
      return static_cast<std::int32_t>((elapsed / f) * 1000 +
                                       (elapsed % f) * 1000 / f);
    }
  }
  return static_cast<std::int32_t>(GetTickCount() - start.ticks);
}

}  // namespace platform

// ---- The C++ runtime's semaphores -----------------------------------------
// The compiler's runtime makes the semaphores behind its own locks (static
// initialisation, exception memory) with CreateSemaphoreW, which Windows 95
// and 98 have only as a stub that fails: a lock without its semaphore fails
// as soon as two threads meet in it. The programs' import of that function
// is served here instead, by the ANSI function every system has. The seam's
// threads make this matter, so it lives with them, which also links it into
// every program that uses the seam.

namespace {

HANDLE WINAPI createSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial,
                               LONG maximum, LPCWSTR name) {
  char narrow[MAX_PATH];
  if (name != nullptr &&
      WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow, nullptr,
                          nullptr) == 0) {
    return nullptr;  // the conversion's error stays the last error
  }
  return CreateSemaphoreA(attributes, initial, maximum,
                          name != nullptr ? narrow : nullptr);
}

}  // namespace

// The import slot the runtime's calls go through (named as the linker names
// the system function's slot).
#ifdef __i386__
#define PLATFORM_IMPORT_SLOT(function, argumentBytes) \
  "__imp__" #function "@" #argumentBytes
#else
#define PLATFORM_IMPORT_SLOT(function, argumentBytes) "__imp_" #function
#endif
extern "C" {
extern const void* const createSemaphoreWSlot __asm__(
    PLATFORM_IMPORT_SLOT(CreateSemaphoreW, 16));
const void* const createSemaphoreWSlot =
    reinterpret_cast<const void*>(&createSemaphoreW);
}
