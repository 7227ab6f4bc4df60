// Inside the seam: the table of backends. Each row names a backend, says
// which TV940_DEVICE values it takes and opens a device for one; the seam
// opens a connection on the first row that takes the value. Adding a backend
// is its own file or folder under backends/ and one row in backends.cpp.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/device.h"

namespace platform::backends {

// What a backend's open is given.
struct OpenRequest {
  // The TV940_DEVICE value; "" when it is unset or empty.
  std::string_view selector;
  // The device path the program names, never null; the platform's own
  // driver opens it.
  const char* path;
  // Where the device reports interrupts and remarks.
  Reports& reports;
  // The TV940_SIM_FAULTS value (the simulated card's faults for the run);
  // "" when it is unset or empty.
  std::string_view faults = {};
};

struct Backend {
  // The backend, as the trace's heading names it.
  const char* name;
  // Whether it serves the TV940_DEVICE value ("" when unset). A row may look
  // beyond the text, such as at the driver a named device is bound to.
  bool (*takes)(std::string_view selector);
  // A connected device, or null with *failure (one line, no line end).
  std::shared_ptr<Device> (*open)(const OpenRequest& request,
                                  std::string* failure);
};

// This build's backends, in the order they are asked.
std::span<const Backend> table();

// The first row that takes the value. The last row takes every value, so
// there always is one.
const Backend& backendFor(std::string_view selector);

// ---- The backends' opens ----------------------------------------------------

// The simulated card (simulated_card/card.cpp).
std::shared_ptr<Device> openSimulatedCard(const OpenRequest& request,
                                          std::string* failure);
// The platform's own driver at the program's device path
// (native_driver_win32.cpp).
std::shared_ptr<Device> openNativeDriver(const OpenRequest& request,
                                         std::string* failure);
// A real card on Linux, named by its PCI address or device directory: the
// VFIO backend for a device bound to vfio-pci, the kernel's PCI files for
// any other (linux.cpp).
std::shared_ptr<Device> openLinux(const OpenRequest& request,
                                  std::string* failure);
// Refusals where a system lacks a backend (unsupported.cpp): the default
// open without a platform driver, and a device value no backend names.
std::shared_ptr<Device> refuseWithoutDriver(const OpenRequest& request,
                                            std::string* failure);
std::shared_ptr<Device> refuseUnknownDevice(const OpenRequest& request,
                                            std::string* failure);

}  // namespace platform::backends
