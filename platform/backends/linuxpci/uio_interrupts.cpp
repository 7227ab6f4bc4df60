#include "platform/backends/linuxpci/uio_interrupts.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "card/card_map.h"
#include "card/system_error.h"

namespace platform::linuxpci {
namespace {

// The command register's high byte and its interrupt-disable bit.
constexpr off_t kCommandHighByte = card::kCommandRegister + 1;
constexpr std::uint8_t kInterruptDisable = card::kCommandInterruptDisable >> 8;

}  // namespace

bool openUioNode(const std::string& directory, const std::string& deviceNodes,
                 bool configWritable, UioNode* uio, std::string* failure) {
  const std::string name = uioName(directory);
  if (name.empty()) return true;
  uio->path = deviceNodes + "/" + name;
  bool writable;
  uio->node = openFile(uio->path, &writable);
  if (!uio->node.valid()) {
    *failure = "the device is bound to UIO (" + name + ") but " + uio->path +
               " cannot be opened: " + card::systemErrorText(errno);
    return false;
  }
  if (!configWritable) {
    *failure = "the device is bound to UIO (" + name +
               ") but its interrupts need " + directory +
               "/config open for writing, which is refused";
    return false;
  }
  uio->wake.reset(::eventfd(0, EFD_CLOEXEC));
  if (!uio->wake.valid()) {
    *failure = "cannot create the interrupt thread's wake-up: " +
               card::systemErrorText(errno);
    return false;
  }
  return true;
}

bool UioInterrupts::start(std::string* failure) {
  if (!uio_.node.valid()) return true;
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error& error) {
    *failure =
        std::string("cannot start the interrupt thread: ") + error.what();
    return false;
  }
  return true;
}

bool UioInterrupts::setEvent(Handle event) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopped_) return false;
  event_ = event;
  return true;
}

bool UioInterrupts::interruptWord(void* buffer, std::uint32_t size,
                                  std::uint32_t* returned) {
  if (buffer == nullptr || size < 4 || !uio_.node.valid()) return false;
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock,
                [this] { return stopped_ || threadEnded_ || interruptSeen_; });
  if (stopped_ || !interruptSeen_) return false;
  std::memcpy(buffer, &lastCount_, sizeof lastCount_);
  *returned = sizeof lastCount_;
  return true;
}

void UioInterrupts::stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    event_ = nullptr;
    thread = std::move(thread_);
  }
  changed_.notify_all();
  if (uio_.wake.valid()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(uio_.wake.get(), &one, sizeof one);
  }
  if (thread.joinable()) thread.join();
}

// uio_pci_generic masks the interrupt in the command register when it fires;
// clearing the bit lets the next one through.
bool UioInterrupts::unmask() {
  std::uint8_t high;
  if (readAt(config_, &high, 1, kCommandHighByte) != 1) return false;
  if ((high & kInterruptDisable) == 0) return true;
  high &= std::uint8_t(~kInterruptDisable);
  return ::pwrite(config_, &high, 1, kCommandHighByte) == 1;
}

void UioInterrupts::serve() {
  for (;;) {
    if (!unmask()) break;
    pollfd waits[2] = {{uio_.node.get(), POLLIN, 0},
                       {uio_.wake.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[1].revents != 0) break;
    if ((waits[0].revents & POLLIN) == 0) break;  // error or hang-up
    std::uint32_t count;
    const ssize_t n = ::read(uio_.node.get(), &count, sizeof count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n != ssize_t(sizeof count)) break;
    Handle event;
    {
      std::lock_guard<std::mutex> guard(lock_);
      lastCount_ = count;
      interruptSeen_ = true;
      event = event_;
    }
    changed_.notify_all();
    reports_.interrupt(count);
    if (event != nullptr) platform::setEvent(event);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    threadEnded_ = true;
  }
  changed_.notify_all();
}

}  // namespace platform::linuxpci
