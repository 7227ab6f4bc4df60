// Inside the seam: what every backend provides for one driver connection.
// Not seen by boardlib; the seam (connection.cpp, window.cpp) routes its
// functions here. The backends and how the seam picks one:
// backends/backends.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "card/card_map.h"
#include "platform/platform.h"

namespace platform {

class Device;

// What a device reports of the card on its own: its interrupts, remarks such
// as the design the simulated card recognises, and the failures of accesses
// it makes outside the seam's calls. The seam hands every device one at open
// and writes the trace lines; backends never write the trace. It lives as
// long as the process and may be called from any thread, also under a
// device's own lock.
class Reports {
 public:
  // The card raised an interrupt with this word.
  virtual void interrupt(std::uint32_t word) = 0;
  // One line of text, without line end.
  virtual void note(std::string_view text) = 0;
  // An access `device` made on its own did not reach the card (a failed
  // interrupt unmask or interrupt wait): `access` names it ("interrupt
  // wait on /dev/uio0"), `reason` says why. The seam counts it against the
  // device's connection, as it counts failed port accesses, and the run
  // that made the connection fails.
  virtual void accessFailed(const Device& device, std::string_view access,
                            std::string_view reason) = 0;

 protected:
  ~Reports() = default;
};

// Who holds a window: the connection the seam has given it to, or none.
using WindowOwner = std::atomic<Handle>;

// A window whose accesses its device serves itself, as the simulated card
// does: the seam hands it every access inside the window, with the
// connection that makes it and the window's owner. The server takes the
// access only while `owner` is that connection, read under the server's own
// lock, so that an access racing a close reaches the closing card or
// nothing, never a later card handed the same range. A server lives as long
// as the process (a later device may take it over with its range).
class WindowServer {
 public:
  // A whole word inside the window; the seam has checked the offset.
  virtual std::uint32_t read32(const WindowOwner& owner, Handle connection,
                               std::uint32_t offset) = 0;
  virtual void write32(const WindowOwner& owner, Handle connection,
                       std::uint32_t offset, std::uint32_t value) = 0;

 protected:
  ~WindowServer() = default;
};

// A chip window as a backend hands it out: its base in the program's memory,
// its size in bytes and, for a window that is not plain device memory, its
// server.
struct Window {
  std::uint8_t* base = nullptr;
  std::uint64_t size = 0;
  WindowServer* server = nullptr;
};

class Device {
 public:
  virtual ~Device() = default;

  // The backend, as the trace names it ("simulated card", "linux pci").
  virtual const char* backend() const = 0;

  // Request 0: whether the device is there and usable; false with *failure
  // (one line, no line end) saying why.
  virtual bool check(std::string* failure) = 0;

  // Request 6: the chip window. False with *failure when there is none. The
  // range of a window handed out must never become other memory or
  // unmapped: an access that raced the close may still land in it. A later
  // device may be handed the same range (Linux PCI and the simulated card
  // reuse their ranges), which is safe, as every access carries its
  // connection and the seam forgets a window when its connection closes.
  virtual bool mapWindow(Window* window, std::string* failure) = 0;

  // Every other driver request (the buffer conventions of
  // platform::deviceRequest). May be called from several threads at once.
  virtual bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                       void* outBuffer, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) = 0;

  // One 32-bit port access. A port outside the card's ports reaches
  // nothing (an input reads 0xFFFFFFFF) and is no failure. An access the
  // backend could not make (its system call failed) returns false with
  // *failure (one line) saying why; an input then reads 0xFFFFFFFF. The seam
  // counts and traces every such failure.
  virtual bool portOut32(std::uint16_t port, std::uint32_t value,
                         std::string* failure) = 0;
  virtual bool portIn32(std::uint16_t port, std::uint32_t* value,
                        std::string* failure) = 0;

  // The connection's handle has been closed: the seam no longer routes its
  // ports or window here.
  virtual void onClose() {}
};

}  // namespace platform
