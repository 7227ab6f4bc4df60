// The seam's handle table: events and driver connections, and the events'
// functions.
#include "platform/seam.h"

namespace platform {

namespace seam {

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

namespace {

// The object of type T a handle names, under the state's lock; null for a
// stale handle or another kind of object.
template <typename T>
const std::shared_ptr<T>* findLocked(State& s, Handle handle) {
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == s.handles.end()) return nullptr;
  return std::get_if<std::shared_ptr<T>>(&it->second);
}

// The same, held for the caller.
template <typename T>
std::shared_ptr<T> find(Handle handle) {
  State& s = state();
  os::LockGuard guard(s.lock);
  const std::shared_ptr<T>* object = findLocked<T>(s, handle);
  return object != nullptr ? *object : nullptr;
}

}  // namespace

std::shared_ptr<Connection> findConnection(Handle handle) {
  return find<Connection>(handle);
}

const Route* routeOf(Handle handle) {
  State& s = state();
  os::LockGuard guard(s.lock);
  const std::shared_ptr<Connection>* connection =
      findLocked<Connection>(s, handle);
  return connection != nullptr ? (*connection)->route : nullptr;
}

}  // namespace seam

std::shared_ptr<os::Event> os::eventOf(Handle handle) {
  return seam::find<os::Event>(handle);
}

Handle createEvent() {
  std::shared_ptr<os::Event> event = os::newEvent();
  if (event == nullptr) return nullptr;
  return seam::addHandle(std::move(event));
}

bool setEvent(Handle event) {
  std::shared_ptr<os::Event> found = os::eventOf(event);
  return found != nullptr && os::signal(*found);
}

WaitResult waitEvent(Handle event, std::uint32_t timeoutMs) {
  std::shared_ptr<os::Event> found = os::eventOf(event);
  if (found == nullptr) return WaitResult::Failed;
  return os::wait(*found, timeoutMs);
}

WaitResult waitAnyOfTwo(const Handle pair[2]) {
  if (pair == nullptr) return WaitResult::Failed;
  std::shared_ptr<os::Event> first = os::eventOf(pair[0]);
  std::shared_ptr<os::Event> second = os::eventOf(pair[1]);
  if (first == nullptr || second == nullptr || first == second) {
    return WaitResult::Failed;
  }
  return os::waitAny(*first, *second);
}

bool closeHandle(Handle handle) {
  seam::Entry entry;
  {
    seam::State& s = seam::state();
    os::LockGuard guard(s.lock);
    auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.handles.end()) return false;
    entry = std::move(it->second);
    s.handles.erase(it);
    // From here on the connection's window reaches nothing.
    if (auto* connection =
            std::get_if<std::shared_ptr<seam::Connection>>(&entry)) {
      seam::forgetWindowLocked(**connection);
    }
  }
  if (auto* event = std::get_if<std::shared_ptr<os::Event>>(&entry)) {
    os::retire(**event);
  } else {
    std::get<std::shared_ptr<seam::Connection>>(entry)->device->onClose();
  }
  // The entry, and with it perhaps the device, goes only now, outside the
  // lock: a device's end may wait for its threads, which use the seam.
  return true;
}

}  // namespace platform
