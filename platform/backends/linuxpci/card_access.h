// What the Linux backends do alike once the card's regions are open, whether
// through sysfs files or through VFIO: the driver requests, the port offsets
// and the check of the configuration header.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/backends/linuxpci/interrupt_watcher.h"
#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::linuxpci {

// Where a device's requests go: its window mapping, the configuration space
// at `configStart` in configFd, and its interrupt watcher.
struct CardParts {
  const Mapping& window;
  int configFd;
  off_t configStart;
  InterruptWatcher& interrupts;
};

// Serves requests 1 (window words from the in buffer, one 32-bit store each,
// at the window offset in place of the out buffer), 2 (window words into the
// in buffer, one 32-bit load each, ascending), 3, 4, 5 (the configuration
// block as the space reads now) and 10; any other request fails. A window
// request fails, touching nothing, when its offset is not word-aligned or any
// word lies outside the mapping.
bool serveRequest(const CardParts& card, std::uint32_t code, void* inBuffer,
                  std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                  std::uint32_t* bytesReturned);

// The card's control ports: the I/O base that register 1 gives and the
// region that holds them.
struct PortRegion {
  int fd = -1;             // -1: no port region
  off_t start = 0;         // where the region starts in fd
  std::uint16_t base = 0;  // the I/O base
  std::uint64_t size = 0;  // the region's size in bytes

  // Where a port's 4-byte word lies in fd; false when it lies outside.
  bool offsetOf(std::uint16_t port, off_t* offset) const;

  // One 4-byte access of a port. False when the port lies outside the region
  // or the access fails (with errno).
  bool write(std::uint16_t port, std::uint32_t value) const;
  bool read(std::uint16_t port, std::uint32_t* value) const;
};

// Why the header at `start` in fd shows a device that cannot be used now,
// or "": it does not answer, or its memory decoding (or, with ports, its I/O
// decoding) is off, in which case remedy says what to do.
std::string headerProblem(int fd, off_t start, const std::string& file,
                          bool ports, const std::string& remedy);

}  // namespace platform::linuxpci
