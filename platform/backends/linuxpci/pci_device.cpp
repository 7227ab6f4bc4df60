// A real card reached through the kernel's files for its PCI device:
//   config     the configuration header (request 5, the I/O base, the command
//              register for the decode checks and the interrupt-disable bit);
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
        interrupts_(parts_.config.get(), std::move(parts_.uio), reports) {}
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
    std::uint32_t returned = 0;
    bool ok = false;
    switch (DriverRequest(code)) {
      case DriverRequest::WriteWord:
        ok = writeWindow(reinterpret_cast<std::uintptr_t>(outBuffer), inBuffer,
                         inSize);
        break;
      case DriverRequest::ReadWords:
        ok = readWindow(reinterpret_cast<std::uintptr_t>(outBuffer), inBuffer,
                        inSize, &returned);
        break;
      case DriverRequest::SetInterruptEvent:
        ok = interrupts_.setEvent(static_cast<Handle>(inBuffer));
        break;
      case DriverRequest::Shutdown:
        interrupts_.stop();
        ok = true;
        break;
      case DriverRequest::GetConfigInfo:
        ok = configInfo(outBuffer, outSize, &returned);
        break;
      case DriverRequest::GetInterruptWord:
        ok = interrupts_.interruptWord(outBuffer, outSize, &returned);
        break;
      default:
        break;
    }
    if (bytesReturned != nullptr) *bytesReturned = ok ? returned : 0;
    return ok;
  }

  void portOut32(std::uint16_t port, std::uint32_t value) override {
    off_t offset;
    if (portOffset(port, &offset)) writeWord(parts_.ports.get(), value, offset);
  }

  std::uint32_t portIn32(std::uint16_t port) override {
    off_t offset;
    std::uint32_t value;
    if (portOffset(port, &offset) &&
        readWord(parts_.ports.get(), &value, offset)) {
      return value;
    }
    return 0xFFFFFFFFu;  // nothing answers: the bus floats high
  }

  // The window and the ports stay in use until the device is replaced; only
  // the interrupts end with the connection.
  void onClose() override { interrupts_.stop(); }

 private:
  std::string path(const char* file) const {
    return parts_.directory + "/" + file;
  }

  // Why the device cannot be used now, or "".
  std::string unusable() const {
    std::string files[] = {path("config"), path("resource0"),
                           parts_.ports.valid() ? path("resource1") : "",
                           interrupts_.nodePath()};
    for (const std::string& file : files) {
      struct stat status;
      if (!file.empty() && ::stat(file.c_str(), &status) != 0) {
        return file + " is gone: " + card::systemErrorText(errno);
      }
    }
    std::uint8_t head[8];
    const ssize_t n = readAt(parts_.config.get(), head, sizeof head, 0);
    if (n < 0)
      return "cannot read " + path("config") + ": " +
             card::systemErrorText(errno);
    if (n < ssize_t(sizeof head)) return path("config") + " reads short";
    if (head[0] == 0xFF && head[1] == 0xFF) {
      return "the device does not answer (its vendor ID reads 0xFFFF)";
    }
    const std::uint16_t command = std::uint16_t(
        head[card::kCommandRegister] | head[card::kCommandRegister + 1] << 8);
    const std::string enable = ": enable the device (write 1 to " +
                               path("enable") +
                               ") or bind it to uio_pci_generic";
    if ((command & card::kCommandMemorySpace) == 0) {
      return "the device's memory decoding is off (command register bit 1)" +
             enable;
    }
    if (parts_.ports.valid() && (command & card::kCommandIoSpace) == 0) {
      return "the device's I/O decoding is off (command register bit 0)" +
             enable;
    }
    return "";
  }

  // count words at a byte offset of the window, or null when the offset is
  // not word-aligned or any word lies outside the mapping.
  volatile std::uint32_t* windowWords(std::uintptr_t offset,
                                      std::uint32_t count) const {
    const std::size_t size = parts_.window.size();
    if (offset % 4 != 0 || offset > size || (size - offset) / 4 < count) {
      return nullptr;
    }
    return reinterpret_cast<volatile std::uint32_t*>(parts_.window.base() +
                                                     offset);
  }

  // Request 1: count words from source, one 32-bit store each.
  bool writeWindow(std::uintptr_t offset, const void* source,
                   std::uint32_t count) {
    volatile std::uint32_t* target = windowWords(offset, count);
    if (target == nullptr || (source == nullptr && count != 0)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t value;
      std::memcpy(&value, static_cast<const std::uint8_t*>(source) + 4 * i,
                  sizeof value);
      target[i] = value;
    }
    return true;
  }

  // Request 2: count words into buffer, one 32-bit load each, ascending.
  bool readWindow(std::uintptr_t offset, void* buffer, std::uint32_t count,
                  std::uint32_t* returned) {
    const volatile std::uint32_t* source = windowWords(offset, count);
    if (source == nullptr || (buffer == nullptr && count != 0)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t value = source[i];
      std::memcpy(static_cast<std::uint8_t*>(buffer) + 4 * i, &value,
                  sizeof value);
    }
    *returned = 4 * count;
    return true;
  }

  // Request 5: the block as the device's config file reads now.
  bool configInfo(void* buffer, std::uint32_t size, std::uint32_t* returned) {
    if (buffer == nullptr || size < card::kConfigBlockSize) return false;
    ConfigBlock block;
    if (readConfigBlock(parts_.config.get(), &block) <
        ssize_t(card::kPciHeaderSize)) {
      return false;
    }
    std::memcpy(buffer, block.data(), block.size());
    *returned = card::kConfigBlockSize;
    return true;
  }

  bool portOffset(std::uint16_t port, off_t* offset) const {
    if (!parts_.ports.valid() || port < parts_.ioBase) return false;
    const std::uint64_t at = port - parts_.ioBase;
    if (at + 4 > parts_.portRegionSize) return false;
    *offset = off_t(at);
    return true;
  }

  Parts parts_;
  UioInterrupts interrupts_;  // after parts_, whose config file it uses
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

// A kernel driver other than the two that hand the device to programs owns
// it: nothing of ours may touch it.
bool checkDriver(const std::string& directory, std::string* failure) {
  char target[4096];
  const std::string link = directory + "/driver";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return true;  // no driver bound
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  const std::string driver = slash != nullptr ? slash + 1 : target;
  if (driver == "uio_pci_generic" || driver == "vfio-pci") return true;
  std::string device = directory;
  while (device.size() > 1 && device.back() == '/') device.pop_back();
  device = device.substr(device.rfind('/') + 1);
  *failure = "the device " + device + " is bound to the kernel driver " +
             driver + ", which owns it; unbind it first (echo " + device +
             " | sudo tee " + link + "/unbind), or bind it to uio_pci_generic";
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
