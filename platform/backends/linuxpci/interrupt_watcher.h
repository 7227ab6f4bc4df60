// The card's interrupts as a kernel interface hands them to a program: a
// descriptor that becomes readable at each interrupt (UIO's device node,
// VFIO's eventfd). A thread re-arms the interrupt, waits on the descriptor,
// takes the interrupt count and signals the event that request 3 named.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/device.h"
#include "platform/platform.h"

namespace platform::linuxpci {

class InterruptSource {
 public:
  enum class Take { Taken, Again, Failed };

  virtual ~InterruptSource() = default;

  // The descriptor that becomes readable at an interrupt.
  virtual int descriptor() const = 0;
  // Lets the next interrupt through; called before every wait.
  virtual bool rearm() = 0;
  // Once the descriptor is readable: the interrupt count so far in *count.
  virtual Take take(std::uint32_t* count) = 0;
};

// Requests 3, 4 and 10 of one device. Without a source no interrupt comes.
class InterruptWatcher {
 public:
  // Every interrupt goes to `reports`, with its count, from the watcher's
  // thread.
  InterruptWatcher(std::unique_ptr<InterruptSource> source, Reports& reports)
      : source_(std::move(source)), reports_(reports) {}
  ~InterruptWatcher() { stop(); }

  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Starts the thread that waits for interrupts when there is a source.
  bool start(std::string* failure);

  // Request 3: the event to signal at every interrupt from now on.
  bool setEvent(Handle event);

  // Request 10: the interrupt count of the latest interrupt, waiting for the
  // first one if none has come yet. Fails at once without a source (no
  // interrupt can come), and when the interrupts are stopped or their thread
  // has ended before any came.
  bool interruptWord(void* buffer, std::uint32_t size, std::uint32_t* returned);

  // Request 4, the close and the destruction: no event is signalled after
  // this returns, and every waiting request 10 fails.
  void stop();

 private:
  void serve();

  std::unique_ptr<InterruptSource> source_;
  Reports& reports_;
  FileDescriptor wake_;  // eventfd that stops the thread

  std::mutex lock_;
  std::condition_variable changed_;
  Handle event_ = nullptr;
  bool stopped_ = false;
  bool threadEnded_ = false;
  bool interruptSeen_ = false;
  std::uint32_t lastCount_ = 0;  // the count the latest interrupt gave
  std::thread thread_;
};

}  // namespace platform::linuxpci
