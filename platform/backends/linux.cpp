// The Linux row: a TV940_DEVICE value that is a PCI address or a device
// directory, resolved once. A device bound to vfio-pci, or set to be, goes to
// the VFIO backend (vfio/); any other to the kernel's PCI files (linuxpci/).
// A value that names no usable device fails the open; there is no fallback
// to another backend.
#include <string>

#include "platform/backends/backends.h"
#include "platform/backends/linuxpci/pci_address.h"
#include "platform/backends/linuxpci/pci_device.h"
#include "platform/backends/vfio/vfio_device.h"
#include "platform/backends/vfio/vfio_kernel.h"

namespace platform::backends {

std::shared_ptr<Device> openLinux(const OpenRequest& request,
                                  std::string* failure) {
  std::string directory;
  if (!linuxpci::resolveDeviceDirectory(std::string(request.selector),
                                        linuxpci::kSysfsDevices, &directory,
                                        failure)) {
    return nullptr;
  }
  if (vfio::servesDirectory(directory)) {
    return vfio::openVfioDirectory(directory, vfio::kVfioNodes, request.reports,
                                   failure);
  }
  return linuxpci::openDeviceDirectory(directory, linuxpci::kDeviceNodes,
                                       request.reports, failure);
}

}  // namespace platform::backends
