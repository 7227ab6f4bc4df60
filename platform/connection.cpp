// The seam's driver connections: the choice of backend at open, request
// routing and the window each connection maps, and the failure lines. Every
// request is traced here; ports.cpp has the control ports.
#include <cstdlib>
#include <cstring>
#include <deque>

#include "card/card_map.h"
#include "card/shown.h"
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

// A reason as one line: line breaks become blanks, and other control
// characters (from a device path, say) are spelled out.
std::string oneLine(std::string text) {
  std::string line;
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F
                ? card::shownValue(std::string_view(&c, 1))
                : std::string(1, c);
  }
  return line;
}

// What a device reports, written to the trace as its connection's (once
// the open has given the connection its key).
class TracedReports final : public Reports {
 public:
  void interrupt(std::uint32_t word) override {
    if (trace::on())
      trace::write({trace::Kind::Interrupt, 0, word, false}, key.load());
  }
  void note(std::string_view text) override {
    if (trace::on()) trace::comment(text, key.load());
  }
  void accessFailed(const Device& device, std::string_view access,
                    std::string_view reason) override {
    seam::recordAccessFailure(device, false, access, reason);
  }

  std::atomic<const void*> key{nullptr};
};

// The reports of a new open. They are never destroyed: a device may report
// after its connection closed (the simulated card stays reachable), and its
// lines are then untagged.
TracedReports& newReports() {
  static auto* all = new std::deque<TracedReports>;
  State& s = state();
  os::LockGuard guard(s.lock);
  return all->emplace_back();
}

// A connection's device. The seam holds the device through it, so that when
// the last hold goes (the connection closed, no access under way) the trace
// learns the connection closed.
struct TracedDevice {
  TracedReports& reports = newReports();
  std::shared_ptr<Device> device;

  ~TracedDevice() {
    if (device != nullptr) trace::closed(device.get());
    reports.key = nullptr;
  }
};

// The failure line of this thread's most recent open, and the device that
// open selected: each thread's own, as strerror's text is, so that an open
// on another thread never changes or frees what a caller reads. Fixed
// buffers, so that nothing is left to free when a thread ends.
constexpr std::size_t kLineSize = 1024;
thread_local char openFailureLine[kLineSize];
thread_local char openSelected[kLineSize];

// Copies `text` into a line buffer, cut with "..." where it does not fit.
void keepLine(char (&line)[kLineSize], const std::string& text) {
  if (text.size() < kLineSize) {
    std::memcpy(line, text.c_str(), text.size() + 1);
    return;
  }
  std::memcpy(line, text.data(), kLineSize - 4);
  std::memcpy(line + kLineSize - 4, "...", 4);
}

void recordFailure(const std::string& selected, const std::string& reason) {
  keepLine(openFailureLine, oneLine(selected + ": " + reason));
}

// Whether a value has white space at its start or end (a blank, a tab, a
// line end), which no device name has.
bool hasWhiteSpaceAround(const std::string& value) {
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
           c == '\f';
  };
  return !value.empty() && (space(value.front()) || space(value.back()));
}

// A value as a failure line shows it: its control characters spelled out,
// cut at a bounded length, and in quotes when white space surrounds it.
std::string shown(const std::string& value) {
  const std::string text = card::shownValue(value);
  return hasWhiteSpaceAround(value) ? "\"" + text + "\"" : text;
}

}  // namespace

Handle openDevice(const char* path) { return openDeviceAs(path, nullptr); }

Handle openDeviceAs(const char* path, const char* selector) {
  const bool given = selector != nullptr;
  if (!given) selector = std::getenv("TV940_DEVICE");
  const std::string choice = selector != nullptr ? selector : "";
  const std::string device =
      choice.empty() ? (path != nullptr ? path : "") : choice;
  std::string selected;
  if (choice.empty()) {
    selected = device;
  } else if (choice == "sim") {
    selected = given ? "simulated card" : "simulated card (TV940_DEVICE=sim)";
  } else {
    selected = (given ? "device " : "TV940_DEVICE=") + shown(choice);
  }
  keepLine(openSelected, selected);
  os::selectPlatformDriver(choice.empty());
  openFailureLine[0] = '\0';

  std::string failure;
  std::shared_ptr<Device> opened;
  auto traced = std::make_shared<TracedDevice>();
  const char* faults = std::getenv("TV940_SIM_FAULTS");
  if (hasWhiteSpaceAround(choice)) {
    failure = given ? "the name has white space around it; give the device "
                      "alone"
                    : "the value has white space around it; set TV940_DEVICE "
                      "to the device alone";
  } else if (faults != nullptr && *faults != '\0' && choice != "sim") {
    failure =
        "TV940_SIM_FAULTS is set, but its faults apply to the simulated card "
        "only (TV940_DEVICE=sim)";
  } else if (!trace::start(&failure)) {
    // Nothing opened: the trace file stays as it was.
  } else {
    opened = backends::backendFor(choice).open(
        {choice, path != nullptr ? path : "", traced->reports,
         faults != nullptr ? faults : ""},
        &failure);
  }
  if (opened == nullptr) {
    recordFailure(selected,
                  failure.empty() ? "the device cannot be opened" : failure);
    return nullptr;
  }
  traced->device = opened;
  traced->reports.key = opened.get();
  if (trace::on()) {
    const std::string number = trace::opened(opened.get());
    trace::comment("trace: device " + card::shownValue(device) + " (" +
                   opened->backend() + "), written by tv940 " +
                   tv940::kVersion + number);
  }

  auto connection = std::make_shared<Connection>();
  // The device, held through its traced companion.
  connection->device = std::shared_ptr<Device>(traced, opened.get());
  connection->selected = std::move(selected);
  return seam::addHandle(std::move(connection));
}

namespace {

// The connection's window from now on: its route, held by the connection,
// and the short path's.
void registerWindow(const std::shared_ptr<Connection>& connection,
                    Handle handle, const Window& window) {
  State& s = state();
  os::LockGuard guard(s.lock);
  seam::forgetWindowLocked(*connection);
  std::unique_ptr<Route>& route =
      s.routes[{window.base, window.size, window.server}];
  if (route == nullptr) {
    route.reset(new Route{window.base, window.size, window.server});
  }
  route->owner.store(handle, std::memory_order_release);
  connection->route = route.get();
  seam::currentRoute.store(route.get(), std::memory_order_release);
}

// Request 6: the backend's window, handed out through the out buffer.
bool mapWindow(const std::shared_ptr<Connection>& connection, Handle handle,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) {
  Window window;
  std::string failure;
  if (outBuffer == nullptr || outSize < sizeof window.base) {
    failure = "the map request has no room for the window's address";
  } else if (!connection->device->mapWindow(&window, &failure) ||
             window.base == nullptr || window.size < 4) {
    if (failure.empty()) failure = "the driver mapped no chip window";
  }
  if (!failure.empty()) {
    recordFailure(connection->selected, failure);
    return false;
  }
  registerWindow(connection, handle, window);
  std::memcpy(outBuffer, &window.base, sizeof window.base);
  if (bytesReturned != nullptr) *bytesReturned = sizeof window.base;
  return true;
}

// The trace lines of a request once it has returned: each word of a word
// request that succeeded, else the request's code.
void traceWords(const void* key, std::uint32_t code, bool ok, const void* words,
                std::uint32_t count, const void* offsetArgument) {
  if (!ok) {
    trace::write({trace::Kind::Request, code, 0, false}, key);
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
    trace::write(trace::wordEvent(kind, offset + 4 * i, value, true), key);
  }
}

// After the configuration block (request 5): where the card sits, the base
// address registers of its window and its ports, so that the trace's port
// accesses can be held against the base the card decodes.
void traceBases(const void* key, const void* block, std::uint32_t size) {
  if (block == nullptr || size < card::kBaseAddress1 + 4) return;
  std::uint32_t window, ports;
  std::memcpy(&window,
              static_cast<const std::uint8_t*>(block) + card::kBaseAddress0,
              sizeof window);
  std::memcpy(&ports,
              static_cast<const std::uint8_t*>(block) + card::kBaseAddress1,
              sizeof ports);
  const std::string line = card::trace::basesComment(
      window & ~0xFu, static_cast<std::uint16_t>(ports & card::kIoDecodeMask));
  trace::comment(std::string_view(line).substr(2), key);  // after "# "
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
  const void* key = connection->device.get();
  if (!words && trace::on())
    trace::write({trace::Kind::Request, code, 0, false}, key);
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
    ok = mapWindow(connection, device, outBuffer, outSize, bytesReturned);
  } else {
    ok = connection->device->request(code, inBuffer, inSize, outBuffer, outSize,
                                     bytesReturned);
  }
  if (words && trace::on())
    traceWords(key, code, ok, inBuffer, inSize, outBuffer);
  if (ok && trace::on() && code == card::code(DriverRequest::GetConfigInfo)) {
    traceBases(key, outBuffer,
               bytesReturned != nullptr ? *bytesReturned : outSize);
  }
  return ok;
}

const char* lastOpenFailure() { return openFailureLine; }

void setOpenFailure(Handle device, const char* reason) {
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
  const std::string selected =
      connection != nullptr ? connection->selected : openSelected;
  recordFailure(selected, reason != nullptr && *reason != '\0'
                              ? reason
                              : "unexplained failure");
}

const char* finishTrace() {
  // This thread's own copy: valid until its next call.
  thread_local char line[kLineSize];
  keepLine(line, trace::finish());
  return line;
}

void trace::writeFor(Handle connection, const Event& event) {
  const std::shared_ptr<Connection> found = seam::findConnection(connection);
  write(event, found != nullptr ? found->device.get() : nullptr);
}

void keepTraceOff(const char* path, const char* what) {
  trace::keepOff(path, what);
}

bool isTraceFile(const char* path) { return trace::writesTo(path); }

}  // namespace platform
