// The seam's control ports, on the card of each access's own connection, and
// the record of the card's failed accesses: counted per connection, each one
// traced as a comment naming the access and the reason.
#include <string>

#include "card/card_map.h"
#include "platform/seam.h"
#include "platform/trace.h"

namespace platform {

using seam::Connection;

namespace {

// "3 port accesses", "1 interrupt access".
std::string counted(std::uint64_t count, const char* what) {
  return std::to_string(count) + " " + what + " access" +
         (count == 1 ? "" : "es");
}

// The access as its trace line names it, for a failure line.
std::string portAccess(trace::Kind kind, std::uint16_t port,
                       std::uint32_t value) {
  std::string text = trace::format({kind, port, value, false});
  // An input that failed read no value.
  if (kind == trace::Kind::PortIn) text.erase(text.rfind(' '));
  return text;
}

}  // namespace

void seam::recordAccessFailure(const Device& device, bool port,
                               std::string_view access,
                               std::string_view reason) {
  std::string line(access);
  line += ": ";
  line += reason;
  {
    State& s = state();
    os::LockGuard guard(s.lock);
    for (auto& [number, entry] : s.handles) {
      auto* connection = std::get_if<std::shared_ptr<Connection>>(&entry);
      if (connection == nullptr || (*connection)->device.get() != &device) {
        continue;
      }
      FailureLog& log = (*connection)->failures;
      ++(port ? log.ports : log.others);
      if (log.first.empty()) log.first = line;
      break;
    }
  }
  if (trace::on()) trace::comment("the card failed " + line, &device);
}

std::string cardFailures(Handle device) {
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
  if (connection == nullptr) return "";
  seam::FailureLog log;
  {
    seam::State& s = seam::state();
    os::LockGuard guard(s.lock);
    log = connection->failures;
  }
  if (log.ports == 0 && log.others == 0) return "";
  std::string text = "the card failed ";
  if (log.ports != 0) text += counted(log.ports, "port");
  if (log.ports != 0 && log.others != 0) text += " and ";
  if (log.others != 0) text += counted(log.others, "interrupt");
  return text + ": " + log.first;
}

void portOut32(Handle device, std::uint16_t port, std::uint32_t value) {
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
  if (connection == nullptr) return;
  std::string failure;
  const bool done = connection->device->portOut32(port, value, &failure);
  if (trace::on()) {
    trace::write({trace::Kind::PortOut, port, value, false},
                 connection->device.get());
  }
  if (!done) {
    seam::recordAccessFailure(*connection->device, true,
                              portAccess(trace::Kind::PortOut, port, value),
                              failure);
  }
}

std::uint32_t portIn32(Handle device, std::uint16_t port) {
  // No card answers: the bus floats high.
  const std::shared_ptr<Connection> connection = seam::findConnection(device);
  if (connection == nullptr) return card::kFloatingBus;
  std::uint32_t value = card::kFloatingBus;
  std::string failure;
  const bool done = connection->device->portIn32(port, &value, &failure);
  if (!done) value = card::kFloatingBus;
  if (trace::on()) {
    trace::write({trace::Kind::PortIn, port, value, false},
                 connection->device.get());
  }
  if (!done) {
    seam::recordAccessFailure(*connection->device, true,
                              portAccess(trace::Kind::PortIn, port, value),
                              failure);
  }
  return value;
}

}  // namespace platform
