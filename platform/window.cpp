// The seam's one accessor for the chip window. The most recently mapped
// window of plain memory, untraced, takes the short path: one comparison of
// the base, one of the offset, then the access itself. Everything else (a
// window the device serves, a traced access, another connection's window, a
// word outside the window) goes the long way, which holds the device for the
// access: a close on another thread never frees what an access still uses.
#include "platform/seam.h"
#include "platform/trace.h"

namespace platform {

std::atomic<const seam::Route*> seam::currentRoute{nullptr};

void seam::forgetWindowLocked(Connection& connection) {
  State& s = state();
  auto it = s.windows.find(connection.windowBase);
  if (it != s.windows.end() && it->second.owner == &connection) {
    s.windows.erase(it);
  }
  if (connection.route != nullptr &&
      currentRoute.load(std::memory_order_relaxed) == connection.route) {
    currentRoute.store(nullptr, std::memory_order_release);
  }
  connection.windowBase = nullptr;
  connection.route = nullptr;
}

namespace {

using card::kFloatingBus;
using seam::Route;

// Whether a whole word at this offset lies inside a window of `size` bytes.
inline bool insideWindow(std::uint32_t offset, std::uint64_t size) {
  return (offset & 3) == 0 && std::uint64_t(offset) + 4 <= size;
}

// Where an access to a window pointer goes: the window's size (0 when the
// pointer is no open connection's window) and, for a window the device
// serves, the device, held for the access.
struct Target {
  std::uint64_t size = 0;
  Device* routed = nullptr;
  std::shared_ptr<Device> held;
};

Target findTarget(const std::uint8_t* window) {
  Target target;
  if (window == nullptr) return target;
  const Route* current = seam::currentRoute.load(std::memory_order_acquire);
  if (current != nullptr && current->base == window) {
    target.size = current->size;
    return target;
  }
  seam::State& s = seam::state();
  os::LockGuard guard(s.lock);
  auto it = s.windows.find(window);
  if (it == s.windows.end()) return target;
  target.size = it->second.size;
  target.held = it->second.device;
  if (it->second.routed) target.routed = target.held.get();
  return target;
}

std::uint32_t readWord(const Target& target, const std::uint8_t* window,
                       std::uint32_t offset) {
  const bool reached = insideWindow(offset, target.size);
  std::uint32_t value = kFloatingBus;
  if (reached) {
    value =
        target.routed != nullptr
            ? target.routed->windowRead32(offset)
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
  const bool reached = insideWindow(offset, target.size);
  if (reached) {
    if (target.routed != nullptr) {
      target.routed->windowWrite32(offset, value);
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
  const Route* route = seam::currentRoute.load(std::memory_order_acquire);
  return route != nullptr && window == route->base &&
         insideWindow(offset, route->size) && !trace::on();
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
  const std::uint64_t end = std::uint64_t(offset) + 4 * std::uint64_t(count);
  if (target.size != 0 && target.routed == nullptr && !trace::on() &&
      (offset & 3) == 0 && end <= target.size) {
    auto* words = reinterpret_cast<volatile std::uint32_t*>(window + offset);
    for (std::uint32_t i = 0; i < count; ++i) words[i] = source[i];
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = std::uint64_t(offset) + 4 * std::uint64_t(i);
    // No window reaches past 4 GiB, and no offset there can be traced: the
    // words from there on are dropped.
    if (at > 0xFFFFFFFFu) break;
    writeWord(target, window, static_cast<std::uint32_t>(at), source[i]);
  }
}

}  // namespace platform
