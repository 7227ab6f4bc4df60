// A real card reached through the kernel's files for its PCI device:
//   config     the configuration header (request 5, the I/O base, the command
//              register for the decode checks and the interrupt-disable bit),
//              and the lock that keeps the card to one open (card_lock.h);
//   resource0  the chip window, mapped shared into the program (request 6);
//              requests 1 and 2 are word accesses on that mapping;
//   resource1  the I/O region of the control ports: one 4-byte pread or pwrite
//              per port access, which the kernel turns into one 32-bit port
//              instruction;
//   uio/uioN   present when the device is bound to uio_pci_generic: the
//              device node's reads deliver the interrupt count
//              (uio_interrupts.h).
// This file holds the open sequence and the dispatch of the requests.
#include "platform/backends/linuxpci/pci_device.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "card/bytes.h"
#include "card/card_map.h"
#include "card/hex.h"
#include "card/system_error.h"
#include "platform/backends/linuxpci/card_access.h"
#include "platform/backends/linuxpci/card_lock.h"
#include "platform/backends/linuxpci/linux_device.h"
#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/backends/linuxpci/uio_interrupts.h"

namespace platform::linuxpci {
namespace {

// Everything an open gathered, handed to the device whole.
struct Parts {
  std::string directory;
  FileDescriptor config;
  bool configWritable = false;
  Mapping window;
  FileDescriptor ports;  // invalid when register 1 is not an I/O register
  std::uint16_t ioBase = 0;
  std::uint64_t portRegionSize = 0;
  UioNode uio;
};

// Where the card's parts are: the config file from its start, resource1
// from its start, and the UIO node's interrupts.
LinuxDevice::Sources sourcesOf(Parts& parts) {
  const std::string config = parts.directory + "/config";
  return {std::move(parts.window), parts.config.get(), 0,
          PortRegion{parts.ports.get(), 0, parts.ioBase, parts.portRegionSize},
          parts.directory + "/resource1",
          // The node's path stays in parts for the check.
          uioSource(parts.config.get(), config,
                    UioNode{parts.uio.path, std::move(parts.uio.node)})};
}

class PciDevice final : public LinuxDevice {
 public:
  PciDevice(Parts parts, Reports& reports)
      : LinuxDevice(sourcesOf(parts), reports), parts_(std::move(parts)) {}
  // The watcher ends before the config file it unmasks through closes; the
  // window's range goes back to the pool with the base.
  ~PciDevice() override { stopInterrupts(); }

  const char* backend() const override { return "linux pci"; }

  // Request 0: the device is still there, answers, and decodes its regions.
  bool check(std::string* failure) override {
    *failure = unusable();
    return failure->empty();
  }

  // The seam reaches the ports and the window no more; the interrupts and
  // the hold on the card end with the connection. The window's range goes
  // back when the device does.
  void onClose() override {
    stopInterrupts();
    unlockCard(parts_.config.get());
  }

 private:
  std::string path(const char* file) const {
    return parts_.directory + "/" + file;
  }

  // Why the device cannot be used now, or "".
  std::string unusable() const {
    std::string files[] = {path("config"), path("resource0"),
                           hasPorts() ? path("resource1") : "",
                           parts_.uio.path};
    for (const std::string& file : files) {
      struct stat status;
      if (!file.empty() && ::stat(file.c_str(), &status) != 0) {
        return file + " is gone: " + card::systemErrorText(errno);
      }
    }
    return headerProblem(parts_.config.get(), 0, path("config"), hasPorts(),
                         "enable the device (write 1 to " + path("enable") +
                             ") or bind it to uio_pci_generic");
  }

  Parts parts_;  // the descriptors the base reads through
};

// ---- The open sequence ----

bool openConfig(Parts* parts, ConfigBlock* block, std::string* failure) {
  const std::string file = parts->directory + "/config";
  parts->config = openFile(file, &parts->configWritable);
  if (!parts->config.valid()) {
    if (errno == ENOENT) {
      *failure = parts->directory + " has no config file: not a PCI device";
    } else {
      *failure = "cannot open " + file + ": " + card::systemErrorText(errno);
    }
    return false;
  }
  if (!lockCard(parts->config.get(), deviceName(parts->directory), failure)) {
    return false;
  }
  const ssize_t n = readConfigBlock(parts->config.get(), block);
  if (n < 0) {
    *failure = "cannot read " + file + ": " + card::systemErrorText(errno);
    return false;
  }
  if (n < ssize_t(card::kPciHeaderSize)) {
    *failure = file + " holds " + std::to_string(n) +
               " bytes, less than a PCI configuration header (" +
               std::to_string(card::kPciHeaderSize) + ")";
    return false;
  }
  return true;
}

bool mapChipWindow(Parts* parts, std::string* failure) {
  const std::string file = parts->directory + "/resource0";
  FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
    *failure = "cannot open " + file +
               " (the chip window): " + card::systemErrorText(errno);
    return false;
  }
  const std::uint64_t size = std::uint64_t(status.st_size);
  if (!S_ISREG(status.st_mode) || size < card::kWindowSize) {
    *failure = file + " spans " + sizeText(size) +
               " bytes; the chip window needs " + sizeText(card::kWindowSize);
    return false;
  }
  if (!parts->window.map(fd.get(), size)) {
    *failure = "cannot map " + file +
               " (the chip window): " + card::systemErrorText(errno);
    return false;
  }
  return true;
}

bool openPorts(Parts* parts, std::uint32_t register1, std::string* failure) {
  // Register 1 that is not an I/O register: the card has no port region the
  // ports could reach, and the library refuses the block itself.
  if ((register1 & card::kIoSpaceIndicator) == 0) return true;
  const std::string file = parts->directory + "/resource1";
  parts->ports.reset(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  struct stat status;
  if (!parts->ports.valid() || ::fstat(parts->ports.get(), &status) != 0) {
    *failure = "cannot open " + file +
               " (the control ports): " + card::systemErrorText(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) {
    *failure = file + " (the control ports) is not a usable I/O region";
    return false;
  }
  if (std::uint64_t(status.st_size) < card::kPortSpan) {
    *failure = file + " (the control ports) spans " +
               sizeText(std::uint64_t(status.st_size)) +
               " bytes; the ports need " + sizeText(card::kPortSpan);
    return false;
  }
  parts->ioBase = std::uint16_t(register1 & card::kIoDecodeMask);
  parts->portRegionSize = std::uint64_t(status.st_size);
  return true;
}

// A kernel driver other than uio_pci_generic owns the device: nothing of
// this backend may touch it (a device bound to vfio-pci has a backend of its
// own).
bool checkDriver(const std::string& directory, std::string* failure) {
  const std::string driver = driverOf(directory);
  if (driver.empty() || driver == "uio_pci_generic") return true;
  const std::string device = deviceName(directory);
  *failure = "the device " + device + " is bound to the kernel driver " +
             driver + ", which owns it; unbind it first (echo " + device +
             " | sudo tee " + directory + "/driver/unbind), or bind it to " +
             "uio_pci_generic or vfio-pci";
  return false;
}

}  // namespace

std::shared_ptr<Device> openDeviceDirectory(const std::string& directory,
                                            const std::string& deviceNodes,
                                            Reports& reports,
                                            std::string* failure) {
  std::string reason;
  Parts parts;
  parts.directory = directory;
  ConfigBlock block;
  if (!checkDriver(directory, &reason) ||
      !openConfig(&parts, &block, &reason) || !mapChipWindow(&parts, &reason) ||
      !openPorts(&parts, card::loadLe32(&block[card::kBaseAddress1]),
                 &reason) ||
      !openUioNode(directory, deviceNodes, parts.configWritable, &parts.uio,
                   &reason)) {
    if (failure != nullptr) *failure = reason;
    return nullptr;
  }
  return LinuxDevice::started(
      std::make_shared<PciDevice>(std::move(parts), reports), failure);
}

}  // namespace platform::linuxpci
