// The pool of window slots: reserved once, never released, reused.
#include "platform/backends/simulated_card/window_pool.h"

#include <vector>

#include "card/card_map.h"
#include "platform/platform.h"

namespace sim {
namespace {

struct WindowPool {
  platform::os::Lock lock;
  std::vector<WindowSlot*> free;
};
// Never destroyed: a card may still give back its slot at exit.
WindowPool& windowPool() {
  static auto* pool = new WindowPool;
  return *pool;
}

}  // namespace

WindowSlot* WindowSlot::take() {
  WindowSlot* slot = nullptr;
  {
    WindowPool& pool = windowPool();
    platform::os::LockGuard guard(pool.lock);
    if (!pool.free.empty()) {
      slot = pool.free.back();
      pool.free.pop_back();
    }
  }
  if (slot == nullptr) slot = new WindowSlot;
  if (slot->base_ == nullptr) {
    slot->base_ = static_cast<std::uint8_t*>(
        platform::os::reserveAddressSpace(card::kWindowSize));
  }
  return slot;
}

void WindowSlot::attach(Holder* holder) {
  platform::os::SpinLockGuard guard(lock_);
  holder_ = holder;
}

void WindowSlot::giveBack() {
  {
    // Waits for an access in progress; from here on none reaches the holder.
    platform::os::SpinLockGuard guard(lock_);
    holder_ = nullptr;
  }
  WindowPool& pool = windowPool();
  platform::os::LockGuard guard(pool.lock);
  pool.free.push_back(this);
}

std::uint32_t WindowSlot::read32(const platform::WindowOwner& owner,
                                 platform::Handle connection,
                                 std::uint32_t offset) {
  std::uint32_t value = card::kFloatingBus;
  platform::Handle signal = nullptr;
  {
    platform::os::SpinLockGuard guard(lock_);
    if (holder_ == nullptr ||
        owner.load(std::memory_order_acquire) != connection) {
      return value;
    }
    value = holder_->windowRead(offset);
    signal = signal_;
    signal_ = nullptr;
  }
  // Through the seam: a handle closed meanwhile is refused, never misused.
  if (signal != nullptr) platform::setEvent(signal);
  return value;
}

void WindowSlot::write32(const platform::WindowOwner& owner,
                         platform::Handle connection, std::uint32_t offset,
                         std::uint32_t value) {
  platform::Handle signal = nullptr;
  {
    platform::os::SpinLockGuard guard(lock_);
    if (holder_ == nullptr ||
        owner.load(std::memory_order_acquire) != connection) {
      return;
    }
    holder_->windowWrite(offset, value);
    signal = signal_;
    signal_ = nullptr;
  }
  if (signal != nullptr) platform::setEvent(signal);
}

}  // namespace sim
