// A real card reached through the kernel's files for its PCI device:
//   config     the configuration header (request 5, the I/O base, the command
//              register for the decode checks and the interrupt-disable bit);
//   resource0  the chip window, mapped shared into the program (request 6);
//              requests 1 and 2 are word accesses on that mapping;
//   resource1  the I/O region of the control ports: one 4-byte pread or pwrite
//              per port access, which the kernel turns into one 32-bit port
//              instruction;
//   uio/uioN   present when the device is bound to uio_pci_generic: the
//              device node's reads deliver the interrupt count.
#include "platform/linuxpci/pci_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "platform/trace.h"

namespace platform::linuxpci {
namespace {

constexpr std::size_t kBlockSize = 148;          // what request 5 returns
constexpr std::size_t kHeaderSize = 64;          // the standard header
constexpr std::uint16_t kIoSpace = 1u << 0;      // command register bit 0
constexpr std::uint16_t kMemorySpace = 1u << 1;  // command register bit 1
constexpr off_t kCommandHighByte = 5;  // bits 8-15 of the command register
constexpr std::uint8_t kInterruptDisable = 1u << 2;  // command bit 10

using ConfigBlock = std::array<std::uint8_t, kBlockSize>;

std::string describe(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX",
                static_cast<unsigned long long>(value));
  return text;
}

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
         std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
}

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens a file for reading and writing; where only writing is refused, for
// reading alone (*writable tells which). Invalid with errno on failure.
FileDescriptor openFile(const std::string& path, bool* writable) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    *writable = true;
    return FileDescriptor(fd);
  }
  if (errno == EACCES || errno == EPERM || errno == EROFS) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *writable = false;
  }
  return FileDescriptor(fd);
}

// Reads up to size bytes at offset, stopping early only at the end of the
// file. The count read, or -1 with errno.
ssize_t readAt(int fd, void* buffer, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done,
                              size - done, offset + off_t(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += std::size_t(n);
  }
  return ssize_t(done);
}

// The configuration block: the first 148 bytes of config, zeros past its end
// (an unprivileged reader of a real device sees only the 64-byte header).
// The number of bytes the file gave, or -1 with errno.
ssize_t readConfigBlock(int fd, ConfigBlock* block) {
  block->fill(0);
  return readAt(fd, block->data(), block->size(), 0);
}

// One access of exactly four bytes: a port access must reach the kernel
// whole, never split.
bool readWord(int fd, std::uint32_t* value, off_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd, value, sizeof *value, offset);
    if (n < 0 && errno == EINTR) continue;
    return n == ssize_t(sizeof *value);
  }
}

bool writeWord(int fd, std::uint32_t value, off_t offset) {
  for (;;) {
    const ssize_t n = ::pwrite(fd, &value, sizeof value, offset);
    if (n < 0 && errno == EINTR) continue;
    return n == ssize_t(sizeof value);
  }
}

// The chip window's mapping of resource0.
class Mapping {
 public:
  Mapping() = default;
  Mapping(std::uint8_t* base, std::size_t size) : base_(base), size_(size) {}
  Mapping(Mapping&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    unmap();
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~Mapping() { unmap(); }

  std::uint8_t* base() const { return base_; }
  std::size_t size() const { return size_; }

  // Drops the device from the range but keeps the range valid: private zero
  // pages take its place, so a window pointer handed out earlier can never
  // fault. The range stays reserved for the rest of the process.
  void retire() {
    if (base_ == nullptr) return;
    void* placed = ::mmap(base_, size_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (placed == MAP_FAILED) ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
  }

 private:
  void unmap() {
    if (base_ != nullptr) ::munmap(base_, size_);
  }

  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
};

// Everything an open gathered, handed to the device whole.
struct Parts {
  std::string directory;
  FileDescriptor config;
  bool configWritable = false;
  Mapping window;
  FileDescriptor ports;  // invalid when register 1 is not an I/O register
  std::uint16_t ioBase = 0;
  std::uint64_t portRegionSize = 0;
  std::string uioNode;  // "" without UIO
  FileDescriptor uio;
  FileDescriptor wake;  // eventfd that stops the interrupt thread
};

class PciDevice final : public Device {
 public:
  explicit PciDevice(Parts parts) : parts_(std::move(parts)) {}
  ~PciDevice() override {
    stopInterrupts();
    // Board objects may still hold the window after this device is replaced.
    if (windowHandedOut_.load()) parts_.window.retire();
  }

  PciDevice(const PciDevice&) = delete;
  PciDevice& operator=(const PciDevice&) = delete;

  // Starts the thread that waits for interrupts when the device has UIO.
  bool startInterrupts(std::string* failure) {
    if (!parts_.uio.valid()) return true;
    try {
      interruptThread_ = std::thread([this] { serveInterrupts(); });
    } catch (const std::system_error& error) {
      *failure =
          std::string("cannot start the interrupt thread: ") + error.what();
      return false;
    }
    return true;
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
    switch (code) {
      case 1:
        ok = writeWindow(reinterpret_cast<std::uintptr_t>(outBuffer), inBuffer,
                         inSize);
        break;
      case 2:
        ok = readWindow(reinterpret_cast<std::uintptr_t>(outBuffer), inBuffer,
                        inSize, &returned);
        break;
      case 3:
        ok = setInterruptEvent(static_cast<Handle>(inBuffer));
        break;
      case 4:
        stopInterrupts();
        ok = true;
        break;
      case 5:
        ok = configInfo(outBuffer, outSize, &returned);
        break;
      case 10:
        ok = interruptWord(outBuffer, outSize, &returned);
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
  void onClose() override { stopInterrupts(); }

 private:
  std::string path(const char* file) const {
    return parts_.directory + "/" + file;
  }

  // Why the device cannot be used now, or "".
  std::string unusable() const {
    std::string files[] = {path("config"), path("resource0"),
                           parts_.ports.valid() ? path("resource1") : "",
                           parts_.uioNode};
    for (const std::string& file : files) {
      struct stat status;
      if (!file.empty() && ::stat(file.c_str(), &status) != 0) {
        return file + " is gone: " + describe(errno);
      }
    }
    std::uint8_t head[8];
    const ssize_t n = readAt(parts_.config.get(), head, sizeof head, 0);
    if (n < 0) return "cannot read " + path("config") + ": " + describe(errno);
    if (n < ssize_t(sizeof head)) return path("config") + " reads short";
    if (head[0] == 0xFF && head[1] == 0xFF) {
      return "the device does not answer (its vendor ID reads 0xFFFF)";
    }
    const std::uint16_t command = std::uint16_t(head[4] | head[5] << 8);
    const std::string enable = ": enable the device (write 1 to " +
                               path("enable") +
                               ") or bind it to uio_pci_generic";
    if ((command & kMemorySpace) == 0) {
      return "the device's memory decoding is off (command register bit 1)" +
             enable;
    }
    if (parts_.ports.valid() && (command & kIoSpace) == 0) {
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
    if (buffer == nullptr || size < kBlockSize) return false;
    ConfigBlock block;
    if (readConfigBlock(parts_.config.get(), &block) < ssize_t(kHeaderSize)) {
      return false;
    }
    std::memcpy(buffer, block.data(), block.size());
    *returned = kBlockSize;
    return true;
  }

  bool portOffset(std::uint16_t port, off_t* offset) const {
    if (!parts_.ports.valid() || port < parts_.ioBase) return false;
    const std::uint64_t at = port - parts_.ioBase;
    if (at + 4 > parts_.portRegionSize) return false;
    *offset = off_t(at);
    return true;
  }

  // ---- Interrupts ----

  // Request 3: the event to signal at every interrupt from now on.
  bool setInterruptEvent(Handle event) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_) return false;
    event_ = event;
    return true;
  }

  // Request 10: the interrupt count of the latest interrupt, waiting for the
  // first one if none has come yet. Fails at once without UIO (no interrupt
  // can come), and when the interrupts are stopped or their thread has ended
  // before any came.
  bool interruptWord(void* buffer, std::uint32_t size,
                     std::uint32_t* returned) {
    if (buffer == nullptr || size < 4 || !parts_.uio.valid()) return false;
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] {
      return stopped_ || interruptThreadEnded_ || interruptSeen_;
    });
    if (stopped_ || !interruptSeen_) return false;
    std::memcpy(buffer, &lastCount_, sizeof lastCount_);
    *returned = sizeof lastCount_;
    return true;
  }

  // Request 4, the close and the destruction: no event is signalled after
  // this returns, and every waiting request 10 fails.
  void stopInterrupts() {
    std::thread thread;
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopped_ = true;
      event_ = nullptr;
      thread = std::move(interruptThread_);
    }
    changed_.notify_all();
    if (parts_.wake.valid()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(parts_.wake.get(), &one, sizeof one);
    }
    if (thread.joinable()) thread.join();
  }

  // uio_pci_generic masks the interrupt in the command register when it
  // fires; clearing the bit lets the next one through.
  bool enableInterrupt() {
    std::uint8_t high;
    if (readAt(parts_.config.get(), &high, 1, kCommandHighByte) != 1) {
      return false;
    }
    if ((high & kInterruptDisable) == 0) return true;
    high &= std::uint8_t(~kInterruptDisable);
    return ::pwrite(parts_.config.get(), &high, 1, kCommandHighByte) == 1;
  }

  // The interrupt thread: one blocking 4-byte read of the UIO node per
  // interrupt, each giving the interrupt count so far.
  void serveInterrupts() {
    for (;;) {
      if (!enableInterrupt()) break;
      pollfd waits[2] = {{parts_.uio.get(), POLLIN, 0},
                         {parts_.wake.get(), POLLIN, 0}};
      if (::poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (waits[1].revents != 0) break;
      if ((waits[0].revents & POLLIN) == 0) break;  // error or hang-up
      std::uint32_t count;
      const ssize_t n = ::read(parts_.uio.get(), &count, sizeof count);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n != ssize_t(sizeof count)) break;
      Handle event;
      {
        std::lock_guard<std::mutex> guard(lock_);
        lastCount_ = count;
        interruptSeen_ = true;
        event = event_;
      }
      changed_.notify_all();
      if (trace::on()) trace::write({trace::Kind::Interrupt, 0, count, false});
      if (event != nullptr) platform::setEvent(event);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      interruptThreadEnded_ = true;
    }
    changed_.notify_all();
  }

  Parts parts_;
  std::atomic<bool> windowHandedOut_{false};

  std::mutex lock_;
  std::condition_variable changed_;
  Handle event_ = nullptr;
  bool stopped_ = false;
  bool interruptThreadEnded_ = false;
  bool interruptSeen_ = false;
  std::uint32_t lastCount_ = 0;  // the count the latest interrupt gave
  std::thread interruptThread_;
};

// The UIO device listed in the device directory ("uio0"), or "".
std::string uioName(const std::string& directory) {
  DIR* list = ::opendir((directory + "/uio").c_str());
  if (list == nullptr) return "";
  std::string name;
  while (const dirent* entry = ::readdir(list)) {
    if (std::strncmp(entry->d_name, "uio", 3) == 0) {
      name = entry->d_name;
      break;
    }
  }
  ::closedir(list);
  return name;
}

bool openConfig(Parts* parts, ConfigBlock* block, std::string* failure) {
  const std::string file = parts->directory + "/config";
  parts->config = openFile(file, &parts->configWritable);
  if (!parts->config.valid()) {
    if (errno == ENOENT) {
      *failure = parts->directory + " has no config file: not a PCI device";
    } else {
      *failure = "cannot open " + file + ": " + describe(errno);
    }
    return false;
  }
  const ssize_t n = readConfigBlock(parts->config.get(), block);
  if (n < 0) {
    *failure = "cannot read " + file + ": " + describe(errno);
    return false;
  }
  if (n < ssize_t(kHeaderSize)) {
    *failure = file + " holds " + std::to_string(n) +
               " bytes, less than a PCI configuration header (64)";
    return false;
  }
  return true;
}

bool mapChipWindow(Parts* parts, std::string* failure) {
  const std::string file = parts->directory + "/resource0";
  FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
    *failure = "cannot open " + file + " (the chip window): " + describe(errno);
    return false;
  }
  const std::uint64_t size = std::uint64_t(status.st_size);
  if (!S_ISREG(status.st_mode) || size < kMinimumWindowSize) {
    *failure = file + " spans " + hex(size) + " bytes; the chip window needs " +
               hex(kMinimumWindowSize);
    return false;
  }
  void* base =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) {
    *failure = "cannot map " + file + " (the chip window): " + describe(errno);
    return false;
  }
  parts->window = Mapping(static_cast<std::uint8_t*>(base), size);
  return true;
}

bool openPorts(Parts* parts, std::uint32_t register1, std::string* failure) {
  // Register 1 that is not an I/O register: the card has no port region the
  // ports could reach, and the library refuses the block itself.
  if ((register1 & 1) == 0) return true;
  const std::string file = parts->directory + "/resource1";
  parts->ports.reset(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  struct stat status;
  if (!parts->ports.valid() || ::fstat(parts->ports.get(), &status) != 0) {
    *failure =
        "cannot open " + file + " (the control ports): " + describe(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) {
    *failure = file + " (the control ports) is not a usable I/O region";
    return false;
  }
  if (std::uint64_t(status.st_size) < kPortBlockSize) {
    *failure = file + " (the control ports) spans " +
               hex(std::uint64_t(status.st_size)) + " bytes; the ports need " +
               hex(kPortBlockSize);
    return false;
  }
  // The address of an I/O register is its value without the two low bits.
  parts->ioBase = std::uint16_t(register1 & 0xFFFCu);
  parts->portRegionSize = std::uint64_t(status.st_size);
  return true;
}

bool openInterrupts(Parts* parts, const std::string& deviceNodes,
                    std::string* failure) {
  const std::string name = uioName(parts->directory);
  if (name.empty()) return true;
  parts->uioNode = deviceNodes + "/" + name;
  bool writable;
  parts->uio = openFile(parts->uioNode, &writable);
  if (!parts->uio.valid()) {
    *failure = "the device is bound to UIO (" + name + ") but " +
               parts->uioNode + " cannot be opened: " + describe(errno);
    return false;
  }
  if (!parts->configWritable) {
    *failure = "the device is bound to UIO (" + name +
               ") but its interrupts need " + parts->directory +
               "/config open for writing, which is refused";
    return false;
  }
  parts->wake.reset(::eventfd(0, EFD_CLOEXEC));
  if (!parts->wake.valid()) {
    *failure =
        "cannot create the interrupt thread's wake-up: " + describe(errno);
    return false;
  }
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

std::string canonicalPciAddress(std::string_view text) {
  // [domain:]bus:device.function, hexadecimal, as the kernel names devices.
  auto hexField = [](std::string_view field, std::size_t minDigits,
                     std::size_t maxDigits, unsigned long* value) {
    if (field.size() < minDigits || field.size() > maxDigits) return false;
    *value = 0;
    for (char c : field) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return false;
      }
      *value = *value * 16 + unsigned(digit);
    }
    return true;
  };
  const std::size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return "";
  const std::string_view function = text.substr(dot + 1);
  std::string_view rest = text.substr(0, dot);
  unsigned long domain = 0, bus, device, functionNumber;
  const std::size_t lastColon = rest.rfind(':');
  if (lastColon == std::string_view::npos) return "";
  const std::string_view deviceField = rest.substr(lastColon + 1);
  rest = rest.substr(0, lastColon);
  const std::size_t firstColon = rest.rfind(':');
  const std::string_view busField =
      firstColon == std::string_view::npos ? rest : rest.substr(firstColon + 1);
  if (firstColon != std::string_view::npos &&
      !hexField(rest.substr(0, firstColon), 4, 8, &domain)) {
    return "";
  }
  if (!hexField(busField, 2, 2, &bus) ||
      !hexField(deviceField, 2, 2, &device) || device > 0x1F ||
      !hexField(function, 1, 1, &functionNumber) || functionNumber > 7) {
    return "";
  }
  char name[32];
  std::snprintf(name, sizeof name, "%04lx:%02lx:%02lx.%lx", domain, bus, device,
                functionNumber);
  return name;
}

bool resolveDeviceDirectory(const std::string& selector,
                            const std::string& sysfsDevices,
                            std::string* directory, std::string* failure) {
  struct stat status;
  const std::string address = canonicalPciAddress(selector);
  if (!address.empty()) {
    const std::string found = sysfsDevices + "/" + address;
    if (::stat(found.c_str(), &status) != 0) {
      *failure = "no PCI device " + address + " (" + found + ": " +
                 describe(errno) + ")";
      return false;
    }
    *directory = found;
    return true;
  }
  if (::stat(selector.c_str(), &status) != 0) {
    if (errno == ENOENT && selector.find('/') == std::string::npos) {
      *failure =
          "neither a PCI address (such as 0000:03:00.0 or 03:00.0) nor an "
          "existing device directory";
    } else {
      *failure = "no device directory " + selector + ": " + describe(errno);
    }
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *failure = selector +
               " is not a directory (a device directory holds the device's "
               "config and resource files)";
    return false;
  }
  *directory = selector;
  return true;
}

std::shared_ptr<Device> openDeviceDirectory(const std::string& directory,
                                            const std::string& deviceNodes,
                                            std::string* failure) {
  std::string reason;
  Parts parts;
  parts.directory = directory;
  ConfigBlock block;
  if (!checkDriver(directory, &reason) ||
      !openConfig(&parts, &block, &reason) || !mapChipWindow(&parts, &reason) ||
      !openPorts(&parts, littleEndian32(&block[20]), &reason) ||
      !openInterrupts(&parts, deviceNodes, &reason)) {
    if (failure != nullptr) *failure = reason;
    return nullptr;
  }
  auto device = std::make_shared<PciDevice>(std::move(parts));
  if (!device->startInterrupts(&reason)) {
    if (failure != nullptr) *failure = reason;
    return nullptr;
  }
  return device;
}

}  // namespace platform::linuxpci
