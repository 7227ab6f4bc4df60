// The seam's driver connections: the choice of backend at open, request
// routing and the window each connection maps, the failure lines, and the
// control ports of the card of the most recent open. Every request and port
// access is traced here.
#include <cstdlib>
#include <cstring>

#include "card/card_map.h"
#include "platform/backends/backends.h"
#include "platform/seam.h"
#include "platform/trace.h"
#include "tv940/version.h"

namespace platform {

using seam::Connection;
using seam::Route;
using seam::State;
using seam::state;

namespace {

// A reason as one line: line breaks become blanks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// What devices report, written to the trace.
class TracedReports final : public Reports {
 public:
  void interrupt(std::uint32_t word) override {
    if (trace::on()) trace::write({trace::Kind::Interrupt, 0, word, false});
  }
  void note(std::string_view text) override {
    if (trace::on()) trace::comment(text);
  }
};
TracedReports tracedReports;

void recordFailure(const std::string& selected, const std::string& reason) {
  State& s = state();
  os::LockGuard guard(s.lock);
  s.failure = oneLine(selected + ": " + reason);
}

}  // namespace

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
  } else if (const backends::Backend* row = backends::backendFor(choice)) {
    opened = row->open({choice, path != nullptr ? path : "", tracedReports},
                       &failure);
  } else {
    failure = "unknown device '" + choice + "'";
  }
  if (opened == nullptr) {
    recordFailure(selected,
                  failure.empty() ? "the device cannot be opened" : failure);
    return nullptr;
  }
  if (trace::on()) {
    trace::comment("trace: device " + device + " (" + opened->backend() +
                   "), written by tv940 " + tv940::kVersion);
  }

  Handle handle = seam::addHandle(
      std::make_shared<Connection>(Connection{opened, selected, nullptr}));
  std::shared_ptr<Device> previous;
  {
    State& s = state();
    os::LockGuard guard(s.lock);
    seam::currentRoute.store(nullptr, std::memory_order_release);
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
      seam::currentRoute.store(route, std::memory_order_release);
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
  const trace::Kind kind = code == card::code(DriverRequest::WriteWord)
                               ? trace::Kind::DriverWrite
                               : trace::Kind::DriverRead;
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
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
  if (connection == nullptr) return false;
  const bool words = code == card::code(DriverRequest::WriteWord) ||
                     code == card::code(DriverRequest::ReadWords);
  // A request is traced as it starts, so that one that never returns shows;
  // word requests once their words are known.
  if (!words && trace::on())
    trace::write({trace::Kind::Request, code, 0, false});
  bool ok;
  if (code == card::code(DriverRequest::Check)) {
    std::string failure;
    ok = connection->device->check(&failure);
    if (!ok) {
      recordFailure(
          connection->selected,
          failure.empty() ? "the driver's check request failed" : failure);
    }
  } else if (code == card::code(DriverRequest::MapChipWindow)) {
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
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
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

void keepTraceOff(const char* path, const char* what) {
  trace::keepOff(path, what);
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
    if (trace::on()) trace::write({trace::Kind::PortOut, port, value, false});
  }
}

std::uint32_t portIn32(std::uint16_t port) {
  // No card answers: the bus floats high.
  std::shared_ptr<Device> device = currentDevice();
  if (device == nullptr) return card::kFloatingBus;
  const std::uint32_t value = device->portIn32(port);
  if (trace::on()) trace::write({trace::Kind::PortIn, port, value, false});
  return value;
}

}  // namespace platform
