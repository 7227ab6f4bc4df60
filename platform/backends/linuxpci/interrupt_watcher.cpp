#include "platform/backends/linuxpci/interrupt_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "card/system_error.h"

namespace platform::linuxpci {

bool InterruptWatcher::start(std::string* failure) {
  if (source_ == nullptr) return true;
  wake_.reset(::eventfd(0, EFD_CLOEXEC));
  if (!wake_.valid()) {
    *failure = "cannot create the interrupt thread's wake-up: " +
               card::systemErrorText(errno);
    return false;
  }
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error& error) {
    *failure =
        std::string("cannot start the interrupt thread: ") + error.what();
    return false;
  }
  return true;
}

bool InterruptWatcher::setEvent(Handle event) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopped_) return false;
  event_ = event;
  return true;
}

bool InterruptWatcher::interruptWord(void* buffer, std::uint32_t size,
                                     std::uint32_t* returned) {
  if (buffer == nullptr || size < 4 || source_ == nullptr) return false;
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock,
                [this] { return stopped_ || threadEnded_ || interruptSeen_; });
  if (stopped_ || !interruptSeen_) return false;
  std::memcpy(buffer, &lastCount_, sizeof lastCount_);
  *returned = sizeof lastCount_;
  return true;
}

void InterruptWatcher::stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    event_ = nullptr;
    thread = std::move(thread_);
  }
  changed_.notify_all();
  if (wake_.valid()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }
  if (thread.joinable()) thread.join();
}

void InterruptWatcher::serve() {
  for (;;) {
    if (!source_->rearm()) break;
    pollfd waits[2] = {{source_->descriptor(), POLLIN, 0},
                       {wake_.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[1].revents != 0) break;
    if ((waits[0].revents & POLLIN) == 0) break;  // error or hang-up
    std::uint32_t count;
    const InterruptSource::Take taken = source_->take(&count);
    if (taken == InterruptSource::Take::Again) continue;
    if (taken == InterruptSource::Take::Failed) break;
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
