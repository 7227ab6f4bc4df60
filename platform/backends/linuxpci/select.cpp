// TV940_DEVICE values other than "sim" on Linux: a PCI address or a device
// directory, served by the VFIO backend when the device is bound to vfio-pci
// and by the sysfs backend otherwise. A value that names no usable device
// fails the open; there is no fallback to another backend.
#include <string>

#include "platform/backends/linuxpci/pci_address.h"
#include "platform/backends/linuxpci/pci_device.h"
#include "platform/backends/vfio/vfio_device.h"
#include "platform/backends/vfio/vfio_kernel.h"
#include "platform/device.h"

namespace platform {

std::shared_ptr<Device> openSelectedDevice(const char* selector,
                                           std::string* failure) {
  std::string reason;
  std::string directory;
  std::shared_ptr<Device> device;
  if (selector != nullptr &&
      linuxpci::resolveDeviceDirectory(selector, linuxpci::kSysfsDevices,
                                       &directory, &reason)) {
    device = vfio::servesDirectory(directory)
                 ? vfio::openVfioDirectory(directory, vfio::kVfioNodes, &reason)
                 : linuxpci::openDeviceDirectory(
                       directory, linuxpci::kDeviceNodes, &reason);
  } else if (selector == nullptr) {
    reason = "no device selected";
  }
  if (device == nullptr && failure != nullptr) *failure = reason;
  return device;
}

}  // namespace platform
