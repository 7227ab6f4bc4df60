// Inside the seam: the state its parts share. handles.cpp keeps the handle
// table (events and driver connections), connection.cpp opens devices and
// routes their requests and ports, window.cpp is the chip-window accessor.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <variant>

#include "platform/device.h"
#include "platform/os.h"
#include "platform/platform.h"

namespace platform::seam {

// A window as the accessor reaches it, read without the seam's lock. Routes
// are never freed, and one is made for each base, size and server: a later
// device handed the same range reuses it, and `owner` says which connection
// holds it now (null: none).
struct Route {
  const std::uint8_t* base;
  std::uint64_t size;
  WindowServer* server;  // null for plain device memory
  WindowOwner owner{nullptr};
};

// What the card failed of one connection's accesses.
struct FailureLog {
  std::uint64_t ports = 0;   // failed port accesses
  std::uint64_t others = 0;  // failed accesses the device made on its own
  std::string first;         // "<access>: <reason>" of the first failure
};

// One driver connection: its device, the device as the user selected it (for
// failure lines), the route of its window once mapped and its failed
// accesses, these under the state's lock.
struct Connection {
  std::shared_ptr<Device> device;
  std::string selected;
  Route* route = nullptr;
  FailureLog failures;
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
  // Every route ever made, by base, size and server.
  std::map<std::tuple<const std::uint8_t*, std::uint64_t, WindowServer*>,
           std::unique_ptr<Route>>
      routes;
};

State& state();

// The route of the most recently mapped window, read without the lock on
// every access: the short path takes it when the access's window and
// connection are its own. An access that read it just before the close still
// finds the range mapped (a backend never unmaps a window it handed out) and
// a server that refuses it.
extern std::atomic<const Route*> currentRoute;

// The connection closes (or maps another window): its window reaches
// nothing from now on. Called under the state's lock.
void forgetWindowLocked(Connection& connection);

// An access on the card of `device` failed: counted against the open
// connection of that device, if any, and traced as a comment naming the
// access and the reason. `port` tells a port access from one the device made
// on its own.
void recordAccessFailure(const Device& device, bool port,
                         std::string_view access, std::string_view reason);

// A new handle for an event or a connection.
Handle addHandle(Entry entry);
// The connection of a handle; null for a stale handle or an event.
std::shared_ptr<Connection> findConnection(Handle handle);
// The route of the window a connection holds, found in one look-up under
// the lock; null for a stale handle or a connection without a window.
const Route* routeOf(Handle handle);

}  // namespace platform::seam
