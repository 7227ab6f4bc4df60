// POSIX: the trace file's open, held with an advisory lock, and the checks
// that keep it off the program's other files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/os.h"

namespace platform::os {
namespace {

bool same(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

TraceFile failed(TraceFile::Failure failure, int error, int fd) {
  if (fd >= 0) ::close(fd);
  return {nullptr, failure, error};
}

}  // namespace

TraceFile openTraceFile(const char* path, bool (*mayReplace)(void* context),
                        void* context) {
  // Without blocking: a FIFO without a reader fails at once (ENXIO) instead
  // of waiting for one. Nothing is emptied before the checks.
  const int fd = ::open(
      path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    return failed(errno == ENXIO ? TraceFile::Failure::NoReader
                                 : TraceFile::Failure::System,
                  errno, -1);
  }
  struct stat status;
  if (::fstat(fd, &status) != 0)
    return failed(TraceFile::Failure::System, errno, fd);
  if (S_ISREG(status.st_mode)) {
    // Held until the process ends; a second program fails here, before it
    // has changed anything.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      return failed(errno == EWOULDBLOCK ? TraceFile::Failure::InUse
                                         : TraceFile::Failure::System,
                    errno, fd);
    }
    if (!mayReplace(context)) return failed(TraceFile::Failure::Kept, 0, fd);
    if (::ftruncate(fd, 0) != 0)
      return failed(TraceFile::Failure::System, errno, fd);
  } else {
    // A FIFO with its reader, or a device: writes may wait from now on.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
      return failed(TraceFile::Failure::System, errno, fd);
  }
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) return failed(TraceFile::Failure::System, errno, fd);
  return {file, TraceFile::Failure::None, 0};
}

bool sameFile(const char* first, const char* second) {
  struct stat a, b;
  const bool firstExists = ::stat(first, &a) == 0;
  const bool secondExists = ::stat(second, &b) == 0;
  if (firstExists || secondExists) {
    return firstExists && secondExists && same(a, b);
  }
  // Neither exists yet: the same name in the same directory.
  auto split = [](const std::string& path, std::string* directory) {
    const std::size_t slash = path.find_last_of('/');
    *directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return slash == std::string::npos ? path : path.substr(slash + 1);
  };
  std::string firstDirectory, secondDirectory;
  const std::string firstName = split(first, &firstDirectory);
  const std::string secondName = split(second, &secondDirectory);
  return !firstName.empty() && firstName == secondName &&
         ::stat(firstDirectory.c_str(), &a) == 0 &&
         ::stat(secondDirectory.c_str(), &b) == 0 && same(a, b);
}

int standardStreamOf(const char* path) {
  struct stat file;
  if (::stat(path, &file) != 0 || S_ISCHR(file.st_mode)) return 0;
  for (int stream = 1; stream <= 2; ++stream) {
    struct stat status;
    if (::fstat(stream, &status) == 0 && same(status, file)) return stream;
  }
  return 0;
}

}  // namespace platform::os
