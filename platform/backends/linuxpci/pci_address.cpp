#include "platform/backends/linuxpci/pci_address.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "card/hex.h"
#include "card/shown.h"
#include "card/system_error.h"
#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::linuxpci {
namespace {

// A field of minDigits to maxDigits hexadecimal digits.
bool hexField(std::string_view field, std::size_t minDigits,
              std::size_t maxDigits, std::uint64_t* value) {
  return field.size() >= minDigits && field.size() <= maxDigits &&
         card::parseHexDigits(field, value);
}

}  // namespace

std::string canonicalPciAddress(std::string_view text) {
  // [domain:]bus:device.function, hexadecimal, as the kernel names devices.
  const std::size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return "";
  const std::string_view function = text.substr(dot + 1);
  std::string_view rest = text.substr(0, dot);
  std::uint64_t domain = 0, bus, device, functionNumber;
  const std::size_t lastColon = rest.rfind(':');
  if (lastColon == std::string_view::npos) return "";
  const std::string_view deviceField = rest.substr(lastColon + 1);
  rest = rest.substr(0, lastColon);
  const std::size_t firstColon = rest.rfind(':');
  const std::string_view busField =
      firstColon == std::string_view::npos ? rest : rest.substr(firstColon + 1);
  if (firstColon != std::string_view::npos &&
      !hexField(rest.substr(0, firstColon), 4, 8, &domain)) {
    return "";
  }
  if (!hexField(busField, 2, 2, &bus) ||
      !hexField(deviceField, 2, 2, &device) || device > 0x1F ||
      !hexField(function, 1, 1, &functionNumber) || functionNumber > 7) {
    return "";
  }
  return card::hexText(domain, 4) + ":" + card::hexText(bus, 2) + ":" +
         card::hexText(device, 2) + "." + card::hexText(functionNumber);
}

bool resolveDeviceDirectory(const std::string& selector,
                            const std::string& sysfsDevices,
                            std::string* directory, std::string* failure) {
  struct stat status;
  const std::string address = canonicalPciAddress(selector);
  if (!address.empty()) {
    const std::string found = sysfsDevices + "/" + address;
    if (::stat(found.c_str(), &status) != 0) {
      *failure = "no PCI device " + address + " (" + found + ": " +
                 card::systemErrorText(errno) + ")";
      return false;
    }
    *directory = found;
    return true;
  }
  if (::stat(selector.c_str(), &status) != 0) {
    if (errno == ENOENT && selector.find('/') == std::string::npos) {
      *failure =
          "neither a PCI address (such as 0000:03:00.0 or 03:00.0) nor an "
          "existing device directory";
    } else {
      *failure = "no device directory " + card::shownValue(selector) + ": " +
                 card::systemErrorText(errno);
    }
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *failure = card::shownValue(selector) +
               " is not a directory (a device directory holds the device's "
               "config and resource files)";
    return false;
  }
  *directory = selector;
  return true;
}

}  // namespace platform::linuxpci
