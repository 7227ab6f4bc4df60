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
#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/backends/linuxpci/uio_interrupts.h"

namespace platform::linuxpci {
namespace {

// A size in the form the failure lines give it.
std::string hex(std::uint64_t value) {
  return "0x" + card::hexText(value, 1, true);
}

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

class PciDevice final : public Device {
 public:
  PciDevice(Parts parts, Reports& reports)
      : parts_(std::move(parts)),
        interrupts_(uioSource(parts_.config.get(), std::move(parts_.uio.node)),
                    reports) {}
  ~PciDevice() override {
    interrupts_.stop();
    // Board objects may still hold the window after this device is replaced.
    if (windowHandedOut_.load()) parts_.window.retire();
  }

  PciDevice(const PciDevice&) = delete;
  PciDevice& operator=(const PciDevice&) = delete;

  bool startInterrupts(std::string* failure) {
    return interrupts_.start(failure);
  }

  const char* backend() const override { return "linux pci"; }

  // Request 0: the device is still there, answers, and decodes its regions.
  bool check(std::string* failure) override {
    *failure = unusable();
    return failure->empty();
  }

  // Request 6: the mapping of resource0.
  bool mapWindow(Window* window, std::string* /*failure*/) override {
    windowHandedOut_.store(true);
    *window = Window{parts_.window.base(), parts_.window.size()};
    return true;
  }

  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override {
    return serveRequest({parts_.window, parts_.config.get(), 0, interrupts_},
                        code, inBuffer, inSize, outBuffer, outSize,
                        bytesReturned);
  }

  void portOut32(std::uint16_t port, std::uint32_t value) override {
    ports().write(port, value);
  }

  std::uint32_t portIn32(std::uint16_t port) override {
    std::uint32_t value;
    if (ports().read(port, &value)) return value;
    return 0xFFFFFFFFu;  // nothing answers: the bus floats high
  }

  // The window and the ports stay in use until the device is replaced; the
  // interrupts and the hold on the card end with the connection.
  void onClose() override {
    interrupts_.stop();
    unlockCard(parts_.config.get());
  }

 private:
  std::string path(const char* file) const {
    return parts_.directory + "/" + file;
  }

  // Why the device cannot be used now, or "".
  std::string unusable() const {
    std::string files[] = {path("config"), path("resource0"),
                           parts_.ports.valid() ? path("resource1") : "",
                           parts_.uio.path};
    for (const std::string& file : files) {
      struct stat status;
      if (!file.empty() && ::stat(file.c_str(), &status) != 0) {
        return file + " is gone: " + card::systemErrorText(errno);
      }
    }
    return headerProblem(parts_.config.get(), 0, path("config"),
                         parts_.ports.valid(),
                         "enable the device (write 1 to " + path("enable") +
                             ") or bind it to uio_pci_generic");
  }

  // The port region: resource1 from its start.
  PortRegion ports() const {
    return PortRegion{parts_.ports.get(), 0, parts_.ioBase,
                      parts_.portRegionSize};
  }

  Parts parts_;
  InterruptWatcher interrupts_;  // after parts_, whose config file it uses
  std::atomic<bool> windowHandedOut_{false};
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
    *failure = file + " spans " + hex(size) + " bytes; the chip window needs " +
               hex(card::kWindowSize);
    return false;
  }
  void* base =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) {
    *failure = "cannot map " + file +
               " (the chip window): " + card::systemErrorText(errno);
    return false;
  }
  parts->window = Mapping(static_cast<std::uint8_t*>(base), size);
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
               hex(std::uint64_t(status.st_size)) + " bytes; the ports need " +
               hex(card::kPortSpan);
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
  auto device = std::make_shared<PciDevice>(std::move(parts), reports);
  if (!device->startInterrupts(&reason)) {
    if (failure != nullptr) *failure = reason;
    return nullptr;
  }
  return device;
}

}  // namespace platform::linuxpci
