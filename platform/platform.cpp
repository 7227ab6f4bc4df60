// The seam's core: the handle table (events and driver connections), the
// choice of backend at open, request routing, the card of the most recent
// open for port accesses, the chip-window accessor and the trace of every
// access.
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/device.h"
#include "platform/os.h"
#include "platform/trace.h"

namespace platform {
namespace {

constexpr std::uint32_t kCheck = 0;
constexpr std::uint32_t kWriteWord = 1;
constexpr std::uint32_t kReadWords = 2;
constexpr std::uint32_t kMapWindow = 6;
constexpr std::uint32_t kFloating = 0xFFFFFFFFu;  // what nobody drives reads as

// Where the accesses to one window go. Routes are never freed: the accessor
// reads the route of the current card's window without the lock, and a
// window pointer handed out once keeps finding its route, which reaches
// nothing once its device is gone.
struct Route {
  const std::uint8_t* base;
  std::uint64_t size;
  std::weak_ptr<Device> owner;
  // The device that serves every access (the simulated card), or null for a
  // window of plain device memory.
  Device* routed;
};

// One driver connection: its device, the device as the user selected it (for
// failure lines), and the route of its window once mapped.
struct Connection {
  std::shared_ptr<Device> device;
  std::string selected;
  const Route* route = nullptr;  // under the state's lock
};

using Entry =
    std::variant<std::shared_ptr<os::Event>, std::shared_ptr<Connection>>;

// Process-wide seam state. It is never destroyed: detached threads (the
// interrupt watcher) may still use the seam while the process exits.
struct State {
  os::Lock lock;
  // Handles are numbers that are never reused, so a stale handle finds
  // nothing instead of a later object.
  std::uintptr_t lastHandle = 0;
  std::unordered_map<std::uintptr_t, Entry> handles;
  // The card that port accesses reach: that of the most recent open.
  std::shared_ptr<Device> current;
  // Every route ever made, and the latest for each window base.
  std::vector<std::unique_ptr<Route>> allRoutes;
  std::map<const std::uint8_t*, const Route*> routes;
  // The device of the most recent open as the user selected it, and the
  // failure line of the most recent failed open.
  std::string selected;
  std::string failure;
};

State& state() {
  static auto* s = new State;
  return *s;
}

// The route of the current card's window, read without the lock on every
// access. Its device stays alive as `current` until the next open, which
// happens on the thread that makes the window accesses.
std::atomic<const Route*> currentRoute{nullptr};

Handle addHandle(Entry entry) {
  State& s = state();
  os::LockGuard guard(s.lock);
  s.lastHandle += 4;  // looks like the platform's handles, never 0
  s.handles.emplace(s.lastHandle, std::move(entry));
  return reinterpret_cast<Handle>(s.lastHandle);
}

std::shared_ptr<os::Event> findEvent(Handle handle) {
  State& s = state();
  os::LockGuard guard(s.lock);
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == s.handles.end()) return nullptr;
  auto* event = std::get_if<std::shared_ptr<os::Event>>(&it->second);
  return event != nullptr ? *event : nullptr;
}

std::shared_ptr<Connection> findConnection(Handle handle) {
  State& s = state();
  os::LockGuard guard(s.lock);
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == s.handles.end()) return nullptr;
  auto* connection = std::get_if<std::shared_ptr<Connection>>(&it->second);
  return connection != nullptr ? *connection : nullptr;
}

// A reason as one line: line breaks become blanks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

void recordFailure(const std::string& selected, const std::string& reason) {
  State& s = state();
  os::LockGuard guard(s.lock);
  s.failure = oneLine(selected + ": " + reason);
}

// Whether a whole word at this offset lies inside a window of `size` bytes.
inline bool insideWindow(std::uint32_t offset, std::uint64_t size) {
  return (offset & 3) == 0 && std::uint64_t(offset) + 4 <= size;
}

// The route of a window pointer and, for a window that is not the current
// card's, its device held for the access. No route: no live device's window.
struct Target {
  const Route* route = nullptr;
  std::shared_ptr<Device> held;
};

Target findTarget(const std::uint8_t* window) {
  Target target;
  if (window == nullptr) return target;
  const Route* current = currentRoute.load(std::memory_order_acquire);
  if (current != nullptr && current->base == window) {
    target.route = current;
    return target;
  }
  State& s = state();
  os::LockGuard guard(s.lock);
  auto it = s.routes.find(window);
  if (it == s.routes.end()) return target;
  target.held = it->second->owner.lock();
  if (target.held != nullptr) target.route = it->second;
  return target;
}

}  // namespace

// ---- Events ---------------------------------------------------------------

std::shared_ptr<os::Event> os::eventOf(Handle handle) {
  return findEvent(handle);
}

Handle createEvent() {
  std::shared_ptr<os::Event> event = os::newEvent();
  if (event == nullptr) return nullptr;
  return addHandle(std::move(event));
}

bool setEvent(Handle event) {
  std::shared_ptr<os::Event> found = findEvent(event);
  return found != nullptr && os::signal(*found);
}

WaitResult waitEvent(Handle event, std::uint32_t timeoutMs) {
  std::shared_ptr<os::Event> found = findEvent(event);
  if (found == nullptr) return WaitResult::Failed;
  return os::wait(*found, timeoutMs);
}

WaitResult waitAnyOfTwo(const Handle pair[2]) {
  if (pair == nullptr) return WaitResult::Failed;
  std::shared_ptr<os::Event> first = findEvent(pair[0]);
  std::shared_ptr<os::Event> second = findEvent(pair[1]);
  if (first == nullptr || second == nullptr || first == second) {
    return WaitResult::Failed;
  }
  return os::waitAny(*first, *second);
}

bool closeHandle(Handle handle) {
  Entry entry;
  {
    State& s = state();
    os::LockGuard guard(s.lock);
    auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.handles.end()) return false;
    entry = std::move(it->second);
    s.handles.erase(it);
  }
  if (auto* event = std::get_if<std::shared_ptr<os::Event>>(&entry)) {
    os::retire(**event);
  } else {
    std::get<std::shared_ptr<Connection>>(entry)->device->onClose();
  }
  // The entry, and with it perhaps the device, goes only now, outside the
  // lock: a device's end may wait for its threads, which use the seam.
  return true;
}

// ---- Driver connection ----------------------------------------------------

Handle openDevice(const char* path) {
  const char* selector = std::getenv("TV940_DEVICE");
  const std::string choice = selector != nullptr ? selector : "";
  const std::string device =
      choice.empty() ? (path != nullptr ? path : "") : choice;
  std::string selected;
  if (choice.empty()) {
    selected = device;
  } else if (choice == "sim") {
    selected = "simulated card (TV940_DEVICE=sim)";
  } else {
    selected = "TV940_DEVICE=" + choice;
  }
  {
    State& s = state();
    os::LockGuard guard(s.lock);
    s.selected = selected;
    s.failure.clear();
  }

  std::string failure;
  std::shared_ptr<Device> opened;
  const char* faults = std::getenv("TV940_SIM_FAULTS");
  if (faults != nullptr && *faults != '\0' && choice != "sim") {
    failure =
        "TV940_SIM_FAULTS is set, but its faults apply to the simulated card "
        "only (TV940_DEVICE=sim)";
  } else if (!trace::start(&failure)) {
    // Nothing opened: the trace file stays as it was.
  } else if (choice.empty()) {
    opened = openNativeDriver(path != nullptr ? path : "", &failure);
  } else if (choice == "sim") {
    opened = openSimulatedCard(&failure);
  } else {
    opened = openSelectedDevice(choice.c_str(), &failure);
  }
  if (opened == nullptr) {
    recordFailure(selected,
                  failure.empty() ? "the device cannot be opened" : failure);
    return nullptr;
  }
  if (trace::on()) {
    trace::comment("trace: device " + device + " (" + opened->backend() + ")");
  }

  Handle handle = addHandle(
      std::make_shared<Connection>(Connection{opened, selected, nullptr}));
  std::shared_ptr<Device> previous;
  {
    State& s = state();
    os::LockGuard guard(s.lock);
    currentRoute.store(nullptr, std::memory_order_release);
    previous = std::move(s.current);
    s.current = opened;
  }
  return handle;  // `previous` goes outside the lock
}

namespace {

// Request 6: the backend's window, handed out through the out buffer, and
// the route of the connection's accesses to it.
bool mapWindow(Connection& connection, void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) {
  Window window;
  std::string failure;
  if (outBuffer == nullptr || outSize < sizeof window.base) {
    failure = "the map request has no room for the window's address";
  } else if (!connection.device->mapWindow(&window, &failure) ||
             window.base == nullptr || window.size < 4) {
    if (failure.empty()) failure = "the driver mapped no chip window";
  }
  if (!failure.empty()) {
    recordFailure(connection.selected, failure);
    return false;
  }
  State& s = state();
  {
    os::LockGuard guard(s.lock);
    const Route* route = connection.route;
    if (route == nullptr || route->base != window.base ||
        route->size != window.size) {
      Device* routed =
          connection.device->routesWindow() ? connection.device.get() : nullptr;
      s.allRoutes.push_back(std::make_unique<Route>(
          Route{window.base, window.size, connection.device, routed}));
      route = s.allRoutes.back().get();
      s.routes[window.base] = route;
      connection.route = route;
    }
    if (connection.device == s.current) {
      currentRoute.store(route, std::memory_order_release);
    }
  }
  std::memcpy(outBuffer, &window.base, sizeof window.base);
  if (bytesReturned != nullptr) *bytesReturned = sizeof window.base;
  return true;
}

// The trace lines of a request once it has returned: each word of a word
// request that succeeded, else the request's code.
void traceWords(std::uint32_t code, bool ok, const void* words,
                std::uint32_t count, const void* offsetArgument) {
  if (!ok) {
    trace::write({trace::Kind::Request, code, 0, false});
    return;
  }
  if (words == nullptr) return;
  const auto offset = static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(offsetArgument));
  const trace::Kind kind =
      code == kWriteWord ? trace::Kind::DriverWrite : trace::Kind::DriverRead;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(words) + 4 * i,
                sizeof value);
    trace::write(trace::wordEvent(kind, offset + 4 * i, value, true));
  }
}

}  // namespace

bool deviceRequest(Handle device, std::uint32_t code, void* inBuffer,
                   std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                   std::uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  const std::shared_ptr<Connection> connection = findConnection(device);
  if (connection == nullptr) return false;
  const bool words = code == kWriteWord || code == kReadWords;
  // A request is traced as it starts, so that one that never returns shows;
  // word requests once their words are known.
  if (!words && trace::on())
    trace::write({trace::Kind::Request, code, 0, false});
  bool ok;
  if (code == kCheck) {
    std::string failure;
    ok = connection->device->check(&failure);
    if (!ok) {
      recordFailure(
          connection->selected,
          failure.empty() ? "the driver's check request failed" : failure);
    }
  } else if (code == kMapWindow) {
    ok = mapWindow(*connection, outBuffer, outSize, bytesReturned);
  } else {
    ok = connection->device->request(code, inBuffer, inSize, outBuffer, outSize,
                                     bytesReturned);
  }
  if (words && trace::on()) traceWords(code, ok, inBuffer, inSize, outBuffer);
  return ok;
}

const char* lastOpenFailure() {
  State& s = state();
  os::LockGuard guard(s.lock);
  return s.failure.c_str();
}

void setOpenFailure(Handle device, const char* reason) {
  const std::shared_ptr<Connection> connection = findConnection(device);
  std::string selected;
  if (connection != nullptr) {
    selected = connection->selected;
  } else {
    State& s = state();
    os::LockGuard guard(s.lock);
    selected = s.selected;
  }
  recordFailure(selected, reason != nullptr && *reason != '\0'
                              ? reason
                              : "unexplained failure");
}

const char* finishTrace() { return trace::finish(); }

// ---- Control ports --------------------------------------------------------

namespace {
std::shared_ptr<Device> currentDevice() {
  State& s = state();
  os::LockGuard guard(s.lock);
  return s.current;
}
}  // namespace

void portOut32(std::uint16_t port, std::uint32_t value) {
  if (std::shared_ptr<Device> device = currentDevice()) {
    device->portOut32(port, value);
    if (trace::on()) trace::write({trace::Kind::PortOut, port, value, false});
  }
}

std::uint32_t portIn32(std::uint16_t port) {
  // No card answers: the bus floats high.
  std::shared_ptr<Device> device = currentDevice();
  if (device == nullptr) return kFloating;
  const std::uint32_t value = device->portIn32(port);
  if (trace::on()) trace::write({trace::Kind::PortIn, port, value, false});
  return value;
}

// ---- Chip window ----------------------------------------------------------
// The current card's window of plain memory, untraced, takes the short path:
// one comparison of the base, one of the offset, then the access itself.
// Everything else (a routed or traced window, another connection's window, a
// word outside the window) goes the long way.

namespace {

std::uint32_t readWord(const Target& target, const std::uint8_t* window,
                       std::uint32_t offset) {
  const Route* route = target.route;
  const bool reached = route != nullptr && insideWindow(offset, route->size);
  std::uint32_t value = kFloating;
  if (reached) {
    value =
        route->routed != nullptr
            ? route->routed->windowRead32(offset)
            : *reinterpret_cast<const volatile std::uint32_t*>(window + offset);
  }
  if (trace::on()) {
    trace::write(
        trace::wordEvent(trace::Kind::WindowRead, offset, value, reached));
  }
  return value;
}

void writeWord(const Target& target, std::uint8_t* window, std::uint32_t offset,
               std::uint32_t value) {
  const Route* route = target.route;
  const bool reached = route != nullptr && insideWindow(offset, route->size);
  if (reached) {
    if (route->routed != nullptr) {
      route->routed->windowWrite32(offset, value);
    } else {
      *reinterpret_cast<volatile std::uint32_t*>(window + offset) = value;
    }
  }
  if (trace::on()) {
    trace::write(
        trace::wordEvent(trace::Kind::WindowWrite, offset, value, reached));
  }
}

// The long way, kept out of line so that the short path stays a few
// instructions.
[[gnu::noinline]] std::uint32_t readAnyWindow(const std::uint8_t* window,
                                              std::uint32_t offset) {
  return readWord(findTarget(window), window, offset);
}

[[gnu::noinline]] void writeAnyWindow(std::uint8_t* window,
                                      std::uint32_t offset,
                                      std::uint32_t value) {
  writeWord(findTarget(window), window, offset, value);
}

// True when an access at this window and offset is a plain one.
inline bool plainAccess(const std::uint8_t* window, std::uint32_t offset) {
  const Route* route = currentRoute.load(std::memory_order_acquire);
  return route != nullptr && window == route->base &&
         route->routed == nullptr && insideWindow(offset, route->size) &&
         !trace::on();
}

}  // namespace

std::uint32_t windowRead32(const std::uint8_t* window, std::uint32_t offset) {
  if (plainAccess(window, offset)) {
    return *reinterpret_cast<const volatile std::uint32_t*>(window + offset);
  }
  return readAnyWindow(window, offset);
}

void windowWrite32(std::uint8_t* window, std::uint32_t offset,
                   std::uint32_t value) {
  if (plainAccess(window, offset)) {
    *reinterpret_cast<volatile std::uint32_t*>(window + offset) = value;
    return;
  }
  writeAnyWindow(window, offset, value);
}

void windowWriteBlock32(std::uint8_t* window, std::uint32_t offset,
                        const std::uint32_t* source, std::uint32_t count) {
  if (count == 0 || source == nullptr) return;
  const Target target = findTarget(window);
  const Route* route = target.route;
  const std::uint64_t end = std::uint64_t(offset) + 4 * std::uint64_t(count);
  if (route != nullptr && route->routed == nullptr && !trace::on() &&
      (offset & 3) == 0 && end <= route->size) {
    auto* words = reinterpret_cast<volatile std::uint32_t*>(window + offset);
    for (std::uint32_t i = 0; i < count; ++i) words[i] = source[i];
    return;
  }
  const Target none;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = std::uint64_t(offset) + 4 * std::uint64_t(i);
    // No window reaches past 4 GiB: the words from there on are dropped.
    const bool beyond = at > 0xFFFFFFFFu;
    if (beyond && !trace::on()) break;
    writeWord(beyond ? none : target, window, static_cast<std::uint32_t>(at),
              source[i]);
  }
}

}  // namespace platform
