// The kernel's files of a PCI device as the backend reads and writes them:
// descriptors, whole reads at an offset, 4-byte port words, the mapping of
// the chip window, the configuration block and the UIO listing.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "card/card_map.h"

namespace platform::linuxpci {

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
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens a file for reading and writing; where only writing is refused, for
// reading alone (*writable tells which). Invalid with errno on failure.
FileDescriptor openFile(const std::string& path, bool* writable);

// Reads up to size bytes at offset, stopping early only at the end of the
// file. The count read, or -1 with errno.
ssize_t readAt(int fd, void* buffer, std::size_t size, off_t offset);

// One access of exactly four bytes: a port access must reach the kernel
// whole, never split.
bool readWord(int fd, std::uint32_t* value, off_t offset);
bool writeWord(int fd, std::uint32_t value, off_t offset);

using ConfigBlock = std::array<std::uint8_t, card::kConfigBlockSize>;

// The configuration block: the first 148 bytes of the configuration space at
// `start` in fd, zeros past its end (an unprivileged reader of sysfs config
// sees only the 64-byte header). The number of bytes read, or -1 with errno.
ssize_t readConfigBlock(int fd, ConfigBlock* block, off_t start = 0);

// The UIO device listed in a device directory ("uio0"), or "".
std::string uioName(const std::string& directory);

// The kernel driver bound to the device of a directory ("uio_pci_generic"),
// "" when none is.
std::string driverOf(const std::string& directory);

// The first line of a small file (the device's driver_override), "" when it
// cannot be read.
std::string firstLine(const std::string& file);

// The device's name: the last part of its directory's path (its PCI address
// for the kernel's directories).
std::string deviceName(const std::string& directory);

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
  void retire();

 private:
  void unmap();

  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace platform::linuxpci
