// The Linux VFIO row: a TV940_DEVICE value (a PCI address or a device
// directory) that names a device bound to vfio-pci, or set to be. Every other
// value goes on to the sysfs row, which gives the reason when it names no
// device.
#include <string>

#include "platform/backends/backends.h"
#include "platform/backends/linuxpci/pci_address.h"
#include "platform/backends/vfio/vfio_device.h"
#include "platform/backends/vfio/vfio_kernel.h"

namespace platform::backends {

bool takesLinuxVfio(std::string_view selector) {
  std::string directory, unused;
  return !selector.empty() &&
         linuxpci::resolveDeviceDirectory(std::string(selector),
                                          linuxpci::kSysfsDevices, &directory,
                                          &unused) &&
         vfio::servesDirectory(directory);
}

std::shared_ptr<Device> openLinuxVfio(const OpenRequest& request,
                                      std::string* failure) {
  std::string directory;
  if (!linuxpci::resolveDeviceDirectory(std::string(request.selector),
                                        linuxpci::kSysfsDevices, &directory,
                                        failure)) {
    return nullptr;
  }
  return vfio::openVfioDirectory(directory, vfio::kVfioNodes, request.reports,
                                 failure);
}

}  // namespace platform::backends
