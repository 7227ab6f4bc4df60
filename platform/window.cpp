// The seam's one accessor for the chip window. An untraced access to the
// most recently mapped window by the connection that holds it takes the
// short path: a few comparisons, then the access itself (or its server's,
// for the simulated card). Everything else (a traced access, another
// connection's window, a word outside the window) goes the long way, which
// finds the route through the connection's handle. Routes and servers are
// never freed, so a close on another thread never frees what an access
// uses.
#include "platform/seam.h"
#include "platform/trace.h"

namespace platform {

std::atomic<const seam::Route*> seam::currentRoute{nullptr};

void seam::forgetWindowLocked(Connection& connection) {
  if (connection.route == nullptr) return;
  connection.route->owner.store(nullptr, std::memory_order_release);
  connection.route = nullptr;
}

namespace {

using card::kFloatingBus;
using seam::Route;

// Whether a whole word at this offset lies inside a window of `size` bytes.
inline bool insideWindow(std::uint32_t offset, std::uint64_t size) {
  return (offset & 3) == 0 && std::uint64_t(offset) + 4 <= size;
}

// The route of `window` while `connection` holds it; null otherwise.
const Route* findRoute(Handle connection, const std::uint8_t* window) {
  if (window == nullptr || connection == nullptr) return nullptr;
  const Route* current = seam::currentRoute.load(std::memory_order_acquire);
  if (current != nullptr && current->base == window &&
      current->owner.load(std::memory_order_acquire) == connection) {
    return current;
  }
  const Route* route = seam::routeOf(connection);
  return route != nullptr && route->base == window ? route : nullptr;
}

// One access on a route known to hold the word.
inline std::uint32_t load(const Route& route, Handle connection,
                          std::uint32_t offset) {
  if (route.server != nullptr) {
    return route.server->read32(route.owner, connection, offset);
  }
  return *reinterpret_cast<const volatile std::uint32_t*>(route.base + offset);
}

inline void store(const Route& route, Handle connection, std::uint32_t offset,
                  std::uint32_t value) {
  if (route.server != nullptr) {
    route.server->write32(route.owner, connection, offset, value);
    return;
  }
  // A route's base is the window a backend handed out for writing.
  auto* base = const_cast<std::uint8_t*>(route.base);
  *reinterpret_cast<volatile std::uint32_t*>(base + offset) = value;
}

std::uint32_t readWord(const Route* route, Handle connection,
                       std::uint32_t offset) {
  const bool reached = route != nullptr && insideWindow(offset, route->size);
  const std::uint32_t value =
      reached ? load(*route, connection, offset) : kFloatingBus;
  if (trace::on()) {
    trace::writeFor(connection, trace::wordEvent(trace::Kind::WindowRead,
                                                 offset, value, reached));
  }
  return value;
}

void writeWord(const Route* route, Handle connection, std::uint32_t offset,
               std::uint32_t value) {
  const bool reached = route != nullptr && insideWindow(offset, route->size);
  if (reached) store(*route, connection, offset, value);
  if (trace::on()) {
    trace::writeFor(connection, trace::wordEvent(trace::Kind::WindowWrite,
                                                 offset, value, reached));
  }
}

// The long way, kept out of line so that the short path stays a few
// instructions.
[[gnu::noinline]] std::uint32_t readAnyWindow(Handle connection,
                                              const std::uint8_t* window,
                                              std::uint32_t offset) {
  return readWord(findRoute(connection, window), connection, offset);
}

[[gnu::noinline]] void writeAnyWindow(Handle connection, std::uint8_t* window,
                                      std::uint32_t offset,
                                      std::uint32_t value) {
  writeWord(findRoute(connection, window), connection, offset, value);
}

// The route of an access that may take the short path; null otherwise.
inline const Route* shortPath(Handle connection, const std::uint8_t* window,
                              std::uint32_t offset) {
  const Route* route = seam::currentRoute.load(std::memory_order_acquire);
  if (route != nullptr && window == route->base &&
      route->owner.load(std::memory_order_relaxed) == connection &&
      connection != nullptr && insideWindow(offset, route->size) &&
      !trace::on()) {
    return route;
  }
  return nullptr;
}

}  // namespace

std::uint32_t windowRead32(Handle connection, const std::uint8_t* window,
                           std::uint32_t offset) {
  if (const Route* route = shortPath(connection, window, offset)) {
    return load(*route, connection, offset);
  }
  return readAnyWindow(connection, window, offset);
}

void windowWrite32(Handle connection, std::uint8_t* window,
                   std::uint32_t offset, std::uint32_t value) {
  if (const Route* route = shortPath(connection, window, offset)) {
    store(*route, connection, offset, value);
    return;
  }
  writeAnyWindow(connection, window, offset, value);
}

void windowWriteBlock32(Handle connection, std::uint8_t* window,
                        std::uint32_t offset, const std::uint32_t* source,
                        std::uint32_t count) {
  if (count == 0 || source == nullptr) return;
  const Route* route = findRoute(connection, window);
  const std::uint64_t end = std::uint64_t(offset) + 4 * std::uint64_t(count);
  if (route != nullptr && route->server == nullptr && !trace::on() &&
      (offset & 3) == 0 && end <= route->size) {
    auto* words = reinterpret_cast<volatile std::uint32_t*>(window + offset);
    for (std::uint32_t i = 0; i < count; ++i) words[i] = source[i];
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = std::uint64_t(offset) + 4 * std::uint64_t(i);
    // No window reaches past 4 GiB, and no offset there can be traced: the
    // words from there on are dropped.
    if (at > 0xFFFFFFFFu) break;
    writeWord(route, connection, static_cast<std::uint32_t>(at), source[i]);
  }
}

}  // namespace platform
