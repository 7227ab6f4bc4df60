// A card as a Linux backend holds it, through the kernel's PCI files or
// through VFIO: the chip window is a mapping, the configuration block lies
// at an offset of one descriptor, the control ports are a region of
// another, and the interrupts come through a watcher. The backend gives
// those sources at the open and keeps its own check and close.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/backends/linuxpci/card_access.h"
#include "platform/backends/linuxpci/interrupt_watcher.h"
#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/device.h"

namespace platform::linuxpci {

// A size as failure lines give it: "0x840000".
std::string sizeText(std::uint64_t value);

class LinuxDevice : public Device {
 public:
  // Where the card's parts are. The descriptors stay the backend's: they
  // must outlive the device's use of them (the backend's destructor or close
  // calls stopInterrupts() before closing them).
  struct Sources {
    Mapping window;
    int config = -1;        // the descriptor of the configuration block
    off_t configStart = 0;  // where the block starts in it
    PortRegion ports;       // fd -1: no port region
    std::string portsName;  // the port region as failure lines name it
    std::unique_ptr<InterruptSource> interrupts;  // null: none comes
  };

  LinuxDevice(Sources sources, Reports& reports);
  LinuxDevice(const LinuxDevice&) = delete;
  LinuxDevice& operator=(const LinuxDevice&) = delete;

  // Request 6: the window's mapping.
  bool mapWindow(Window* window, std::string* failure) override;
  // Requests 1, 2, 3, 4, 5 and 10 (card_access.h).
  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override;
  // A failed access of the port region is a failure the seam counts.
  bool portOut32(std::uint16_t port, std::uint32_t value,
                 std::string* failure) override;
  bool portIn32(std::uint16_t port, std::uint32_t* value,
                std::string* failure) override;

  // The open's last step: the device with its interrupt watcher started,
  // or null with *failure.
  static std::shared_ptr<Device> started(std::shared_ptr<LinuxDevice> device,
                                         std::string* failure);

 protected:
  // No interrupt is signalled, and no source used, after this returns.
  void stopInterrupts() { watcher_.stop(); }
  Mapping& window() { return window_; }
  int configDescriptor() const { return config_; }
  off_t configStart() const { return configStart_; }
  bool hasPorts() const { return ports_.fd >= 0; }

 private:
  Mapping window_;
  const int config_;
  const off_t configStart_;
  const PortRegion ports_;
  const std::string portsName_;
  InterruptWatcher watcher_;
};

}  // namespace platform::linuxpci
