// The driver connection: open, close, the configuration block and the
// interrupt watcher with its handlers.
#include "boardlib/board.h"

#include <cstdint>
#include <cstdio>
#include <memory>

platform::Handle deviceHandle = nullptr;
std::atomic<std::uint32_t> lastInterruptWord{0};
std::atomic<std::int32_t> interruptFlag{0};

namespace {

constexpr const char* kDevicePath = "\\\\.\\TV940.VXD";
constexpr std::uint32_t kCloseWaitMs = 5000;

bool request(platform::Handle device, DriverRequest code, void* in,
             std::uint32_t inSize, void* out, std::uint32_t outSize,
             std::uint32_t* bytesReturned) {
  return platform::deviceRequest(device, static_cast<std::uint32_t>(code), in,
                                 inSize, out, outSize, bytesReturned);
}

// Whether the block's base address registers place the card where the
// library can reach all of it: register 1 an I/O register whose port block
// lies whole, aligned, below port 0x10000; register 0 (the chip window) a
// memory register. Otherwise false with `text` naming the register. The
// reason names the failed request when there was one, since the zeroed block
// is then not the card's.
bool registersUsable(const BoardConfigInfo& block, bool blockFilled, char* text,
                     std::size_t size) {
  const std::uint32_t bar0 = block.baseAddressRegister0();
  const std::uint32_t bar1 = block.baseAddressRegister1();
  const std::uint32_t base = bar1 & card::kIoBaseMask;
  const auto shown = static_cast<unsigned>(bar1);
  if ((bar1 & card::kIoSpaceIndicator) == 0) {
    std::snprintf(text, size,
                  blockFilled ? "base address register 1 (0x%08X) is not an "
                                "I/O-space register"
                              : "the driver did not return the configuration "
                                "block (base address register 1 reads "
                                "0x%08X)",
                  shown);
  } else if (bar1 > 0xFFFFu || base + card::kPortSpan > 0x10000u) {
    std::snprintf(text, size,
                  "base address register 1 (0x%08X) places the control "
                  "ports' %u-byte block past port 0xFFFF",
                  shown, unsigned{card::kPortSpan});
  } else if (base % card::kPortSpan != 0) {
    std::snprintf(text, size,
                  "base address register 1 (0x%08X) is not aligned to the "
                  "control ports' %u-byte block",
                  shown, unsigned{card::kPortSpan});
  } else if ((bar0 & card::kIoSpaceIndicator) != 0) {
    std::snprintf(text, size,
                  "base address register 0 (0x%08X) is an I/O-space "
                  "register; the chip window needs a memory register",
                  static_cast<unsigned>(bar0));
  } else {
    return true;
  }
  return false;
}

}  // namespace

Board::Board() = default;

Board::~Board() { close(); }

const char* Board::openFailure() { return platform::lastOpenFailure(); }

const char* Board::traceFailure() { return platform::finishTrace(); }

bool Board::isTraceFile(const char* path) {
  return path != nullptr && platform::isTraceFile(path);
}

const char* Board::cardFailure() {
  cardFailure_ = open_ ? platform::cardFailures(connection_) : "";
  return cardFailure_.c_str();
}

void Board::keepTraceOff(const char* path, const char* what) {
  platform::keepTraceOff(path, what);
}

ErrorCode Board::open() { return open(nullptr); }

ErrorCode Board::open(const char* selector) {
  if (open_) {
    platform::setOpenFailure(connection_, "the board is already open");
    return -5;
  }
  // Leftovers of an earlier failed open (a device handle, events, a watcher).
  release();

  handleConverter = reinterpret_cast<platform::HandleConverter>(
      platform::findModuleFunction("KERNEL32", "OpenVxDHandle"));

  // A failed open leaves the library's connection as it was. The seam says
  // why its own steps failed: the device, the check, the window.
  const platform::Handle device =
      selector != nullptr ? platform::openDeviceAs(kDevicePath, selector)
                          : platform::openDevice(kDevicePath);
  if (device == nullptr) return -5;
  deviceHandle = device;
  connection_ = device;

  if (!request(connection_, DriverRequest::Check, nullptr, 0, nullptr, 0,
               &bytesReturned)) {
    return -5;
  }

  interruptEvent = platform::createEvent();
  stopEvent = platform::createEvent();
  eventsCreated_ = true;

  // Without a window every chip access would go nowhere: the open fails.
  chipWindow = nullptr;
  if (!request(connection_, DriverRequest::MapChipWindow, nullptr, 0,
               &chipWindow, sizeof chipWindow, &bytesReturned) ||
      chipWindow == nullptr) {
    chipWindow = nullptr;
    return -5;
  }

  notice_ = std::make_shared<InterruptNotice>();
  notice_->event = platform::createEvent();
  auto* watch =
      new InterruptWatch{connection_, {interruptEvent, stopEvent}, notice_};
  watcherStarted_ =
      platform::startThread(interruptWatcher, watch, &bytesReturned);
  if (!watcherStarted_) delete watch;

  driverInterruptEvent = handleConverter != nullptr
                             ? handleConverter(interruptEvent)
                             : interruptEvent;
  request(connection_, DriverRequest::SetInterruptEvent, driverInterruptEvent,
          0, nullptr, 0, &bytesReturned);

  // Likewise a failed request must not leave an earlier block to be trusted.
  configInfo = BoardConfigInfo{};
  const bool blockFilled =
      request(connection_, DriverRequest::GetConfigInfo, nullptr, 0,
              &configInfo, sizeof configInfo, &bytesReturned);

  char text[160];
  if (!registersUsable(configInfo, blockFilled, text, sizeof text)) {
    platform::setOpenFailure(connection_, text);
    return -5;
  }
  const std::uint32_t bar1 = configInfo.baseAddressRegister1();
  ioBase = static_cast<std::uint16_t>(bar1 & card::kIoBaseMask);
  baseAddress0 = configInfo.baseAddressRegister0();
  open_ = true;
  return 0;
}

void Board::close() { release(); }

void Board::release() {
  if (connection_ == nullptr) return;
  request(connection_, DriverRequest::Shutdown, nullptr, 0, nullptr, 0,
          &bytesReturned);
  if (eventsCreated_) {
    platform::setEvent(stopEvent);
    // The watcher signals the interrupt event as it ends; go on without it
    // after the time-out.
    if (watcherStarted_) platform::waitEvent(interruptEvent, kCloseWaitMs);
  }
  platform::closeHandle(connection_);
  if (eventsCreated_) {
    platform::closeHandle(interruptEvent);
    platform::closeHandle(stopEvent);
  }
  // Wakes whoever waits for an interrupt of this connection: the closed
  // event fails their wait.
  if (notice_ != nullptr) platform::closeHandle(notice_->event);
  notice_.reset();
  connection_ = nullptr;
  eventsCreated_ = false;
  watcherStarted_ = false;
  open_ = false;
}

bool Board::driverRequest(DriverRequest code, void* in, std::uint32_t inSize,
                          void* out, std::uint32_t outSize) {
  if (!open_) return false;
  return request(connection_, code, in, inSize, out, outSize, &bytesReturned);
}

BoardConfigInfo* Board::readConfigInfo() {
  driverRequest(DriverRequest::GetConfigInfo, nullptr, 0, &configInfo,
                sizeof configInfo);
  return &configInfo;
}

std::uint32_t PLATFORM_STDCALL interruptWatcher(void* argument) {
  const std::unique_ptr<InterruptWatch> watch(
      static_cast<InterruptWatch*>(argument));
  const platform::Handle acknowledge = watch->events[0];
  // A stop, or a failed wait (the close has closed the events), ends it.
  while (platform::waitAnyOfTwo(watch->events) == platform::WaitResult::First) {
    std::uint32_t word = 0;
    std::uint32_t bytes = 0;
    request(watch->device, DriverRequest::GetInterruptWord, nullptr, 0, &word,
            sizeof word, &bytes);
    lastInterruptWord.store(word);
    if (watch->notice != nullptr) {
      watch->notice->word.store(word);
      watch->notice->count.fetch_add(1);
      platform::setEvent(watch->notice->event);
    }
    platform::startThread(
        interruptHandler,
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(word)), nullptr);
  }
  platform::setEvent(acknowledge);
  return 0;
}

std::uint32_t PLATFORM_STDCALL interruptHandler(void* /*word*/) {
  interruptFlag.store(1);
  return 0;
}
