// Linux access to a real card bound to vfio-pci: the kernel's supported way
// to drive a device from a program. It keeps the card to one program, lets a
// user who is not root in through the group node's permissions, and serves a
// card that cannot mask its interrupt.
#pragma once

#include <memory>
#include <string>

#include "platform/device.h"

namespace platform::vfio {

// Whether this backend serves the device of a sysfs device directory: it is
// bound to vfio-pci, or set to be (its driver_override) and bound to nothing,
// which the open then explains.
bool servesDirectory(const std::string& directory);

// Opens the card behind a device directory through the VFIO nodes in `nodes`
// (vfio_kernel.h); its interrupts go to `reports`. Null with *failure (one
// line) naming the device, the reason and what to do.
std::shared_ptr<Device> openVfioDirectory(const std::string& directory,
                                          const std::string& nodes,
                                          Reports& reports,
                                          std::string* failure);

}  // namespace platform::vfio
