// The window ranges the simulated card hands out, each with what outlives the
// card that holds it: the lock its card's every access takes and the server
// of its window.
#pragma once

#include <cstdint>

#include "platform/device.h"
#include "platform/os.h"

namespace sim {

// One reserved, inaccessible range of the window's size: nothing of it is
// committed, so any access that bypasses the seam's accessor faults instead
// of reaching other memory. Slots are pooled and never freed: a card takes
// one at its open and gives it back as it goes, and a later card reuses it,
// so a process that opens the card again and again holds only the ranges of
// the cards open at once. The seam hands the slot every access inside the
// window, with the connection that makes it: the slot passes it on to its
// card under its lock only while that connection holds the window, so an
// access through a closed connection never reaches the next card.
class WindowSlot final : public platform::WindowServer {
 public:
  // The card's side, called under the slot's lock.
  class Holder {
   public:
    virtual std::uint32_t windowRead(std::uint32_t offset) = 0;
    virtual void windowWrite(std::uint32_t offset, std::uint32_t value) = 0;

   protected:
    ~Holder() = default;
  };

  // A slot from the pool, or a new one; its base() is null when the OS
  // refuses the range.
  static WindowSlot* take();
  // `holder` gets the slot's accesses from now on, until giveBack.
  void attach(Holder* holder);
  // The holder is gone: the slot reaches nothing and returns to the pool.
  void giveBack();

  std::uint8_t* base() const { return base_; }
  platform::os::SpinLock& lock() { return lock_; }
  // Under the lock, during an access: the event to signal once the access
  // lets the lock go (an interrupt it raised).
  void signalAfterAccess(platform::Handle event) { signal_ = event; }

  std::uint32_t read32(const platform::WindowOwner& owner,
                       platform::Handle connection,
                       std::uint32_t offset) override;
  void write32(const platform::WindowOwner& owner, platform::Handle connection,
               std::uint32_t offset, std::uint32_t value) override;

 private:
  WindowSlot() = default;
  ~WindowSlot() = default;

  std::uint8_t* base_ = nullptr;
  platform::os::SpinLock lock_;
  Holder* holder_ = nullptr;           // under lock_
  platform::Handle signal_ = nullptr;  // under lock_
};

}  // namespace sim
