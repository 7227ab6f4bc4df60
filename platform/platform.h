// The platform seam: everything boardlib needs of the operating system, the
// driver connection, the control ports and the chip window.
//
// boardlib reaches the OS and the card through this header only; of the rest
// of platform/ it uses just the card's map (card_map.h) and the byte and hex
// helpers (bytes.h, hex.h). Each backend
// (the simulated card, the platform's own driver, Linux PCI access) sits
// behind the same functions; which one serves a connection is decided when
// the device is opened (see openDevice).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_STDCALL __stdcall
#else
#define PLATFORM_STDCALL
#endif

namespace platform {

// An opaque, pointer-sized handle: an event or a driver connection. Null
// means "none". A closed or stale handle makes every operation on it fail;
// it never reaches another object.
using Handle = void*;

// Routine run by startThread; its result is the thread's exit code.
using ThreadRoutine = std::uint32_t(PLATFORM_STDCALL*)(void* argument);

// The event-handle converter: turns an event handle into the form the driver
// can signal.
using HandleConverter = Handle(PLATFORM_STDCALL*)(Handle event);

// ---- Events (auto-reset, created not signalled) ---------------------------

enum class WaitResult {
  First,     // the (first) event was signalled
  Second,    // the second event of a pair was signalled
  TimedOut,  // waitEvent only
  Failed,    // a closed or stale handle, or an OS failure
};

Handle createEvent();
bool setEvent(Handle event);
// Waits for one event for at most timeoutMs milliseconds.
WaitResult waitEvent(Handle event, std::uint32_t timeoutMs);
// Waits without time-out until either event of the pair is signalled and
// resets the one it reports. When both are signalled, First wins.
WaitResult waitAnyOfTwo(const Handle pair[2]);

// Closes an event or a driver connection. False for a closed or stale handle.
bool closeHandle(Handle handle);

// ---- Threads, module look-up, clock ---------------------------------------

// Starts a thread at once on routine(argument); the thread is detached.
// threadId, when not null, receives the thread's identifier.
bool startThread(ThreadRoutine routine, void* argument,
                 std::uint32_t* threadId);

// Looks up a named function in an already loaded module. On platforms
// without the module, well-known names map to stand-ins (the event-handle
// converter "OpenVxDHandle" in "KERNEL32" becomes the identity).
void* findModuleFunction(const char* module, const char* function);

// Milliseconds since the start of the program (1000 ticks a second).
std::int32_t millisecondClock();

// ---- Driver connection ----------------------------------------------------

// Opens the driver connection. The backend is chosen by the environment
// variable TV940_DEVICE: "sim" selects the simulated card; unset or empty
// selects the platform's own driver at `path`; anything else is either a
// backend-specific selector or a failed open, never a silent fallback.
// TV940_SIM_FAULTS set for another backend than the simulated card fails the
// open, and so does a trace (TV940_TRACE) that cannot be written.
// Returns null on failure; lastOpenFailure() then says why.
Handle openDevice(const char* path);
// The same with the device chosen by the caller: `selector` takes the place
// of TV940_DEVICE's value (the same selectors; "" the platform's own driver),
// and the failure line names the device as given. Null: as openDevice.
Handle openDeviceAs(const char* path, const char* selector);

// One synchronous driver request, with the buffer conventions of the
// platform's device I/O control call (a buffer pointer may carry a plain
// number). Thread-safe. False if the request failed or the handle is stale.
// A failed check request (0), and a map request (6) that gives no window,
// say why in lastOpenFailure(). A window handed out by request 6 reaches its
// own device only, and nothing once that device is gone.
bool deviceRequest(Handle device, std::uint32_t code, void* inBuffer,
                   std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                   std::uint32_t* bytesReturned);

// Why the calling thread's most recent open failed: the device as the user
// selected it and the reason, as one line without line end; "" after a
// successful openDevice until a check or map request fails or
// setOpenFailure is called. The text is the thread's own: valid until its
// next openDevice, and never changed by another thread's.
const char* lastOpenFailure();

// Records why an open failed at a step after the seam's own (the block the
// driver returned, for instance), naming the device of that connection.
void setOpenFailure(Handle device, const char* reason);

// ---- Trace ----------------------------------------------------------------

// Ends the trace that TV940_TRACE names with its end line ("# trace end: N
// events") and writes out the rest; the end of the process does so too.
// Accesses traced after it get an end line of their own at the next call.
// "" when the whole trace has reached its file, or none is written;
// otherwise one line naming the trace file and the reason it is not
// complete. The text is the calling thread's own, valid until its next call.
const char* finishTrace();

// Names a file that the trace must never be, such as the program's design or
// output file, and what it is ("the program's output file"). An open that
// would start the trace (TV940_TRACE) on that file, whether it exists yet or
// not, fails naming both.
void keepTraceOff(const char* path, const char* what);

// Whether the trace (TV940_TRACE) is open and `path` names its file, links
// followed: a file the program must not write over.
bool isTraceFile(const char* path);

// ---- Files ----------------------------------------------------------------

// Opens an existing plain file for reading, in binary mode, without waiting
// for anything: a FIFO (which would wait for a writer), a device or a
// directory is refused rather than read. Null on failure, with *reason set to
// one line saying why (the system's reason, or what the path is instead of a
// plain file).
std::FILE* openPlainFile(const char* path, std::string* reason);

// ---- Control ports --------------------------------------------------------

// One 32-bit port output or input at a 16-bit port address, on the card of
// the driver connection `device`. A closed or stale connection reaches
// nothing: an output is dropped, an input gives 0xFFFFFFFF.
void portOut32(Handle device, std::uint16_t port, std::uint32_t value);
std::uint32_t portIn32(Handle device, std::uint16_t port);

// What the card failed of the accesses on the connection `device`: "" while
// every port access, and every access the device made on its own (an
// interrupt unmask or wait), reached the card; otherwise one line counting
// them and naming the first with its reason ("the card failed 3 port
// accesses: out e014 00000001: <reason>"). "" for a closed or stale handle.
std::string cardFailures(Handle device);

// ---- Chip window ----------------------------------------------------------
// The one accessor for the mapped chip window: every word is exactly one
// 32-bit access, in program order, never merged, split or cached. Each
// access carries the driver connection that mapped `window`; a word that is
// not wholly inside the window that connection holds now (the connection
// closed or stale, the window not its own, beyond the window's end, not on a
// word boundary) reaches nothing: a write is dropped, a read gives
// 0xFFFFFFFF, as an unanswered bus cycle. So a window pointer kept past its
// connection's close never reaches a later card handed the same range.

std::uint32_t windowRead32(Handle connection, const std::uint8_t* window,
                           std::uint32_t offset);
void windowWrite32(Handle connection, std::uint8_t* window,
                   std::uint32_t offset, std::uint32_t value);
// Copies count words, lowest address first, one 32-bit store each.
void windowWriteBlock32(Handle connection, std::uint8_t* window,
                        std::uint32_t offset, const std::uint32_t* source,
                        std::uint32_t count);

}  // namespace platform
