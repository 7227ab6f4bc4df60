// A real card reached through VFIO: one device descriptor whose regions are
//   BAR0       the chip window, mapped shared into the program (request 6);
//              requests 1 and 2 are word accesses on that mapping;
//   BAR1       the control ports: one 4-byte pread or pwrite per port access
//              (the kernel maps no I/O region);
//   config     region 7, the configuration space: request 5 and the checks;
// each at the offset VFIO_DEVICE_GET_REGION_INFO gives. The INTx interrupt
// signals an eventfd; VFIO masks it as it fires and the watcher unmasks it.
// The device's sysfs config file carries the lock that keeps the card to one
// open (card_lock.h), as the sysfs backend's does.
#include "platform/backends/vfio/vfio_device.h"

#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "card/bytes.h"
#include "card/card_map.h"
#include "card/hex.h"
#include "card/system_error.h"
#include "platform/backends/linuxpci/card_access.h"
#include "platform/backends/linuxpci/card_lock.h"
#include "platform/backends/linuxpci/interrupt_watcher.h"
#include "platform/backends/linuxpci/linux_device.h"
#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/backends/vfio/vfio_kernel.h"

namespace platform::vfio {
namespace {

using linuxpci::ConfigBlock;
using linuxpci::InterruptSource;
using linuxpci::Mapping;
using linuxpci::PortRegion;

// The INTx interrupt as VFIO delivers it: each read of the eventfd gives the
// interrupts since the last one; the watcher's word is their running count.
class IntxSource final : public InterruptSource {
 public:
  IntxSource(int device, std::string name, FileDescriptor eventfd)
      : device_(device), name_(std::move(name)), eventfd_(std::move(eventfd)) {}

  int descriptor() const override { return eventfd_.get(); }
  bool rearm(std::string* failure) override {
    if (unmaskIntx(device_)) return true;
    *failure = card::systemErrorText(errno);
    return false;
  }
  Take take(std::uint32_t* count, std::string* failure) override {
    std::uint64_t fired;
    const ssize_t n = ::read(eventfd_.get(), &fired, sizeof fired);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Take::Again;
    if (n != ssize_t(sizeof fired)) {
      *failure = n < 0 ? card::systemErrorText(errno)
                       : std::to_string(n) + " of 8 bytes read";
      return Take::Failed;
    }
    total_ += std::uint32_t(fired);
    *count = total_;
    return Take::Taken;
  }
  std::string rearmName() const override {
    return "interrupt unmask (VFIO INTx) of the device " + name_;
  }
  std::string waitName() const override {
    return "interrupt wait (VFIO INTx eventfd) of the device " + name_;
  }

 private:
  const int device_;
  const std::string name_;
  FileDescriptor eventfd_;
  std::uint32_t total_ = 0;
};

// Everything an open gathered, handed to the device whole.
struct Parts {
  std::string directory;
  std::string device;   // its PCI address
  FileDescriptor lock;  // the sysfs config file, locked
  VfioHandles vfio;
  Region config;
  Mapping window;
  PortRegion ports;  // in the device descriptor; fd -1 without an I/O BAR1
  FileDescriptor interrupt;  // eventfd, invalid without INTx
};

// Where the card's parts are: the configuration space and BAR1 are regions
// of the device descriptor; the INTx interrupt signals the eventfd.
linuxpci::LinuxDevice::Sources sourcesOf(Parts& parts) {
  const int device = parts.vfio.device.get();
  std::unique_ptr<InterruptSource> intx;
  if (parts.interrupt.valid()) {
    intx = std::make_unique<IntxSource>(device, parts.device,
                                        std::move(parts.interrupt));
  }
  return {std::move(parts.window),
          device,
          off_t(parts.config.offset),
          parts.ports,
          "BAR1 (the control ports) of the device " + parts.device,
          std::move(intx)};
}

class VfioDevice final : public linuxpci::LinuxDevice {
 public:
  VfioDevice(Parts parts, Reports& reports)
      : LinuxDevice(sourcesOf(parts), reports), parts_(std::move(parts)) {}
  ~VfioDevice() override { release(); }

  const char* backend() const override { return "linux vfio"; }

  // Request 0: the group is still there and the device answers and decodes.
  bool check(std::string* failure) override {
    struct stat status;
    if (::stat(parts_.vfio.groupNode.c_str(), &status) != 0) {
      *failure =
          parts_.vfio.groupNode + " is gone: " + card::systemErrorText(errno);
    } else {
      *failure = linuxpci::headerProblem(
          configDescriptor(), configStart(),
          "the configuration space of " + parts_.device, hasPorts(),
          "vfio-pci enabled it at the open and something has switched it "
          "off since; close the board and open it again");
    }
    return failure->empty();
  }

  // The card goes back to vfio-pci at the close, so that another open, in
  // this program or another, can take it.
  void onClose() override { release(); }

 private:
  void release();

  Parts parts_;  // the descriptors the base reads through
  std::atomic<bool> released_{false};
};

// Gives the card back: the interrupt is off, the window's range holds zero
// pages (a pointer handed out, or an access racing with the close, stays
// harmless), and the device descriptor reads as /dev/null, so that a port
// access racing with the close reaches nothing, never a file that takes its
// number.
void VfioDevice::release() {
  if (released_.exchange(true)) return;
  stopInterrupts();
  const int device = parts_.vfio.device.get();
  if (device >= 0) setIntxTrigger(device, -1);
  window().release();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (device >= 0 && null >= 0) ::dup3(null, device, O_CLOEXEC);
  if (null >= 0) ::close(null);
  parts_.vfio.group.reset();
  parts_.vfio.container.reset();
  linuxpci::unlockCard(parts_.lock.get());
  parts_.lock.reset();
}

// ---- The open sequence ----

// The driver the device has, or the reason it has none yet.
bool checkBinding(const Parts& parts, std::string* failure) {
  if (linuxpci::driverOf(parts.directory) == "vfio-pci") return true;
  const std::string reason =
      "is set to be bound to vfio-pci (its driver_override) but no driver "
      "is bound";
  if (iommuGroup(parts.directory).empty()) {
    *failure = noIommuFailure(parts.device, reason +
                                                ", and it is in no "
                                                "IOMMU group");
  } else {
    *failure = "the device " + parts.device + " " + reason +
               ": load vfio-pci and bind it (sudo modprobe vfio-pci; echo " +
               parts.device + " | sudo tee /sys/bus/pci/drivers_probe)";
  }
  return false;
}

bool lockCard(Parts* parts, std::string* failure) {
  const std::string file = parts->directory + "/config";
  parts->lock.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!parts->lock.valid()) {
    *failure = "cannot open " + file + ": " + card::systemErrorText(errno);
    return false;
  }
  return linuxpci::lockCard(parts->lock.get(), parts->device, failure);
}

bool readConfig(Parts* parts, ConfigBlock* block, std::string* failure) {
  const int device = parts->vfio.device.get();
  if (!regionInfo(device, VFIO_PCI_CONFIG_REGION_INDEX, &parts->config)) {
    *failure = "VFIO gives no configuration space of the device " +
               parts->device + ": " + card::systemErrorText(errno);
    return false;
  }
  const ssize_t n =
      linuxpci::readConfigBlock(device, block, off_t(parts->config.offset));
  if (n < ssize_t(card::kPciHeaderSize)) {
    *failure =
        "cannot read the configuration space of the device " + parts->device +
        " through VFIO" +
        (n < 0 ? ": " + card::systemErrorText(errno) : " (it reads short)");
    return false;
  }
  return true;
}

bool mapChipWindow(Parts* parts, std::string* failure) {
  const int device = parts->vfio.device.get();
  Region bar0;
  if (!regionInfo(device, VFIO_PCI_BAR0_REGION_INDEX, &bar0) ||
      bar0.size < card::kWindowSize) {
    *failure = "BAR0 (the chip window) of the device " + parts->device +
               " spans " + linuxpci::sizeText(bar0.size) +
               " bytes; the chip window needs " +
               linuxpci::sizeText(card::kWindowSize);
    return false;
  }
  const bool mappable = (bar0.flags & VFIO_REGION_INFO_FLAG_MMAP) != 0;
  if (!mappable || !parts->window.map(device, bar0.size, off_t(bar0.offset))) {
    *failure = "cannot map BAR0 (the chip window) of the device " +
               parts->device + ": " +
               (!mappable ? std::string("VFIO does not let it be mapped")
                          : card::systemErrorText(errno));
    return false;
  }
  return true;
}

bool openPorts(Parts* parts, std::uint32_t register1, std::string* failure) {
  // Register 1 that is not an I/O register: the card has no port region the
  // ports could reach, and the library refuses the block itself.
  if ((register1 & card::kIoSpaceIndicator) == 0) return true;
  const int device = parts->vfio.device.get();
  Region bar1;
  if (!regionInfo(device, VFIO_PCI_BAR1_REGION_INDEX, &bar1) ||
      bar1.size < card::kPortSpan) {
    *failure = "BAR1 (the control ports) of the device " + parts->device +
               " spans " + linuxpci::sizeText(bar1.size) +
               " bytes; the ports need " + linuxpci::sizeText(card::kPortSpan);
    return false;
  }
  parts->ports =
      PortRegion{device, off_t(bar1.offset),
                 std::uint16_t(register1 & card::kIoDecodeMask), bar1.size};
  return true;
}

// The INTx interrupt to an eventfd, when the card has an interrupt pin.
bool routeInterrupt(Parts* parts, const ConfigBlock& block,
                    std::string* failure) {
  const int device = parts->vfio.device.get();
  if (block[card::kInterruptLine + 1] == 0 || intxCount(device) == 0) {
    return true;
  }
  parts->interrupt.reset(::eventfd(0, EFD_CLOEXEC));
  if (!parts->interrupt.valid() ||
      !setIntxTrigger(device, parts->interrupt.get())) {
    const int error = errno;
    *failure = "VFIO cannot hand the interrupt of the device " + parts->device +
               " to this program: " + card::systemErrorText(error) +
               (error == EBUSY
                    ? " (its line is shared, which a card that cannot mask "
                      "its interrupt does not allow; move the card to a slot "
                      "whose line it has alone)"
                    : "");
    return false;
  }
  return true;
}

// The kernel's name of the device: the last part of its directory's real
// path.
std::string kernelName(const std::string& directory) {
  char resolved[PATH_MAX];
  if (::realpath(directory.c_str(), resolved) == nullptr) {
    return linuxpci::deviceName(directory);
  }
  return linuxpci::deviceName(resolved);
}

}  // namespace

bool servesDirectory(const std::string& directory) {
  const std::string driver = linuxpci::driverOf(directory);
  return driver == "vfio-pci" ||
         (driver.empty() &&
          linuxpci::firstLine(directory + "/driver_override") == "vfio-pci");
}

std::shared_ptr<Device> openVfioDirectory(const std::string& directory,
                                          const std::string& nodes,
                                          Reports& reports,
                                          std::string* failure) {
  std::string reason;
  Parts parts;
  parts.directory = directory;
  parts.device = kernelName(directory);
  ConfigBlock block;
  if (!checkBinding(parts, &reason) || !lockCard(&parts, &reason) ||
      !openVfioDevice(directory, parts.device, nodes, &parts.vfio, &reason) ||
      !readConfig(&parts, &block, &reason) || !mapChipWindow(&parts, &reason) ||
      !openPorts(&parts, card::loadLe32(&block[card::kBaseAddress1]),
                 &reason) ||
      !routeInterrupt(&parts, block, &reason)) {
    if (failure != nullptr) *failure = reason;
    return nullptr;
  }
  return linuxpci::LinuxDevice::started(
      std::make_shared<VfioDevice>(std::move(parts), reports), failure);
}

}  // namespace platform::vfio
