#include "platform/backends/linuxpci/sysfs_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::linuxpci {

void FileDescriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

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

ssize_t readConfigBlock(int fd, ConfigBlock* block, off_t start) {
  block->fill(0);
  return readAt(fd, block->data(), block->size(), start);
}

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

std::string driverOf(const std::string& directory) {
  char target[4096];
  const std::string link = directory + "/driver";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  return slash != nullptr ? slash + 1 : target;
}

std::string firstLine(const std::string& file) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  char text[256];
  const ssize_t n = fd.valid() ? readAt(fd.get(), text, sizeof text, 0) : -1;
  if (n <= 0) return "";
  const std::string line(text, std::size_t(n));
  return line.substr(0, line.find('\n'));
}

std::string deviceName(const std::string& directory) {
  std::string name = directory;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return name.substr(name.rfind('/') + 1);
}

void Mapping::retire() {
  if (base_ == nullptr) return;
  void* placed = ::mmap(base_, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (placed == MAP_FAILED) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
}

void Mapping::unmap() {
  if (base_ != nullptr) ::munmap(base_, size_);
}

}  // namespace platform::linuxpci
