// LoadLibrary for design plug-ins.
#include <windows.h>

#include "sim/shared_library.h"

namespace sim {

void* openSharedLibrary(const std::string& path, std::string* error) {
  // LoadLibraryA, which Windows 95 and 98 have as well.
  HMODULE library = LoadLibraryA(path.c_str());
  const DWORD code = GetLastError();
  if (library == nullptr) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string why = text;
    while (!why.empty() && (why.back() == '\r' || why.back() == '\n' ||
                            why.back() == ' ' || why.back() == '.')) {
      why.pop_back();
    }
    *error = why.empty()
                 ? "cannot be loaded (error " + std::to_string(code) + ")"
                 : why;
  }
  return library;
}

void* sharedLibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeSharedLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

char pathListSeparator() { return ';'; }

FileKind fileKind(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Other
                                                      : FileKind::Regular;
}

}  // namespace sim
