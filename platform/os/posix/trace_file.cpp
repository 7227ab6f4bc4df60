// POSIX: the trace file's open, held with an advisory lock, and the checks
// that keep it off the program's other files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

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
    const int error = errno;
    // ENXIO: a FIFO without a reader, or a device that is not there (such
    // as /dev/tty without a controlling terminal).
    struct stat status;
    TraceFile::Failure failure = TraceFile::Failure::System;
    if (error == ENXIO && ::stat(path, &status) == 0) {
      failure = S_ISFIFO(status.st_mode) ? TraceFile::Failure::NoReader
                                         : TraceFile::Failure::Device;
    }
    return failed(failure, error, -1);
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

namespace {

// Where a path leads once its symbolic links are followed, dangling ones
// too: the file it names, or the one an open would create. A link that
// cannot be read, or a loop, ends the walk where it is.
std::string followLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
    char target[4096];
    const ssize_t size = ::readlink(path.c_str(), target, sizeof target);
    if (size <= 0 || size == static_cast<ssize_t>(sizeof target)) break;
    std::string next(target, static_cast<std::size_t>(size));
    const std::size_t slash = path.find_last_of('/');
    // A relative target is read from the link's own directory.
    if (next[0] != '/' && slash != std::string::npos)
      next = path.substr(0, slash + 1) + next;
    path = std::move(next);
  }
  return path;
}

}  // namespace

bool sameFile(const char* firstPath, const char* secondPath) {
  const std::string first = followLinks(firstPath);
  const std::string second = followLinks(secondPath);
  struct stat a, b;
  const bool firstExists = ::stat(first.c_str(), &a) == 0;
  const bool secondExists = ::stat(second.c_str(), &b) == 0;
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
