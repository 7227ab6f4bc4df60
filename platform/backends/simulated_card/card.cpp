// The simulated card: the driver's requests, the control ports, interrupts
// and the record of its events (the seam writes the trace). The chip, the
// clock decoder, the window range and the settings are pieces it drives.
#include "platform/backends/simulated_card/card.h"

#include <cstring>
#include <unordered_map>

#include "card/bytes.h"
#include "card/hex.h"
#include "platform/backends/backends.h"
#include "platform/backends/simulated_card/window_pool.h"
#include "platform/device.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "sim/chip.h"
#include "sim/clock_decoder.h"

namespace sim {
namespace {

using card::kFloatingBus;
constexpr std::uint32_t kPortCount = card::kPortSpan / 4;

using ConfigBlock = std::array<std::uint8_t, card::kConfigBlockSize>;

// The buffers of a driver request, as the caller passed them.
struct Buffers {
  void* in;
  std::uint32_t inSize;
  void* out;
  std::uint32_t outSize;
};

// A plain number passed in place of a buffer pointer.
std::uint64_t numberOf(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// Whether `words` whole words from a window byte offset lie in the window.
bool validRange(std::uint64_t offset, std::uint64_t words) {
  return offset % 4 == 0 && offset + 4 * words <= card::kWindowSize;
}

class SimCard final : public platform::Device, public Card {
 public:
  SimCard(const Settings& settings, platform::Reports& reports)
      : settings_(settings),
        reports_(reports),
        config_(settings.configBlock),
        ioBase_(static_cast<std::uint16_t>(
            card::loadLe32(&settings.configBlock[card::kBaseAddress1]) &
            card::kIoDecodeMask)) {
    chip_.setIdentificationEcho(settings.identificationEcho);
    chip_.onRecognised([this](const std::string& design) {
      reports_.note("the simulated card recognises the design " + design);
    });
  }

  // ---- platform::Device ----

  const char* backend() const override { return "simulated card"; }

  // Request 0.
  bool check(std::string* failure) override {
    platform::os::LockGuard guard(lock_);
    recordRequest(DriverRequest::Check);
    if (!settings_.checkFails) return true;
    *failure =
        "the driver's check request failed (simulated fault check-fails)";
    return false;
  }

  // Request 6.
  bool mapWindow(platform::Window* window, std::string* failure) override {
    platform::os::LockGuard guard(lock_);
    recordRequest(DriverRequest::MapChipWindow);
    if (settings_.noAnswer) {
      *failure =
          "the driver did not map the chip window (simulated fault "
          "no-answer)";
      return false;
    }
    if (window_.base() == nullptr) {
      *failure = "no address space is left for the chip window (0x" +
                 card::hexText(card::kWindowSize) + " bytes)";
      return false;
    }
    *window = platform::Window{window_.base(), card::kWindowSize};
    return true;
  }

  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override {
    std::uint32_t returned = 0;
    bool ok;
    {
      platform::os::LockGuard lock(lock_);
      ok = serve(lock, static_cast<DriverRequest>(code),
                 Buffers{inBuffer, inSize, outBuffer, outSize}, &returned);
    }
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok;
  }

  void portOut32(std::uint16_t port, std::uint32_t value) override {
    platform::os::LockGuard guard(lock_);
    record(EventKind::PortOut, port, value, false);
    const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
    if (!isPort(offset)) return;
    outputs_[offset / 4] = value;
    if (offset == card::kClockPort) {
      clock_.portWrite(value);
      chip_.setClockRunning(clock_.running());
    }
  }

  std::uint32_t portIn32(std::uint16_t port) override {
    platform::os::LockGuard guard(lock_);
    const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
    const std::uint32_t value =
        isPort(offset) ? inputs_[offset / 4] : kFloatingBus;
    record(EventKind::PortIn, port, value, false);
    return value;
  }

  bool routesWindow() const override { return true; }

  std::uint32_t windowRead32(std::uint32_t offset) override {
    platform::os::LockGuard guard(lock_);
    return readWord(offset, EventKind::WindowRead);
  }

  void windowWrite32(std::uint32_t offset, std::uint32_t value) override {
    platform::os::LockGuard guard(lock_);
    writeWord(offset, value, EventKind::WindowWrite);
  }

  void onClose() override {
    // The driver forgets the connection's event; the hardware stays as it is.
    platform::os::LockGuard guard(lock_);
    interruptEvent_ = nullptr;
  }

  // ---- sim::Card ----

  std::vector<Event> events() const override {
    platform::os::LockGuard guard(lock_);
    return events_;
  }
  void clearEvents() override {
    platform::os::LockGuard guard(lock_);
    events_.clear();
  }

  void raiseInterrupt(std::uint32_t word) override {
    platform::Handle event;
    {
      platform::os::LockGuard guard(lock_);
      interruptWord_ = word;
      record(EventKind::Interrupt, 0, word, false);
      event = interruptEvent_;
    }
    reports_.interrupt(word);
    // Through the seam: a handle closed meanwhile is refused, never misused.
    if (event != nullptr) platform::setEvent(event);
  }

  unsigned interruptWordRequests() const override {
    platform::os::LockGuard guard(lock_);
    return interruptWordRequests_;
  }

  void releaseStuckRequests() override {
    platform::os::LockGuard guard(lock_);
    released_ = true;
  }

  void setPortInput(std::uint16_t offset, std::uint32_t value) override {
    platform::os::LockGuard guard(lock_);
    if (isPort(offset)) inputs_[offset / 4] = value;
  }
  std::uint32_t lastPortOutput(std::uint16_t offset) const override {
    platform::os::LockGuard guard(lock_);
    return isPort(offset) ? outputs_[offset / 4] : 0;
  }

  void setConfigBlock(const ConfigBlock& block) override {
    platform::os::LockGuard guard(lock_);
    config_ = block;
  }

  std::uint32_t peekChip(std::uint16_t address) const override {
    platform::os::LockGuard guard(lock_);
    return chip_.peek(address);
  }
  void setIdentificationEcho(bool on) override {
    platform::os::LockGuard guard(lock_);
    chip_.setIdentificationEcho(on);
  }
  int busWidth() const override {
    platform::os::LockGuard guard(lock_);
    return chip_.busWidth();
  }

  const ClockDecoder& clock() const override { return clock_; }

  std::string activeDesign() const override {
    platform::os::LockGuard guard(lock_);
    return chip_.activeDesign();
  }

 private:
  static bool isPort(std::uint16_t offset) {
    return offset < card::kPortSpan && offset % 4 == 0;
  }

  // Every request but 0 and 6, under the lock. A request that carries no
  // chip data is recorded as it starts; a word request by its words, or by
  // its code when it fails.
  bool serve(platform::os::LockGuard& lock, DriverRequest request,
             const Buffers& buffers, std::uint32_t* returned) {
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
        return setInterruptEvent(buffers);
      case DriverRequest::Shutdown:
        return shutdown();
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
        !validRange(offset, 1)) {
      recordRequest(DriverRequest::WriteWord);
      return false;
    }
    std::uint32_t value;
    std::memcpy(&value, buffers.in, sizeof value);
    writeWord(static_cast<std::uint32_t>(offset), value,
              EventKind::DriverWrite);
    return true;
  }

  // Request 2: inSize words from the window offset into the buffer.
  bool readWordsRequest(const Buffers& buffers, std::uint32_t* returned) {
    const std::uint64_t offset = numberOf(buffers.out);
    if ((buffers.in == nullptr && buffers.inSize != 0) ||
        !validRange(offset, buffers.inSize)) {
      recordRequest(DriverRequest::ReadWords);
      return false;
    }
    auto* target = static_cast<std::uint8_t*>(buffers.in);
    for (std::uint32_t i = 0; i < buffers.inSize; ++i) {
      const std::uint32_t value = readWord(
          static_cast<std::uint32_t>(offset + 4 * i), EventKind::DriverRead);
      std::memcpy(target + 4 * i, &value, sizeof value);
    }
    *returned = 4 * buffers.inSize;
    return true;
  }

  // Request 3: the converted event handle comes in place of the buffer.
  bool setInterruptEvent(const Buffers& buffers) {
    interruptEvent_ = static_cast<platform::Handle>(buffers.in);
    return true;
  }

  // Request 4.
  bool shutdown() {
    interruptEvent_ = nullptr;
    return true;
  }

  // Request 5: the configuration block; fault memory-bar1 clears the I/O
  // indicator of base address register 1.
  bool configInfo(const Buffers& buffers, std::uint32_t* returned) {
    if (buffers.out == nullptr || buffers.outSize < config_.size()) {
      return false;
    }
    ConfigBlock block = config_;
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
  bool interruptWord(platform::os::LockGuard& lock, const Buffers& buffers,
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
    std::memcpy(buffers.out, &interruptWord_, sizeof interruptWord_);
    ++interruptWordRequests_;
    *returned = 4;
    return true;
  }

  // One word access at a window byte offset, as the given kind of event.
  // Below the chip the window is plain board memory; an offset outside the
  // window or off a word boundary reaches nothing.
  std::uint32_t readWord(std::uint32_t offset, EventKind kind) {
    if (card::isChipOffset(offset)) {
      const auto address =
          static_cast<std::uint16_t>(card::chipAddressOf(offset));
      const std::uint32_t value = chip_.read(address);
      record(kind, address, value, true);
      return value;
    }
    std::uint32_t value = kFloatingBus;
    if (validRange(offset, 1)) {
      auto it = memory_.find(offset);
      value = it != memory_.end() ? it->second : 0;
    }
    record(kind, offset, value, false);
    return value;
  }

  void writeWord(std::uint32_t offset, std::uint32_t value, EventKind kind) {
    if (card::isChipOffset(offset)) {
      const auto address =
          static_cast<std::uint16_t>(card::chipAddressOf(offset));
      record(kind, address, value, true);
      chip_.write(address, value);
      return;
    }
    record(kind, offset, value, false);
    if (validRange(offset, 1)) memory_[offset] = value;
  }

  void recordRequest(DriverRequest request) {
    record(EventKind::Request, card::code(request), 0, false);
  }
  void record(EventKind kind, std::uint32_t where, std::uint32_t value,
              bool inChip) {
    if (settings_.recordEvents) keep({kind, where, value, inChip});
  }
  // Out of line, so that an access that records nothing stays short.
  [[gnu::noinline]] void keep(const Event& event) { events_.push_back(event); }

  const Settings settings_;
  platform::Reports& reports_;
  mutable platform::os::Lock lock_;
  ConfigBlock config_;
  const std::uint16_t ioBase_;
  const WindowRange window_;
  bool released_ = false;
  // Never signalled: a held request 10 sleeps on it between looks. Made by
  // the first such request.
  std::shared_ptr<platform::os::Event> stuckPause_;
  platform::Handle interruptEvent_ = nullptr;
  std::uint32_t interruptWord_ = 0;
  unsigned interruptWordRequests_ = 0;
  std::array<std::uint32_t, kPortCount> inputs_{};
  std::array<std::uint32_t, kPortCount> outputs_{};
  Chip chip_;
  std::unordered_map<std::uint32_t, std::uint32_t> memory_;  // below the chip
  ClockDecoder clock_{card::kClockReferenceMHz};
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
  if (!sim::settingsForOpen(&settings, failure)) return nullptr;
  if (settings.noDevice) {
    *failure = "no simulated card present (simulated fault no-device)";
    return nullptr;
  }
  auto card = std::make_shared<sim::SimCard>(settings, request.reports);
  sim::Current& c = sim::currentCard();
  platform::os::LockGuard guard(c.lock);
  c.card = card;
  return card;
}

}  // namespace platform::backends
