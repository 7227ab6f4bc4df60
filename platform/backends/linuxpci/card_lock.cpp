#include "platform/backends/linuxpci/card_lock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "card/system_error.h"
#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::linuxpci {

bool lockCard(int fd, const std::string& device, std::string* failure) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  if (errno == EWOULDBLOCK) {
    *failure = inUseFailure(device, flockHolder(fd));
  } else {
    *failure = "cannot lock the device " + device +
               " for this program: " + card::systemErrorText(errno);
  }
  return false;
}

void unlockCard(int fd) {
  if (fd >= 0) ::flock(fd, LOCK_UN);
}

std::string inUseFailure(const std::string& device, pid_t holder) {
  std::string text = "the device " + device + " is in use by another program";
  if (holder == ::getpid()) {
    return text + " (process " + std::to_string(holder) +
           ", this program itself: another open of the same card); close "
           "that one first";
  }
  if (holder > 0) text += " (process " + std::to_string(holder) + ")";
  return text + "; wait until it has ended, then start this one again";
}

pid_t flockHolder(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return 0;
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  // "1: FLOCK  ADVISORY  WRITE 1234 00:15:5678 0 EOF"; a lock being waited
  // for has "->" after the number and is skipped by the match on FLOCK.
  char line[256];
  pid_t holder = 0;
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16];
    long pid;
    unsigned devMajor, devMinor;
    unsigned long long inode;
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", kind, &pid,
                    &devMajor, &devMinor, &inode) == 5 &&
        std::string(kind) == "FLOCK" && devMajor == major(status.st_dev) &&
        devMinor == minor(status.st_dev) && inode == status.st_ino) {
      holder = pid_t(pid);
    }
  }
  std::fclose(locks);
  return holder;
}

}  // namespace platform::linuxpci
