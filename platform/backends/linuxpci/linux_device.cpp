#include "platform/backends/linuxpci/linux_device.h"

#include <utility>

#include "card/hex.h"

namespace platform::linuxpci {

std::string sizeText(std::uint64_t value) {
  return "0x" + card::hexText(value, 1, true);
}

LinuxDevice::LinuxDevice(Sources sources, Reports& reports)
    : window_(std::move(sources.window)),
      config_(sources.config),
      configStart_(sources.configStart),
      ports_(sources.ports),
      portsName_(std::move(sources.portsName)),
      watcher_(std::move(sources.interrupts), reports, *this) {}

bool LinuxDevice::mapWindow(Window* window, std::string* /*failure*/) {
  *window = Window{window_.base(), window_.size()};
  return true;
}

bool LinuxDevice::request(std::uint32_t code, void* inBuffer,
                          std::uint32_t inSize, void* outBuffer,
                          std::uint32_t outSize, std::uint32_t* bytesReturned) {
  return serveRequest({window_, config_, configStart_, watcher_}, code,
                      inBuffer, inSize, outBuffer, outSize, bytesReturned);
}

bool LinuxDevice::portOut32(std::uint16_t port, std::uint32_t value,
                            std::string* failure) {
  std::string why;
  if (ports_.write(port, value, &why)) return true;
  *failure = "cannot write " + portsName_ + ": " + why;
  return false;
}

bool LinuxDevice::portIn32(std::uint16_t port, std::uint32_t* value,
                           std::string* failure) {
  std::string why;
  if (ports_.read(port, value, &why)) return true;
  *failure = "cannot read " + portsName_ + ": " + why;
  return false;
}

std::shared_ptr<Device> LinuxDevice::started(
    std::shared_ptr<LinuxDevice> device, std::string* failure) {
  std::string reason;
  if (device->watcher_.start(&reason)) return device;
  if (failure != nullptr) *failure = reason;
  return nullptr;
}

}  // namespace platform::linuxpci
