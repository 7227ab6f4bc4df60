// The simulated card: the Device adapter around the device model
// (sim/card_model.h). It adds what a driver and a process add to the card:
// the lock that serializes every access, the reports the seam traces, the
// window's range, the faults, the driver requests' buffers and interrupt
// event.
#include "platform/backends/simulated_card/card.h"

#include <cstring>
#include <new>

#include "card/hex.h"
#include "platform/backends/backends.h"
#include "platform/backends/simulated_card/window_pool.h"
#include "platform/device.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "sim/card_model.h"

namespace sim {
namespace {

// The buffers of a driver request, as the caller passed them.
struct Buffers {
  void* in;
  std::uint32_t inSize;
  void* out;
  std::uint32_t outSize;
};

using Guard = platform::os::SpinLockGuard;

// A plain number passed in place of a buffer pointer.
std::uint64_t numberOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

class SimCard final : public platform::Device,
                      public Card,
                      private WindowSlot::Holder {
 public:
  SimCard(const Settings& settings, platform::Reports& reports)
      : settings_(settings),
        reports_(reports),
        slot_(WindowSlot::take()),
        lock_(slot_->lock()),
        model_(settings.configBlock) {
    Chip& chip = model_.chip();
    chip.setIdentificationEcho(settings.identificationEcho);
    chip.onRecognised([this](const std::string& design) {
      reports_.note("the simulated card recognises the design " + design);
    });
    if (settings.recordEvents) {
      model_.onEvent([this](const Event& event) { keep(event); });
    }
    model_.onInterrupt([this](std::uint32_t word) {
      reports_.interrupt(word);
      signal_ = interruptEvent_;
    });
    slot_->attach(this);
  }

  ~SimCard() override { slot_->giveBack(); }

  // ---- platform::Device ----

  const char* backend() const override { return "simulated card"; }

  // Request 0.
  bool check(std::string* failure) override {
    Guard guard(lock_);
    recordRequest(DriverRequest::Check);
    if (!settings_.checkFails) return true;
    *failure =
        "the driver's check request failed (simulated fault check-fails)";
    return false;
  }

  // Request 6.
  bool mapWindow(platform::Window* window, std::string* failure) override {
    Guard guard(lock_);
    recordRequest(DriverRequest::MapChipWindow);
    if (settings_.noAnswer) {
      *failure =
          "the driver did not map the chip window (simulated fault "
          "no-answer)";
      return false;
    }
    if (slot_->base() == nullptr) {
      *failure = "no address space is left for the chip window (0x" +
                 card::hexText(card::kWindowSize) + " bytes)";
      return false;
    }
    *window = platform::Window{slot_->base(), card::kWindowSize, slot_};
    return true;
  }

  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override {
    std::uint32_t returned = 0;
    bool ok;
    platform::Handle signal;
    {
      Guard lock(lock_);
      ok = serve(lock, static_cast<DriverRequest>(code),
                 Buffers{inBuffer, inSize, outBuffer, outSize}, &returned);
      signal = takeSignal();
    }
    if (signal != nullptr) platform::setEvent(signal);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok;
  }

  bool portOut32(std::uint16_t port, std::uint32_t value,
                 std::string* /*failure*/) override {
    Guard guard(lock_);
    model_.portOut(port, value);
    return true;
  }

  bool portIn32(std::uint16_t port, std::uint32_t* value,
                std::string* /*failure*/) override {
    Guard guard(lock_);
    *value = model_.portIn(port);
    return true;
  }

  void onClose() override {
    // The driver forgets the connection's event; the hardware stays as it is.
    Guard guard(lock_);
    interruptEvent_ = nullptr;
  }

  // ---- sim::Card ----

  std::vector<Event> events() const override {
    Guard guard(lock_);
    return events_;
  }
  void clearEvents() override {
    Guard guard(lock_);
    events_.clear();
  }

  void raiseInterrupt(std::uint32_t word) override {
    platform::Handle signal;
    {
      Guard guard(lock_);
      model_.raiseInterrupt(word);
      signal = takeSignal();
    }
    // Through the seam: a handle closed meanwhile is refused, never misused.
    if (signal != nullptr) platform::setEvent(signal);
  }

  unsigned interruptWordRequests() const override {
    Guard guard(lock_);
    return interruptWordRequests_;
  }

  void releaseStuckRequests() override {
    Guard guard(lock_);
    released_ = true;
  }

  void setPortInput(std::uint16_t offset, std::uint32_t value) override {
    Guard guard(lock_);
    model_.setPortInput(offset, value);
  }
  std::uint32_t lastPortOutput(std::uint16_t offset) const override {
    Guard guard(lock_);
    return model_.lastPortOutput(offset);
  }

  void setConfigBlock(const ConfigBlock& block) override {
    Guard guard(lock_);
    model_.setConfigBlock(block);
  }

  std::uint32_t peekChip(std::uint16_t address) const override {
    Guard guard(lock_);
    return model_.chip().peek(address);
  }
  void setIdentificationEcho(bool on) override {
    Guard guard(lock_);
    model_.chip().setIdentificationEcho(on);
  }
  int busWidth() const override {
    Guard guard(lock_);
    return model_.chip().busWidth();
  }

  const ClockDecoder& clock() const override { return model_.clock(); }

  std::string activeDesign() const override {
    Guard guard(lock_);
    return model_.chip().activeDesign();
  }

 private:
  // ---- WindowSlot::Holder: under the lock ----

  std::uint32_t windowRead(std::uint32_t offset) override {
    const std::uint32_t value =
        model_.windowRead(offset, EventKind::WindowRead);
    if (signal_ != nullptr) slot_->signalAfterAccess(takeSignal());
    return value;
  }

  void windowWrite(std::uint32_t offset, std::uint32_t value) override {
    model_.windowWrite(offset, value, EventKind::WindowWrite);
    if (signal_ != nullptr) slot_->signalAfterAccess(takeSignal());
  }

  // The interrupt event to signal once the lock is let go; null when none.
  platform::Handle takeSignal() {
    platform::Handle signal = signal_;
    signal_ = nullptr;
    return signal;
  }

  // Every request but 0 and 6, under the lock. A request that carries no
  // chip data is recorded as it starts; a word request by its words, or by
  // its code when it fails.
  bool serve(Guard& lock, DriverRequest request, const Buffers& buffers,
             std::uint32_t* returned) {
    const bool words = request == DriverRequest::WriteWord ||
                       request == DriverRequest::ReadWords;
    if (!words || settings_.noAnswer) recordRequest(request);
    if (settings_.noAnswer) return false;
    switch (request) {
      case DriverRequest::WriteWord:
        return writeWordRequest(buffers);
      case DriverRequest::ReadWords:
        return readWordsRequest(buffers, returned);
      case DriverRequest::SetInterruptEvent:
        interruptEvent_ = static_cast<platform::Handle>(buffers.in);
        return true;
      case DriverRequest::Shutdown:
        interruptEvent_ = nullptr;
        return true;
      case DriverRequest::GetConfigInfo:
        return configInfo(buffers, returned);
      case DriverRequest::GetInterruptWord:
        return interruptWord(lock, buffers, returned);
      case DriverRequest::Check:          // served by check()
      case DriverRequest::MapChipWindow:  // served by mapWindow()
        break;
    }
    return false;  // an unknown code
  }

  // Request 1: one word, from the value pointer to the window offset.
  bool writeWordRequest(const Buffers& buffers) {
    const std::uint64_t offset = numberOf(buffers.out);
    if (buffers.in == nullptr || buffers.inSize != 1 ||
        !CardModel::inWindow(offset, 1)) {
      recordRequest(DriverRequest::WriteWord);
      return false;
    }
    std::uint32_t value;
    std::memcpy(&value, buffers.in, sizeof value);
    model_.windowWrite(static_cast<std::uint32_t>(offset), value,
                       EventKind::DriverWrite);
    return true;
  }

  // Request 2: inSize words from the window offset into the buffer.
  bool readWordsRequest(const Buffers& buffers, std::uint32_t* returned) {
    const std::uint64_t offset = numberOf(buffers.out);
    if ((buffers.in == nullptr && buffers.inSize != 0) ||
        !CardModel::inWindow(offset, buffers.inSize)) {
      recordRequest(DriverRequest::ReadWords);
      return false;
    }
    auto* target = static_cast<std::uint8_t*>(buffers.in);
    for (std::uint32_t i = 0; i < buffers.inSize; ++i) {
      const std::uint32_t value = model_.windowRead(
          static_cast<std::uint32_t>(offset + 4 * i), EventKind::DriverRead);
      std::memcpy(target + 4 * i, &value, sizeof value);
    }
    *returned = 4 * buffers.inSize;
    return true;
  }

  // Request 5: the configuration block; fault memory-bar1 clears the I/O
  // indicator of base address register 1.
  bool configInfo(const Buffers& buffers, std::uint32_t* returned) {
    ConfigBlock block = model_.configBlock();
    if (buffers.out == nullptr || buffers.outSize < block.size()) return false;
    if (settings_.memoryBar1) {
      block[card::kBaseAddress1] &= ~card::kIoSpaceIndicator;
    }
    std::memcpy(buffers.out, block.data(), block.size());
    *returned = static_cast<std::uint32_t>(block.size());
    return true;
  }

  // Request 10: the latest interrupt word. Fault stuck-watcher holds it
  // until released, letting the lock go meanwhile so that the other
  // threads' requests go on.
  bool interruptWord(Guard& lock, const Buffers& buffers,
                     std::uint32_t* returned) {
    if (buffers.out == nullptr || buffers.outSize < 4) return false;
    if (settings_.stuckWatcher) {
      if (stuckPause_ == nullptr) stuckPause_ = platform::os::newEvent();
      const std::shared_ptr<platform::os::Event> pause = stuckPause_;
      while (!released_) {
        lock.unlock();
        platform::os::wait(*pause, 10);
        lock.lock();
      }
    }
    const std::uint32_t word = model_.interruptWord();
    std::memcpy(buffers.out, &word, sizeof word);
    ++interruptWordRequests_;
    *returned = 4;
    return true;
  }

  void recordRequest(DriverRequest request) {
    model_.record({EventKind::Request, card::code(request), 0, false});
  }
  // Out of line, so that an access that records nothing stays short.
  [[gnu::noinline]] void keep(const Event& event) { events_.push_back(event); }

  const Settings settings_;
  platform::Reports& reports_;
  WindowSlot* const slot_;
  platform::os::SpinLock& lock_;  // the slot's: window accesses take it too
  CardModel model_;
  bool released_ = false;
  // Never signalled: a held request 10 sleeps on it between looks. Made by
  // the first such request.
  std::shared_ptr<platform::os::Event> stuckPause_;
  platform::Handle interruptEvent_ = nullptr;
  platform::Handle signal_ = nullptr;  // an interrupt raised, to signal
  unsigned interruptWordRequests_ = 0;
  std::vector<Event> events_;
};

struct Current {
  platform::os::Lock lock;
  std::shared_ptr<SimCard> card;
};
// Never destroyed: detached threads may still reach the card at exit.
Current& currentCard() {
  static auto* c = new Current;
  return *c;
}

}  // namespace

std::shared_ptr<Card> Card::current() {
  Current& c = currentCard();
  platform::os::LockGuard guard(c.lock);
  return c.card;
}

void resetSettings() {
  restoreDefaultSettings();
  std::shared_ptr<SimCard> old;
  {
    Current& c = currentCard();
    platform::os::LockGuard guard(c.lock);
    old = std::move(c.card);
  }
  // A forgotten card lets its stuck requests go, so no thread waits forever
  // on a card that nobody can reach any more.
  if (old != nullptr) old->releaseStuckRequests();
}

}  // namespace sim

namespace platform::backends {

std::shared_ptr<Device> openSimulatedCard(const OpenRequest& request,
                                          std::string* failure) {
  sim::Settings settings;
  if (!sim::settingsForOpen(&settings, request.faults, failure)) return nullptr;
  if (settings.noDevice) {
    *failure = "no simulated card present (simulated fault no-device)";
    return nullptr;
  }
  std::shared_ptr<sim::SimCard> card;
  try {
    card = std::make_shared<sim::SimCard>(settings, request.reports);
  } catch (const std::bad_alloc&) {
    *failure = "not enough memory for the simulated card";
    return nullptr;
  }
  sim::Current& c = sim::currentCard();
  platform::os::LockGuard guard(c.lock);
  c.card = card;
  return card;
}

}  // namespace platform::backends
