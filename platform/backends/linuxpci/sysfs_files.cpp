#include "platform/backends/linuxpci/sysfs_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "card/system_error.h"

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

namespace {

// Why a 4-byte access that gave n did not move the whole word.
std::string shortAccess(ssize_t n, const char* moved) {
  if (n < 0) return card::systemErrorText(errno);
  return std::to_string(n) + " of 4 bytes " + moved;
}

}  // namespace

bool readWord(int fd, std::uint32_t* value, off_t offset,
              std::string* failure) {
  for (;;) {
    const ssize_t n = ::pread(fd, value, sizeof *value, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n == ssize_t(sizeof *value)) return true;
    *failure = shortAccess(n, "read");
    return false;
  }
}

bool writeWord(int fd, std::uint32_t value, off_t offset,
               std::string* failure) {
  for (;;) {
    const ssize_t n = ::pwrite(fd, &value, sizeof value, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n == ssize_t(sizeof value)) return true;
    *failure = shortAccess(n, "written");
    return false;
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

namespace {

// The ranges of mappings that have gone, each holding zero pages.
struct RangePool {
  std::mutex lock;
  std::vector<std::pair<std::uint8_t*, std::size_t>> free;
};
// Never destroyed: a device may still give back its range at exit.
RangePool& rangePool() {
  static auto* pool = new RangePool;
  return *pool;
}

// A free range of this size, or null.
void* takeRange(std::size_t size) {
  RangePool& pool = rangePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  for (auto it = pool.free.begin(); it != pool.free.end(); ++it) {
    if (it->second == size) {
      void* base = it->first;
      pool.free.erase(it);
      return base;
    }
  }
  return nullptr;
}

void giveRange(std::uint8_t* base, std::size_t size) {
  RangePool& pool = rangePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.free.emplace_back(base, size);
}

}  // namespace

bool Mapping::map(int fd, std::size_t size, off_t offset) {
  release();
  void* range = takeRange(size);
  const int flags = MAP_SHARED | (range != nullptr ? MAP_FIXED : 0);
  void* base = ::mmap(range, size, PROT_READ | PROT_WRITE, flags, fd, offset);
  if (base == MAP_FAILED) {
    const int error = errno;
    // A failed fixed mapping may have left the range in any state; it gets
    // zero pages again.
    if (range != nullptr) {
      base_ = static_cast<std::uint8_t*>(range);
      size_ = size;
      release();
    }
    errno = error;
    return false;
  }
  base_ = static_cast<std::uint8_t*>(base);
  size_ = size;
  return true;
}

void Mapping::release() {
  if (base_ == nullptr) return;
  void* placed = ::mmap(base_, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (placed != MAP_FAILED) {
    giveRange(base_, size_);
  } else {
    ::munmap(base_, size_);  // nothing else can be done with it
  }
  base_ = nullptr;
  size_ = 0;
}

}  // namespace platform::linuxpci
