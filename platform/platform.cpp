// The seam's core: the handle table (events and driver connections), the
// choice of backend at open, request routing, the card of the most recent
// open for port accesses, and the chip-window accessor.
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>

#include "platform/device.h"
#include "platform/os.h"

namespace platform {
namespace {

struct Connection {
  std::shared_ptr<Device> device;
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
  // Every routed window base ever handed out, with its device. Bases stay
  // known after their device is gone, so an access at an old base is never
  // taken for plain memory.
  std::map<const std::uint8_t*, std::weak_ptr<Device>> routed;
  // The window of the most recent open, read without the lock on every
  // access: its base, and the device that serves it (null: plain memory).
  // The device stays alive as `current` until the next open, which happens
  // on the thread that makes the window accesses.
  std::atomic<const std::uint8_t*> fastBase{nullptr};
  std::atomic<Device*> fastDevice{nullptr};
  // The device of the most recent open as the user selected it, and the
  // failure line.
  std::string selected;
  std::string failure;
  unsigned failuresRecorded = 0;
};

State& state() {
  static auto* s = new State;
  return *s;
}

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

std::shared_ptr<Device> findDevice(Handle handle) {
  State& s = state();
  os::LockGuard guard(s.lock);
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == s.handles.end()) return nullptr;
  auto* connection = std::get_if<std::shared_ptr<Connection>>(&it->second);
  return connection != nullptr ? (*connection)->device : nullptr;
}

// A reason as one line: line breaks become blanks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

void recordFailure(const std::string& reason) {
  State& s = state();
  os::LockGuard guard(s.lock);
  s.failure = oneLine(s.selected + ": " + reason);
  ++s.failuresRecorded;
}

// The device that serves the window at this base, or null for plain memory.
// *known is set when the base was handed out by a routed backend.
std::shared_ptr<Device> routedDevice(const std::uint8_t* window, bool* known) {
  State& s = state();
  os::LockGuard guard(s.lock);
  if (s.current != nullptr) {
    if (s.current->routedWindow() == window) {
      *known = true;
      return s.current;
    }
  }
  auto it = s.routed.find(window);
  *known = it != s.routed.end();
  return *known ? it->second.lock() : nullptr;
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
  return true;
}

// ---- Driver connection ----------------------------------------------------

Handle openDevice(const char* path) {
  const char* selector = std::getenv("TV940_DEVICE");
  const std::string choice = selector != nullptr ? selector : "";
  std::string selected;
  if (choice.empty()) {
    selected = path != nullptr ? path : "";
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
  std::shared_ptr<Device> device;
  if (choice.empty()) {
    device = openNativeDriver(path != nullptr ? path : "", &failure);
  } else if (choice == "sim") {
    device = openSimulatedCard(&failure);
  } else {
    device = openSelectedDevice(choice.c_str(), &failure);
  }
  if (device == nullptr) {
    recordFailure(failure.empty() ? "the device cannot be opened" : failure);
    return nullptr;
  }

  Handle handle = addHandle(std::make_shared<Connection>(Connection{device}));
  State& s = state();
  os::LockGuard guard(s.lock);
  s.current = device;
  const std::uint8_t* base = device->routedWindow();
  if (base != nullptr) s.routed[base] = device;
  s.fastDevice.store(base != nullptr ? device.get() : nullptr);
  s.fastBase.store(base);
  return handle;
}

bool deviceRequest(Handle device, std::uint32_t code, void* inBuffer,
                   std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                   std::uint32_t* bytesReturned) {
  std::shared_ptr<Device> found = findDevice(device);
  if (found == nullptr) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    return false;
  }
  unsigned before = 0;
  if (code == 0) {
    os::LockGuard guard(state().lock);
    before = state().failuresRecorded;
  }
  const bool ok =
      found->request(code, inBuffer, inSize, outBuffer, outSize, bytesReturned);
  if (ok && code == 6) {
    // The map request hands the window out: a routed base, or plain memory
    // whose address the request wrote into the out buffer.
    State& s = state();
    os::LockGuard guard(s.lock);
    const std::uint8_t* base = found->routedWindow();
    if (base != nullptr) s.routed[base] = found;
    if (found == s.current) {
      if (base == nullptr && outBuffer != nullptr && outSize >= sizeof(base)) {
        std::memcpy(&base, outBuffer, sizeof(base));
        s.fastDevice.store(nullptr);
      } else {
        s.fastDevice.store(found.get());
      }
      s.fastBase.store(base);
    }
  }
  if (!ok && code == 0) {
    bool explained;
    {
      os::LockGuard guard(state().lock);
      explained = state().failuresRecorded != before;
    }
    if (!explained) recordFailure("the driver's check request failed");
  }
  return ok;
}

const char* lastOpenFailure() {
  State& s = state();
  os::LockGuard guard(s.lock);
  return s.failure.c_str();
}

void setOpenFailure(const char* reason) {
  recordFailure(reason != nullptr && *reason != '\0' ? reason
                                                     : "unexplained failure");
}

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
  }
}

std::uint32_t portIn32(std::uint16_t port) {
  // No card answers: the bus floats high.
  std::shared_ptr<Device> device = currentDevice();
  return device != nullptr ? device->portIn32(port) : 0xFFFFFFFFu;
}

// ---- Chip window ----------------------------------------------------------
// A null window (never mapped) and the window of a card that is gone read as
// all ones and ignore writes, so no access goes to unmapped memory.

std::uint32_t windowRead32(const std::uint8_t* window, std::uint32_t offset) {
  if (window == nullptr) return 0xFFFFFFFFu;
  State& s = state();
  if (window == s.fastBase.load(std::memory_order_acquire)) {
    if (Device* device = s.fastDevice.load(std::memory_order_acquire)) {
      return device->windowRead32(offset);
    }
    return *reinterpret_cast<const volatile std::uint32_t*>(window + offset);
  }
  bool known = false;
  if (std::shared_ptr<Device> device = routedDevice(window, &known)) {
    return device->windowRead32(offset);
  }
  if (known) return 0xFFFFFFFFu;
  return *reinterpret_cast<const volatile std::uint32_t*>(window + offset);
}

void windowWrite32(std::uint8_t* window, std::uint32_t offset,
                   std::uint32_t value) {
  if (window == nullptr) return;
  State& s = state();
  if (window == s.fastBase.load(std::memory_order_acquire)) {
    if (Device* device = s.fastDevice.load(std::memory_order_acquire)) {
      device->windowWrite32(offset, value);
    } else {
      *reinterpret_cast<volatile std::uint32_t*>(window + offset) = value;
    }
    return;
  }
  bool known = false;
  if (std::shared_ptr<Device> device = routedDevice(window, &known)) {
    device->windowWrite32(offset, value);
    return;
  }
  if (known) return;
  *reinterpret_cast<volatile std::uint32_t*>(window + offset) = value;
}

void windowWriteBlock32(std::uint8_t* window, std::uint32_t offset,
                        const std::uint32_t* source, std::uint32_t count) {
  if (window == nullptr || count == 0 || source == nullptr) return;
  bool known = false;
  std::shared_ptr<Device> device = routedDevice(window, &known);
  if (device != nullptr) {
    for (std::uint32_t i = 0; i < count; ++i) {
      device->windowWrite32(offset + 4 * i, source[i]);
    }
    return;
  }
  if (known) return;
  auto* target = reinterpret_cast<volatile std::uint32_t*>(window + offset);
  for (std::uint32_t i = 0; i < count; ++i) target[i] = source[i];
}

}  // namespace platform
