// The kernel's VFIO interface as the backend uses it: the container and group
// nodes, the device's regions and its INTx interrupt. No DMA mapping is ever
// made: the card does no DMA.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::vfio {

using linuxpci::FileDescriptor;

// Where VFIO's nodes are: the container "vfio" and one node per IOMMU group.
inline constexpr const char* kVfioNodes = "/dev/vfio";

// A device opened through its group, with the group in a container that has
// the type-1 IOMMU set.
struct VfioHandles {
  FileDescriptor container;
  FileDescriptor group;
  FileDescriptor device;
  std::string groupNode;  // nodes/N
};

// Opens the device of a sysfs device directory (named `device`, its PCI
// address) through the nodes in `nodes`. The group must be viable: every
// other device in it bound to vfio-pci or to no driver. False with *failure
// naming the device, the reason and what to do.
bool openVfioDevice(const std::string& directory, const std::string& device,
                    const std::string& nodes, VfioHandles* vfio,
                    std::string* failure);

// The number of the device's IOMMU group (its iommu_group link), "" when it
// is in none: the machine has no IOMMU that serves it.
std::string iommuGroup(const std::string& directory);

// The failure of a device that no IOMMU serves; reason says how it shows.
std::string noIommuFailure(const std::string& device,
                           const std::string& reason);

// A region of the device: where it lies in the device descriptor's offsets.
struct Region {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t flags = 0;  // VFIO_REGION_INFO_FLAG_*
};

// The region with a VFIO region index; false with errno.
bool regionInfo(int device, std::uint32_t index, Region* region);

// The number of INTx interrupts the device has (0 without an interrupt pin).
std::uint32_t intxCount(int device);

// Signals eventfd at every INTx interrupt; -1 signals nothing from now on.
bool setIntxTrigger(int device, int eventfd);

// Lets the next INTx interrupt through: VFIO masks it as it fires.
bool unmaskIntx(int device);

// A process other than this one (not necessarily the only one) that holds
// `node` open, from /proc/N/fd; 0 when none that this program may see does.
pid_t processHolding(const std::string& node);

}  // namespace platform::vfio
