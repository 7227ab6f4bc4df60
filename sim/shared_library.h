// Shared libraries for design plug-ins: the one place the sim library meets
// the OS's loader (dlopen or LoadLibrary).
#pragma once

#include <string>

namespace sim {

// Opens the library at path and keeps it loaded for the life of the
// process (a design's functions must outlive every card). Null with *error
// (the loader's words, one line) when it cannot.
void* openSharedLibrary(const std::string& path, std::string* error);
// The address of an exported function, or null.
void* sharedLibrarySymbol(void* library, const char* name);
// Unloads a library none of whose designs was installed.
void closeSharedLibrary(void* library);

// What a path names: nothing, a regular file, or something else (a
// directory, a device).
enum class FileKind { Missing, Regular, Other };
FileKind fileKind(const std::string& path);

// What separates the paths of a list: ':' (';' on Windows).
char pathListSeparator();

}  // namespace sim
