// dlopen for design plug-ins.
#include <dlfcn.h>

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

}  // namespace sim
