// The backends of systems that lack them. Without a driver of the platform's
// own (POSIX systems), the default open is refused; a card is reached through
// the simulated card or, on Linux, through PCI access (TV940_DEVICE selects
// either). Without a backend that names devices of its own, every
// TV940_DEVICE value but "sim" (handled by the seam) is refused.
#include <string>

#include "platform/device.h"

namespace platform {

#if !defined(_WIN32)
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
#endif

#if !defined(__linux__)
std::shared_ptr<Device> openSelectedDevice(const char* selector,
                                           std::string* failure) {
  if (failure != nullptr) {
    *failure = std::string("unknown device '") +
               (selector != nullptr ? selector : "") +
               "'; this build knows only sim";
  }
  return nullptr;
}
#endif

}  // namespace platform
