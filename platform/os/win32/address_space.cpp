#include <windows.h>

#include "platform/os.h"

namespace platform::os {

void* reserveAddressSpace(std::size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
}

void releaseAddressSpace(void* base, std::size_t /*size*/) {
  if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace platform::os
