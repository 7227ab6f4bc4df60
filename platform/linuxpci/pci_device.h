// Linux PCI access to a real card, without a kernel driver of our own: the
// kernel's sysfs files of the device (config, resource0, resource1) and, when
// the device is bound to uio_pci_generic, its UIO device node for interrupts.
//
// The seam reaches this backend through openSelectedDevice (TV940_DEVICE set
// to a PCI address or a device directory). The functions below are what that
// selector is built on; tests use them to open fake device directories.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/device.h"

namespace platform::linuxpci {

// Where the kernel lists the PCI devices, and where device nodes are.
inline constexpr const char* kSysfsDevices = "/sys/bus/pci/devices";
inline constexpr const char* kDeviceNodes = "/dev";

// The chip window must span at least this many bytes of resource0.
inline constexpr std::uint64_t kMinimumWindowSize = kChipWindowSize;

// The kernel's name of a PCI address, "dddd:bb:dd.f" in lower case, for the
// long form (0000:03:00.0) or the short form with domain 0 (03:00.0); "" when
// text is not a PCI address.
std::string canonicalPciAddress(std::string_view text);

// The device directory a TV940_DEVICE value names: a PCI address is looked up
// in sysfsDevices, anything else is taken as a path to a directory holding
// `config`. False with *failure saying why.
bool resolveDeviceDirectory(const std::string& selector,
                            const std::string& sysfsDevices,
                            std::string* directory, std::string* failure);

// Opens the card behind a device directory. A UIO device uioN listed in the
// directory's uio/ is opened as deviceNodes/uioN. Null with *failure (one
// line) when any part the card needs is missing or unusable, and, before
// anything is opened, when a kernel driver other than uio_pci_generic or
// vfio-pci is bound to the device.
std::shared_ptr<Device> openDeviceDirectory(const std::string& directory,
                                            const std::string& deviceNodes,
                                            std::string* failure);

}  // namespace platform::linuxpci
