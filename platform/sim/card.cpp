// The simulated card's core: the settings and faults of the next open, the
// driver requests, the control ports, the chip window, the chip's registers,
// interrupts and the record of its events (the seam writes the trace). The
// clock decoder and the behavioural designs are separate pieces that the
// card drives.
#include "platform/sim/card.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "platform/device.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "platform/sim/clock_decoder.h"
#include "platform/sim/design.h"
#include "platform/trace.h"

namespace sim {
namespace {

constexpr std::uint32_t kChipBase = platform::kChipRegion;
constexpr std::uint16_t kPortSpan = platform::kPortBlockSize;
constexpr std::uint16_t kClockPort = 20;
constexpr std::uint32_t kFloating = 0xFFFFFFFFu;  // what nobody drives reads as

constexpr std::uint16_t kDeviceConfig = 0xC000;
constexpr std::uint16_t kMaskC010 = 0xC010;
constexpr std::uint16_t kMaskC014 = 0xC014;
constexpr std::uint16_t kIdentificationFirst = 0xC030;
constexpr std::uint16_t kIdentificationByte = 0xC03F;

void putWord(std::array<std::uint8_t, 148>& block, unsigned offset,
             std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i)
    block[offset + i] = (value >> (8 * i)) & 0xFF;
}
std::uint32_t getWord(const std::array<std::uint8_t, 148>& block,
                      unsigned offset) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < 4; ++i)
    value |= std::uint32_t(block[offset + i]) << (8 * i);
  return value;
}

// The column register of a column: mode 0, columnOffset 3, row 0.
bool isColumnRegister(std::uint16_t address) {
  return (address & 0xC0FF) == 0x00C0;
}
// Registers the library treats as 8 bits wide keep only their low byte.
bool isByteRegister(std::uint16_t address) {
  return address == kDeviceConfig || address == 0xC004 || address == 0xC005 ||
         (address >= kIdentificationFirst && address <= kIdentificationByte);
}

// Window bases handed out by the map request: reserved, inaccessible ranges
// of the window's size, so nothing of the window is committed and any access
// that bypasses the seam's accessor faults instead of reaching other memory.
// A range stays reserved after its card has gone, so a stale window pointer
// never reaches a later card. Only where address space is scarce (32 bits:
// a few hundred windows would exhaust it) does a later card reuse the range
// of one that has gone.
constexpr bool kReuseWindowRanges = sizeof(void*) < 8;

struct WindowPool {
  platform::os::Lock lock;
  std::vector<std::uint8_t*> free;
};
WindowPool& windowPool() {
  static auto* pool = new WindowPool;
  return *pool;
}

std::uint8_t* takeWindowBase() {
  WindowPool& pool = windowPool();
  platform::os::LockGuard guard(pool.lock);
  if (!pool.free.empty()) {
    std::uint8_t* base = pool.free.back();
    pool.free.pop_back();
    return base;
  }
  return static_cast<std::uint8_t*>(
      platform::os::reserveAddressSpace(kWindowSize));
}

void giveBackWindowBase(std::uint8_t* base) {
  if (base == nullptr || !kReuseWindowRanges) return;
  WindowPool& pool = windowPool();
  platform::os::LockGuard guard(pool.lock);
  pool.free.push_back(base);
}

class SimCard;

struct Globals {
  platform::os::Lock lock;
  Settings next;
  std::shared_ptr<SimCard> current;
};
// Never destroyed: detached threads may still reach the card at exit.
Globals& globals() {
  static auto* g = new Globals;
  return *g;
}

class SimCard final : public platform::Device, public Card {
 public:
  explicit SimCard(const Settings& settings)
      : settings_(settings),
        config_(settings.configBlock),
        ioBase_(static_cast<std::uint16_t>(getWord(settings.configBlock, 20) &
                                           0xFFFC)),
        window_(takeWindowBase()),
        echo_(settings.identificationEcho),
        chip_(0x10000, 0) {}

  ~SimCard() override { giveBackWindowBase(window_); }

  // ---- platform::Device ----

  const char* backend() const override { return "simulated card"; }

  bool check(std::string* failure) override {
    platform::os::LockGuard guard(lock_);
    record(EventKind::Request, 0, 0, false);
    if (!settings_.checkFails) return true;
    *failure =
        "the driver's check request failed (simulated fault check-fails)";
    return false;
  }

  bool mapWindow(platform::Window* window, std::string* failure) override {
    platform::os::LockGuard guard(lock_);
    record(EventKind::Request, 6, 0, false);
    if (settings_.noAnswer) {
      *failure =
          "the driver did not map the chip window (simulated fault "
          "no-answer)";
      return false;
    }
    if (window_ == nullptr) {
      *failure =
          "no address space is left for the chip window (0x840000 "
          "bytes)";
      return false;
    }
    *window = platform::Window{window_, kWindowSize};
    return true;
  }

  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override {
    std::uint32_t returned = 0;
    const bool ok =
        serve(code, inBuffer, inSize, outBuffer, outSize, &returned);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok;
  }

  void portOut32(std::uint16_t port, std::uint32_t value) override {
    platform::os::LockGuard guard(lock_);
    record(EventKind::PortOut, port, value, false);
    const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
    if (offset >= kPortSpan || offset % 4 != 0) return;
    outputs_[offset / 4] = value;
    if (offset == kClockPort) clock_.portWrite(value);
  }

  std::uint32_t portIn32(std::uint16_t port) override {
    platform::os::LockGuard guard(lock_);
    const std::uint16_t offset = static_cast<std::uint16_t>(port - ioBase_);
    const std::uint32_t value =
        offset < kPortSpan && offset % 4 == 0 ? inputs_[offset / 4] : kFloating;
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
    if (platform::trace::on()) {
      platform::trace::write({EventKind::Interrupt, 0, word, false});
    }
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
    if (offset < kPortSpan && offset % 4 == 0) inputs_[offset / 4] = value;
  }
  std::uint32_t lastPortOutput(std::uint16_t offset) const override {
    platform::os::LockGuard guard(lock_);
    return offset < kPortSpan && offset % 4 == 0 ? outputs_[offset / 4] : 0;
  }

  void setConfigBlock(const std::array<std::uint8_t, 148>& block) override {
    platform::os::LockGuard guard(lock_);
    config_ = block;
  }

  std::uint32_t peekChip(std::uint16_t address) const override {
    platform::os::LockGuard guard(lock_);
    return chip_[address];
  }
  void setIdentificationEcho(bool on) override {
    platform::os::LockGuard guard(lock_);
    echo_ = on;
  }
  int busWidth() const override {
    platform::os::LockGuard guard(lock_);
    return busWidthLocked();
  }

  const ClockDecoder& clock() const override { return clock_; }

  std::string activeDesign() const override {
    platform::os::LockGuard guard(lock_);
    recogniseIfChanged();
    return designName_;
  }

 private:
  bool serve(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
             void* outBuffer, std::uint32_t outSize, std::uint32_t* returned) {
    platform::os::LockGuard lock(lock_);
    if (code != 1 && code != 2) record(EventKind::Request, code, 0, false);
    if (settings_.noAnswer) {
      if (code == 1 || code == 2) record(EventKind::Request, code, 0, false);
      return false;
    }
    switch (code) {
      case 1: {  // one word: value pointer, count 1 / window offset
        const auto offset = offsetOf(outBuffer);
        if (inBuffer == nullptr || inSize != 1 || !validRange(offset, 1)) {
          record(EventKind::Request, code, 0, false);
          return false;
        }
        std::uint32_t value;
        std::memcpy(&value, inBuffer, 4);
        writeWord(static_cast<std::uint32_t>(offset), value,
                  EventKind::DriverWrite);
        return true;
      }
      case 2: {  // words: buffer, count / window offset
        const auto offset = offsetOf(outBuffer);
        if ((inBuffer == nullptr && inSize != 0) ||
            !validRange(offset, inSize)) {
          record(EventKind::Request, code, 0, false);
          return false;
        }
        auto* target = static_cast<std::uint8_t*>(inBuffer);
        for (std::uint32_t i = 0; i < inSize; ++i) {
          const std::uint32_t value =
              readWord(static_cast<std::uint32_t>(offset + 4 * i),
                       EventKind::DriverRead);
          std::memcpy(target + 4 * i, &value, 4);
        }
        *returned = 4 * inSize;
        return true;
      }
      case 3:  // the converted interrupt event, in place of the buffer
        interruptEvent_ = static_cast<platform::Handle>(inBuffer);
        return true;
      case 4:
        interruptEvent_ = nullptr;
        return true;
      case 5: {
        if (outBuffer == nullptr || outSize < config_.size()) return false;
        std::array<std::uint8_t, 148> block = config_;
        if (settings_.memoryBar1) block[20] &= 0xFE;
        std::memcpy(outBuffer, block.data(), block.size());
        *returned = static_cast<std::uint32_t>(block.size());
        return true;
      }
      case 10: {
        if (outBuffer == nullptr || outSize < 4) return false;
        if (settings_.stuckWatcher) {
          // Held until released; the lock is let go meanwhile, so that the
          // other threads' requests go on.
          while (!released_) {
            lock.unlock();
            platform::os::wait(*stuckPause_, 10);
            lock.lock();
          }
        }
        std::memcpy(outBuffer, &interruptWord_, 4);
        ++interruptWordRequests_;
        *returned = 4;
        return true;
      }
      default:
        return false;
    }
  }

  static std::uint64_t offsetOf(void* numberAsPointer) {
    return reinterpret_cast<std::uintptr_t>(numberAsPointer);
  }
  static bool validRange(std::uint64_t offset, std::uint64_t words) {
    return offset % 4 == 0 && offset + 4 * words <= kWindowSize;
  }

  // One word access at a window byte offset, as the given kind of event.
  // Offsets outside the window or not on a word boundary reach nothing.
  std::uint32_t readWord(std::uint32_t offset, EventKind kind) {
    std::uint32_t value = kFloating;
    if (!validRange(offset, 1)) {
      record(kind, offset, value, false);
    } else if (offset >= kChipBase) {
      const auto address =
          static_cast<std::uint16_t>((offset - kChipBase) >> 2);
      value = readChip(address);
      record(kind, address, value, true);
    } else {
      auto it = memory_.find(offset);
      value = it != memory_.end() ? it->second : 0;
      record(kind, offset, value, false);
    }
    return value;
  }

  void writeWord(std::uint32_t offset, std::uint32_t value, EventKind kind) {
    if (!validRange(offset, 1)) {
      record(kind, offset, value, false);
    } else if (offset >= kChipBase) {
      const auto address =
          static_cast<std::uint16_t>((offset - kChipBase) >> 2);
      record(kind, address, value, true);
      writeChip(address, value);
    } else {
      record(kind, offset, value, false);
      memory_[offset] = value;
    }
  }

  std::uint32_t readChip(std::uint16_t address) {
    if (isColumnRegister(address)) {
      recogniseIfChanged();
      const int width = busWidthLocked();
      if (width == 0) return 0;  // an invalid bus width carries nothing
      // Without a design the column register is plain storage.
      if (design_ == nullptr) return applyWidth(chip_[address], width);
      return applyWidth(design_->readColumn(address >> 8, context()), width);
    }
    if (address == kIdentificationByte && !echo_) {
      return ~chip_[address] & 0xFF;  // never what was written
    }
    return chip_[address];
  }

  void writeChip(std::uint16_t address, std::uint32_t value) {
    if (isByteRegister(address)) value &= 0xFF;
    if (isColumnRegister(address)) {
      const int width = busWidthLocked();
      chip_[address] = width != 0 ? applyWidth(value, width) : chip_[address];
      recogniseIfChanged();
      if (design_ != nullptr && width != 0) {
        design_->writeColumn(address >> 8, applyWidth(value, width), context());
      }
      return;
    }
    chip_[address] = value;
    if (address >= kConfigurationBase && address < kConfigurationEnd) {
      configurationChanged_ = true;
    }
  }

  // After the configuration changed, the design it holds (if any) starts
  // afresh, as the array does when it is configured again. Recognition waits
  // for the next use, so loading a configuration word by word stays linear.
  void recogniseIfChanged() const {
    if (!configurationChanged_) return;
    configurationChanged_ = false;
    design_.reset();
    designName_.clear();
    std::optional<RecognisedDesign> found = recogniseDesign(
        [this](std::uint16_t address) { return chip_[address]; });
    if (found && found->design != nullptr) {
      design_ = std::move(found->design);
      designName_ = found->name;
      if (platform::trace::on()) {
        platform::trace::comment("the simulated card recognises the design " +
                                 designName_);
      }
    }
  }

  static std::uint32_t applyWidth(std::uint32_t value, int width) {
    if (width == 8) return value & 0xFF;
    if (width == 16) return value & 0xFFFF;
    return value;
  }

  int busWidthLocked() const {
    switch ((chip_[kDeviceConfig] >> 2) & 3) {
      case 0:
        return 8;
      case 1:
        return 16;
      case 2:
        return 32;
      default:
        return 0;
    }
  }

  ChipContext context() const {
    return ChipContext{chip_[kMaskC010], chip_[kMaskC014], clock_.running()};
  }

  void record(EventKind kind, std::uint32_t where, std::uint32_t value,
              bool inChip) {
    if (settings_.recordEvents) events_.push_back({kind, where, value, inChip});
  }

  const Settings settings_;
  mutable platform::os::Lock lock_;
  // Never signalled: a held request 10 sleeps on it between looks.
  std::shared_ptr<platform::os::Event> stuckPause_ = platform::os::newEvent();
  std::array<std::uint8_t, 148> config_;
  const std::uint16_t ioBase_;
  std::uint8_t* const window_;
  bool echo_;
  bool released_ = false;
  platform::Handle interruptEvent_ = nullptr;
  std::uint32_t interruptWord_ = 0;
  unsigned interruptWordRequests_ = 0;
  std::array<std::uint32_t, kPortSpan / 4> inputs_{};
  std::array<std::uint32_t, kPortSpan / 4> outputs_{};
  std::vector<std::uint32_t> chip_;
  std::unordered_map<std::uint32_t, std::uint32_t> memory_;  // below the chip
  ClockDecoder clock_{16.0};
  // The design follows from the configuration; recognising it lazily does not
  // change what the card shows, hence mutable.
  mutable bool configurationChanged_ = false;
  mutable std::unique_ptr<Design> design_;
  mutable std::string designName_;
  std::vector<Event> events_;
};

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

// ---- Settings -------------------------------------------------------------

Settings::Settings() : configBlock{} {
  // A header of the PCI standard's layout: a data-acquisition controller with
  // its chip window in memory space and its control ports in I/O space.
  putWord(configBlock, 4, 0x02800003);   // status, command: memory and I/O on
  putWord(configBlock, 8, 0x11800001);   // class, revision
  putWord(configBlock, 16, 0xF8000000);  // base address register 0
  putWord(configBlock, 20, 0x0000E001);  // base address register 1: I/O
  putWord(configBlock, 60, 0x0000010B);  // interrupt pin A, line 11
}

Settings& nextSettings() { return globals().next; }

void resetSettings() {
  std::shared_ptr<SimCard> old;
  {
    Globals& g = globals();
    platform::os::LockGuard guard(g.lock);
    g.next = Settings();
    old = std::move(g.current);
  }
  // A forgotten card lets its stuck requests go, so no thread waits forever
  // on a card that nobody can reach any more.
  if (old != nullptr) old->releaseStuckRequests();
}

bool applyFaults(const std::string& list, Settings& settings,
                 std::string* error) {
  Settings result = settings;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string name = trimmed(list.substr(start, end - start));
    start = end + 1;
    if (name.empty()) continue;
    if (name == "no-device") {
      result.noDevice = true;
    } else if (name == "check-fails") {
      result.checkFails = true;
    } else if (name == "memory-bar1") {
      result.memoryBar1 = true;
    } else if (name == "no-answer") {
      result.noAnswer = true;
    } else if (name == "stuck-watcher") {
      result.stuckWatcher = true;
    } else if (name == "no-echo") {
      result.identificationEcho = false;
    } else {
      if (error != nullptr) {
        *error = "unknown simulated-card fault '" + name + "'";
      }
      return false;  // nothing applied
    }
  }
  settings = result;
  return true;
}

// ---- The card -------------------------------------------------------------

std::shared_ptr<Card> Card::current() {
  Globals& g = globals();
  platform::os::LockGuard guard(g.lock);
  return g.current;
}

}  // namespace sim

namespace platform {

std::shared_ptr<Device> openSimulatedCard(std::string* failure) {
  sim::Settings settings;
  {
    sim::Globals& g = sim::globals();
    platform::os::LockGuard guard(g.lock);
    settings = g.next;
  }
  if (const char* faults = std::getenv("TV940_SIM_FAULTS")) {
    std::string error;
    if (!sim::applyFaults(faults, settings, &error)) {
      if (failure != nullptr) *failure = error + " in TV940_SIM_FAULTS";
      return nullptr;
    }
  }
  if (settings.noDevice) {
    if (failure != nullptr) {
      *failure = "no simulated card present (simulated fault no-device)";
    }
    return nullptr;
  }
  auto card = std::make_shared<sim::SimCard>(settings);
  sim::Globals& g = sim::globals();
  platform::os::LockGuard guard(g.lock);
  g.current = card;
  return card;
}

}  // namespace platform
