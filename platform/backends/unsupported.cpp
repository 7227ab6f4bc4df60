// The rows of what a system lacks. Without a driver of the platform's own
// (POSIX systems), the default open is refused: a card is reached through
// the simulated card or, on Linux, through PCI access, which TV940_DEVICE
// selects. Without a backend that names devices of its own, every value but
// those of the other rows is refused.
#include <string>

#include "platform/backends/backends.h"

namespace platform::backends {

std::shared_ptr<Device> refuseWithoutDriver(const OpenRequest& /*request*/,
                                            std::string* failure) {
#if defined(__linux__)
  *failure =
      "this platform has no driver for the card; set TV940_DEVICE to sim "
      "for the simulated card or to the card's PCI address";
#else
  *failure =
      "this platform has no driver for the card; set TV940_DEVICE to sim "
      "for the simulated card";
#endif
  return nullptr;
}

std::shared_ptr<Device> refuseUnknownDevice(const OpenRequest& request,
                                            std::string* failure) {
  *failure = "unknown device '" + std::string(request.selector) +
             "'; this build knows only sim";
  return nullptr;
}

}  // namespace platform::backends
