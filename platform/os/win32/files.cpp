// Opening the files the library reads (the design) on Windows.
#include <cerrno>

#include "card/system_error.h"
#include "platform/os.h"
#include "platform/platform.h"

namespace platform {

std::FILE* openPlainFile(const char* path, std::string* reason) {
  errno = 0;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    *reason = card::systemErrorText(errno);
    return nullptr;
  }
  // A device (CON, NUL) or a pipe opens, but a read could wait forever.
  if (!os::isPlainFile(path)) {
    std::fclose(file);
    *reason = "not a regular file (a device or pipe)";
    return nullptr;
  }
  return file;
}

}  // namespace platform
