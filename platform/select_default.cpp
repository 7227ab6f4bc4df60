// The TV940_DEVICE selector where no backend names devices of its own: only
// "sim" (handled by the seam) selects anything, every other value is refused.
// A platform with PCI access to a real card replaces this file.
#include <string>

#include "platform/device.h"

namespace platform {

std::shared_ptr<Device> openSelectedDevice(const char* selector,
                                           std::string* failure) {
  if (failure != nullptr) {
    *failure = std::string("unknown device '") +
               (selector != nullptr ? selector : "") +
               "'; this build knows only sim";
  }
  return nullptr;
}

}  // namespace platform
