// Inside the seam: the state its parts share. handles.cpp keeps the handle
// table (events and driver connections), connection.cpp opens devices and
// routes their requests and ports, window.cpp is the chip-window accessor.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/device.h"
#include "platform/os.h"
#include "platform/platform.h"

namespace platform::seam {

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

State& state();

// The route of the current card's window, read without the lock on every
// access. Its device stays alive as `current` until the next open, which
// happens on the thread that makes the window accesses.
extern std::atomic<const Route*> currentRoute;

// A new handle for an event or a connection.
Handle addHandle(Entry entry);
// The connection of a handle; null for a stale handle or an event.
std::shared_ptr<Connection> findConnection(Handle handle);

}  // namespace platform::seam
