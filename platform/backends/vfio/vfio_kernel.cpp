#include "platform/backends/vfio/vfio_kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "card/system_error.h"
#include "platform/backends/linuxpci/card_lock.h"

namespace platform::vfio {
namespace {

using linuxpci::deviceName;
using linuxpci::driverOf;

// Drivers a device may have while another device of its group is used
// through VFIO (besides none): the kernel's own list.
bool allowedInGroup(const std::string& driver) {
  return driver.empty() || driver == "vfio-pci" || driver == "pci-stub" ||
         driver == "pcieport";
}

std::string modeOf(const std::string& node) {
  struct stat status;
  if (::stat(node.c_str(), &status) != 0) return "";
  char text[64];
  std::snprintf(text, sizeof text, " (owner %u, group %u, mode %04o)",
                unsigned(status.st_uid), unsigned(status.st_gid),
                unsigned(status.st_mode & 07777));
  return text;
}

// The other devices of the group that keep it from being viable, each with
// its driver.
std::string groupBlockers(const std::string& directory,
                          const std::string& device) {
  const std::string members = directory + "/iommu_group/devices";
  std::string list;
  DIR* entries = ::opendir(members.c_str());
  if (entries == nullptr) return list;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == device) continue;
    const std::string driver = driverOf(members + "/" + name);
    if (allowedInGroup(driver)) continue;
    list += (list.empty() ? "" : ", ") + name + " (bound to " + driver + ")";
  }
  ::closedir(entries);
  return list;
}

bool openContainer(const std::string& nodes, const std::string& device,
                   VfioHandles* vfio, std::string* failure) {
  const std::string node = nodes + "/vfio";
  vfio->container.reset(::open(node.c_str(), O_RDWR | O_CLOEXEC));
  if (!vfio->container.valid()) {
    *failure =
        "cannot open " + node + " (the VFIO container) for the device " +
        device + ": " + card::systemErrorText(errno) +
        (errno == ENOENT ? "; load vfio-pci (sudo modprobe vfio-pci)" : "");
    return false;
  }
  const int version = ::ioctl(vfio->container.get(), VFIO_GET_API_VERSION);
  if (version != VFIO_API_VERSION) {
    *failure = node + " speaks VFIO version " + std::to_string(version) +
               ", not " + std::to_string(VFIO_API_VERSION) +
               " as this program does";
    return false;
  }
  if (::ioctl(vfio->container.get(), VFIO_CHECK_EXTENSION, VFIO_TYPE1_IOMMU) <=
      0) {
    *failure = noIommuFailure(
        device, "has no type-1 IOMMU behind it (" + node + " offers none)");
    return false;
  }
  return true;
}

bool openGroup(const std::string& node, const std::string& device,
               VfioHandles* vfio, std::string* failure) {
  vfio->groupNode = node;
  vfio->group.reset(::open(node.c_str(), O_RDWR | O_CLOEXEC));
  if (vfio->group.valid()) return true;
  const int error = errno;
  if (error == EBUSY) {
    *failure = linuxpci::inUseFailure(device, processHolding(node)) +
               " (its VFIO group " + node + " is open)";
  } else if (error == EACCES || error == EPERM) {
    *failure = "cannot open " + node + ", the VFIO group of the device " +
               device + ": " + card::systemErrorText(error) + modeOf(node) +
               ": install the udev rule 70-tv940-vfio.rules, which gives the "
               "group tv940 read and write access to it, and join that group";
  } else if (error == ENOENT) {
    *failure = "the device " + device + " is bound to vfio-pci but its group " +
               "node " + node + " is missing: rebind it (docs/linux.md)";
  } else {
    *failure = "cannot open " + node + ", the VFIO group of the device " +
               device + ": " + card::systemErrorText(error);
  }
  return false;
}

bool joinContainer(const std::string& directory, const std::string& device,
                   VfioHandles* vfio, std::string* failure) {
  vfio_group_status status{};
  status.argsz = sizeof status;
  if (::ioctl(vfio->group.get(), VFIO_GROUP_GET_STATUS, &status) != 0) {
    *failure = "cannot read the state of " + vfio->groupNode + ": " +
               card::systemErrorText(errno);
    return false;
  }
  if ((status.flags & VFIO_GROUP_FLAGS_VIABLE) == 0) {
    const std::string blockers = groupBlockers(directory, device);
    *failure = "the VFIO group " + vfio->groupNode + " of the device " +
               device + " is not usable: every device in it must be bound " +
               "to vfio-pci or to no driver" +
               (blockers.empty() ? ""
                                 : "; bind these to vfio-pci or unbind " +
                                       std::string("them: ") + blockers);
    return false;
  }
  int container = vfio->container.get();
  if (::ioctl(vfio->group.get(), VFIO_GROUP_SET_CONTAINER, &container) != 0 ||
      ::ioctl(container, VFIO_SET_IOMMU, VFIO_TYPE1_IOMMU) != 0) {
    *failure = "cannot set up the IOMMU for the device " + device + " (" +
               vfio->groupNode + "): " + card::systemErrorText(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string iommuGroup(const std::string& directory) {
  char target[4096];
  const std::string link = directory + "/iommu_group";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  return deviceName(target);
}

std::string noIommuFailure(const std::string& device,
                           const std::string& reason) {
  return "the device " + device + " " + reason +
         ": vfio-pci needs an IOMMU; enable VT-d (Intel) or AMD-Vi (AMD) in "
         "the firmware and boot Linux with intel_iommu=on (AMD's is on by "
         "default), or bind the device to uio_pci_generic instead";
}

bool openVfioDevice(const std::string& directory, const std::string& device,
                    const std::string& nodes, VfioHandles* vfio,
                    std::string* failure) {
  const std::string group = iommuGroup(directory);
  if (group.empty()) {
    *failure = noIommuFailure(device, "is in no IOMMU group");
    return false;
  }
  if (!openContainer(nodes, device, vfio, failure) ||
      !openGroup(nodes + "/" + group, device, vfio, failure) ||
      !joinContainer(directory, device, vfio, failure)) {
    return false;
  }
  vfio->device.reset(
      ::ioctl(vfio->group.get(), VFIO_GROUP_GET_DEVICE_FD, device.c_str()));
  if (!vfio->device.valid()) {
    *failure = "VFIO does not give the device " + device + " from " +
               vfio->groupNode + ": " + card::systemErrorText(errno);
    return false;
  }
  return true;
}

bool regionInfo(int device, std::uint32_t index, Region* region) {
  vfio_region_info info{};
  info.argsz = sizeof info;
  info.index = index;
  if (::ioctl(device, VFIO_DEVICE_GET_REGION_INFO, &info) != 0) return false;
  region->offset = info.offset;
  region->size = info.size;
  region->flags = info.flags;
  return true;
}

std::uint32_t intxCount(int device) {
  vfio_irq_info info{};
  info.argsz = sizeof info;
  info.index = VFIO_PCI_INTX_IRQ_INDEX;
  if (::ioctl(device, VFIO_DEVICE_GET_IRQ_INFO, &info) != 0) return 0;
  return info.count;
}

namespace {

// VFIO_DEVICE_SET_IRQS for INTx with a data part of `size` bytes.
bool setIrqs(int device, std::uint32_t flags, std::uint32_t count,
             const void* data, std::size_t size) {
  std::vector<std::uint8_t> buffer(sizeof(vfio_irq_set) + size);
  vfio_irq_set set{};
  set.argsz = std::uint32_t(buffer.size());
  set.flags = flags;
  set.index = VFIO_PCI_INTX_IRQ_INDEX;
  set.start = 0;
  set.count = count;
  std::memcpy(buffer.data(), &set, sizeof set);
  if (size != 0) std::memcpy(buffer.data() + sizeof set, data, size);
  return ::ioctl(device, VFIO_DEVICE_SET_IRQS, buffer.data()) == 0;
}

}  // namespace

bool setIntxTrigger(int device, int eventfd) {
  if (eventfd < 0) {
    return setIrqs(device, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER,
                   0, nullptr, 0);
  }
  const std::int32_t fd = eventfd;
  return setIrqs(device,
                 VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER, 1,
                 &fd, sizeof fd);
}

bool unmaskIntx(int device) {
  return setIrqs(device, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK, 1,
                 nullptr, 0);
}

pid_t processHolding(const std::string& node) {
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return 0;
  pid_t holder = 0;
  while (holder == 0) {
    const dirent* process = ::readdir(processes);
    if (process == nullptr) break;
    const std::string name = process->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos ||
        name == std::to_string(::getpid())) {
      continue;  // not a process, or this one, which would know
    }
    const std::string fds = "/proc/" + name + "/fd";
    DIR* entries = ::opendir(fds.c_str());
    if (entries == nullptr) continue;  // another user's, or gone
    while (const dirent* entry = ::readdir(entries)) {
      char target[4096];
      const std::string link = fds + "/" + entry->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
      if (n > 0 && std::string(target, std::size_t(n)) == node) {
        holder = pid_t(std::stol(name));
        break;
      }
    }
    ::closedir(entries);
  }
  ::closedir(processes);
  return holder;
}

}  // namespace platform::vfio
