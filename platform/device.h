// Inside the seam: what every backend provides for one driver connection.
// Not seen by boardlib; platform.cpp routes the seam's functions here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class Device {
 public:
  virtual ~Device() = default;

  // One driver request (the buffer conventions of platform::deviceRequest).
  // May be called from several threads at once.
  virtual bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                       void* outBuffer, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) = 0;

  virtual void portOut32(std::uint16_t port, std::uint32_t value) = 0;
  virtual std::uint32_t portIn32(std::uint16_t port) = 0;

  // A backend whose window is not plain device memory (the simulated card)
  // returns the base it handed out with the map request; the accessor then
  // routes every access at that base to windowRead32/windowWrite32. Backends
  // whose window is real memory return null and get plain volatile accesses.
  virtual const std::uint8_t* routedWindow() const { return nullptr; }
  virtual std::uint32_t windowRead32(std::uint32_t /*offset*/) { return 0; }
  virtual void windowWrite32(std::uint32_t /*offset*/, std::uint32_t /*value*/) {}

  // The connection's handle has been closed. The card's ports and window stay
  // reachable, as the hardware's do, until another device is opened.
  virtual void onClose() {}
};

// Backends. Each returns a connected device, or null with *failure saying why
// (one line, no line end).
std::shared_ptr<Device> openSimulatedCard(std::string* failure);
// The platform's own driver at `path` (on Linux there is none).
std::shared_ptr<Device> openNativeDriver(const char* path, std::string* failure);
// A backend-specific TV940_DEVICE value (a Linux PCI address or device
// directory); null with *failure for a value no backend accepts.
std::shared_ptr<Device> openSelectedDevice(const char* selector,
                                           std::string* failure);

}  // namespace platform
