// The Linux PCI row: a TV940_DEVICE value that is a PCI address or a device
// directory. A value that names no usable device fails the open; there is
// no fallback to another backend.
#include <string>

#include "platform/backends/backends.h"
#include "platform/backends/linuxpci/pci_address.h"
#include "platform/backends/linuxpci/pci_device.h"

namespace platform::backends {

std::shared_ptr<Device> openLinuxPci(const OpenRequest& request,
                                     std::string* failure) {
  std::string directory;
  if (!linuxpci::resolveDeviceDirectory(std::string(request.selector),
                                        linuxpci::kSysfsDevices, &directory,
                                        failure)) {
    return nullptr;
  }
  return linuxpci::openDeviceDirectory(directory, linuxpci::kDeviceNodes,
                                       request.reports, failure);
}

}  // namespace platform::backends
