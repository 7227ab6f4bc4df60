// Which device a TV940_DEVICE value names on Linux: a PCI address, looked up
// among the kernel's PCI devices, or a path to a device directory.
#pragma once

#include <string>
#include <string_view>

namespace platform::linuxpci {

// Where the kernel lists the PCI devices.
inline constexpr const char* kSysfsDevices = "/sys/bus/pci/devices";

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

}  // namespace platform::linuxpci
