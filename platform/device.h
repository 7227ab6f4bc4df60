// Inside the seam: what every backend provides for one driver connection.
// Not seen by boardlib; the seam (connection.cpp, window.cpp) routes its
// functions here. The backends and how the seam picks one:
// backends/backends.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "card/card_map.h"

namespace platform {

// What a device reports of the card on its own: its interrupts, and remarks
// such as the design the simulated card recognises. The seam hands every
// device one at open and writes the trace lines; backends never write the
// trace. It lives as long as the process and may be called from any thread,
// also under a device's own lock.
class Reports {
 public:
  // The card raised an interrupt with this word.
  virtual void interrupt(std::uint32_t word) = 0;
  // One line of text, without line end.
  virtual void note(std::string_view text) = 0;

 protected:
  ~Reports() = default;
};

// A chip window as a backend hands it out: its base in the program's memory
// and its size in bytes.
struct Window {
  std::uint8_t* base = nullptr;
  std::uint64_t size = 0;
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
  // range of a window handed out must not become other memory while the
  // program may still hold its pointer (the simulated card and Linux PCI
  // keep it reserved for the rest of the process).
  virtual bool mapWindow(Window* window, std::string* failure) = 0;

  // Every other driver request (the buffer conventions of
  // platform::deviceRequest). May be called from several threads at once.
  virtual bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                       void* outBuffer, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) = 0;

  virtual void portOut32(std::uint16_t port, std::uint32_t value) = 0;
  virtual std::uint32_t portIn32(std::uint16_t port) = 0;

  // A backend whose window is not plain device memory (the simulated card)
  // returns true; the seam then hands it every access inside the window.
  // Other backends get plain volatile accesses. The seam has checked the
  // offset: a whole word inside the window.
  virtual bool routesWindow() const { return false; }
  virtual std::uint32_t windowRead32(std::uint32_t /*offset*/) {
    return 0xFFFFFFFFu;
  }
  virtual void windowWrite32(std::uint32_t /*offset*/,
                             std::uint32_t /*value*/) {}

  // The connection's handle has been closed. The card's ports and window stay
  // reachable, as the hardware's do, until another device is opened.
  virtual void onClose() {}
};

}  // namespace platform
