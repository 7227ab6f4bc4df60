// Opening the files the library reads (the design) on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "card/system_error.h"
#include "platform/platform.h"

namespace platform {
namespace {

// What a path is instead of a plain file.
const char* kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

}  // namespace

std::FILE* openPlainFile(const char* path, std::string* reason) {
  // Without blocking: a FIFO would otherwise wait here for a writer.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = card::systemErrorText(errno);
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    *reason = card::systemErrorText(errno);
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    *reason = S_ISDIR(status.st_mode) ? card::systemErrorText(EISDIR)
                                      : std::string("not a regular file (") +
                                            kindOf(status.st_mode) + ")";
    ::close(fd);
    return nullptr;
  }
  // Reads of a plain file never wait; the flag goes all the same, so that
  // the stream sees an ordinary descriptor.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    *reason = card::systemErrorText(errno);
    ::close(fd);
  }
  return file;
}

}  // namespace platform
