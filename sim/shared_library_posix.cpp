// dlopen for design plug-ins.
#include <dlfcn.h>
#include <sys/stat.h>

#include "sim/shared_library.h"

namespace sim {

void* openSharedLibrary(const std::string& path, std::string* error) {
  // A name without a slash would be searched for on the library path; a
  // plug-in is always the file named.
  const std::string file =
      path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot be loaded";
  }
  return library;
}

void* sharedLibrarySymbol(void* library, const char* name) {
  return dlsym(library, name);
}

void closeSharedLibrary(void* library) { dlclose(library); }

char pathListSeparator() { return ':'; }

FileKind fileKind(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return FileKind::Missing;
  return S_ISREG(status.st_mode) ? FileKind::Regular : FileKind::Other;
}

}  // namespace sim
