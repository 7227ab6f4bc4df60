// Linux PCI access to a real card, without a kernel driver of our own: the
// kernel's sysfs files of the device (config, resource0, resource1) and, when
// the device is bound to uio_pci_generic, its UIO device node for interrupts.
//
// The seam reaches this backend through its row, openLinuxPci (TV940_DEVICE
// set to a PCI address or a device directory, see pci_address.h); tests use
// openDeviceDirectory to open fake device directories.
#pragma once

#include <memory>
#include <string>

#include "platform/device.h"

namespace platform::linuxpci {

// Where device nodes are.
inline constexpr const char* kDeviceNodes = "/dev";

// Opens the card behind a device directory. A UIO device uioN listed in the
// directory's uio/ is opened as deviceNodes/uioN; its interrupts go to
// `reports`. Null with *failure (one
// line) when any part the card needs is missing or unusable, and, before
// anything is opened, when a kernel driver other than uio_pci_generic is
// bound to the device (a device bound to vfio-pci has the VFIO backend).
std::shared_ptr<Device> openDeviceDirectory(const std::string& directory,
                                            const std::string& deviceNodes,
                                            Reports& reports,
                                            std::string* failure);

}  // namespace platform::linuxpci
