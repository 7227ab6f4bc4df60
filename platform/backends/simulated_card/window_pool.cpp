// The pool of window ranges: reserved once, never released.
#include "platform/backends/simulated_card/window_pool.h"

#include <vector>

#include "card/card_map.h"
#include "platform/os.h"

namespace sim {
namespace {

constexpr bool kReuseWindowRanges = sizeof(void*) < 8;

struct WindowPool {
  platform::os::Lock lock;
  std::vector<std::uint8_t*> free;
};
// Never destroyed: a card may still give back its range at exit.
WindowPool& windowPool() {
  static auto* pool = new WindowPool;
  return *pool;
}

std::uint8_t* takeRange() {
  WindowPool& pool = windowPool();
  platform::os::LockGuard guard(pool.lock);
  if (!pool.free.empty()) {
    std::uint8_t* base = pool.free.back();
    pool.free.pop_back();
    return base;
  }
  return static_cast<std::uint8_t*>(
      platform::os::reserveAddressSpace(card::kWindowSize));
}

}  // namespace

WindowRange::WindowRange() : base_(takeRange()) {}

WindowRange::~WindowRange() {
  if (base_ == nullptr || !kReuseWindowRanges) return;
  WindowPool& pool = windowPool();
  platform::os::LockGuard guard(pool.lock);
  pool.free.push_back(base_);
}

}  // namespace sim
