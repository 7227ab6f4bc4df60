// What the Linux backends do alike once the card's regions are open, whether
// through sysfs files or through VFIO: the window words of requests 1 and 2,
// the port offsets, the configuration block and the check of its header.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::linuxpci {

// Request 1: count words from source into the window at a byte offset, one
// 32-bit store each. False, storing nothing, when the offset is not
// word-aligned or any word lies outside the mapping.
bool writeWindowWords(const Mapping& window, std::uintptr_t offset,
                      const void* source, std::uint32_t count);

// Request 2: count words from the window into buffer, one 32-bit load each,
// ascending; *returned gets the byte count.
bool readWindowWords(const Mapping& window, std::uintptr_t offset, void* buffer,
                     std::uint32_t count, std::uint32_t* returned);

// The card's control ports: the I/O base that register 1 gives and the
// region that holds them.
struct PortRegion {
  int fd = -1;             // -1: no port region
  off_t start = 0;         // where the region starts in fd
  std::uint16_t base = 0;  // the I/O base
  std::uint64_t size = 0;  // the region's size in bytes

  // Where a port's 4-byte word lies in fd; false when it lies outside.
  bool offsetOf(std::uint16_t port, off_t* offset) const;
};

// Request 5: the configuration block as the header at `start` in fd reads
// now (at least the standard header; zeros past what the file gives).
bool configInfo(int fd, off_t start, void* buffer, std::uint32_t size,
                std::uint32_t* returned);

// Why the header at `start` in fd shows a device that cannot be used now,
// or "": it does not answer, or its memory decoding (or, with ports, its I/O
// decoding) is off, in which case remedy says what to do.
std::string headerProblem(int fd, off_t start, const std::string& file,
                          bool ports, const std::string& remedy);

}  // namespace platform::linuxpci
