// Win32: the trace file's open, which denies other programs write access for
// as long as the process writes it, and the check that keeps it off the
// program's other files.
#include <share.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/os.h"

namespace platform::os {
namespace {

// A path as the file system compares it: either slash, any case, without
// leading "./".
std::string comparable(const char* path) {
  std::string text;
  for (const char* c = path; *c != '\0'; ++c) {
    const char d = *c == '\\' ? '/' : *c;
    text += (d >= 'A' && d <= 'Z') ? char(d - 'A' + 'a') : d;
  }
  while (text.compare(0, 2, "./") == 0) text.erase(0, 2);
  return text;
}

}  // namespace

TraceFile openTraceFile(const char* path, bool (*mayReplace)(void* context),
                        void* context) {
  if (isPlainFile(path) && !mayReplace(context))
    return {nullptr, TraceFile::Failure::Kept, 0};
  // Other programs may read the trace, never write it: while one program
  // writes it, another's open fails with a sharing violation before it has
  // emptied anything.
  std::FILE* file = _fsopen(path, "w", _SH_DENYWR);
  if (file != nullptr) return {file, TraceFile::Failure::None, 0};
  if (GetLastError() == ERROR_SHARING_VIOLATION)
    return {nullptr, TraceFile::Failure::InUse, errno};
  return {nullptr, TraceFile::Failure::System, errno};
}

bool sameFile(const char* first, const char* second) {
  return comparable(first) == comparable(second);
}

// Where a standard handle is the trace file, the sharing rule above already
// refuses the second writer.
int standardStreamOf(const char*) { return 0; }

}  // namespace platform::os
