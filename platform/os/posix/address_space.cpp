#include <sys/mman.h>

#include "platform/os.h"

namespace platform::os {

void* reserveAddressSpace(std::size_t size) {
  void* base = mmap(nullptr, size, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

void releaseAddressSpace(void* base, std::size_t size) {
  if (base != nullptr) munmap(base, size);
}

}  // namespace platform::os
