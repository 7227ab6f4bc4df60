// The platform's own driver on POSIX systems: there is none. A card is reached
// through the simulated card or, on Linux, through PCI access
// (TV940_DEVICE selects either).
#include <string>

#include "platform/device.h"

namespace platform {

std::shared_ptr<Device> openNativeDriver(const char* /*path*/,
                                         std::string* failure) {
  if (failure != nullptr) {
#if defined(__linux__)
    *failure =
        "this platform has no driver for the card; set TV940_DEVICE to sim "
        "for the simulated card or to the card's PCI address";
#else
    *failure =
        "this platform has no driver for the card; set TV940_DEVICE to sim "
        "for the simulated card";
#endif
  }
  return nullptr;
}

}  // namespace platform
