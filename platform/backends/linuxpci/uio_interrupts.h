// The card's interrupts through UIO: when the device is bound to
// uio_pci_generic, every blocking 4-byte read of its device node gives the
// interrupt count so far. A thread waits on the node, unmasks the interrupt
// in the command register before each wait, and signals the event that
// request 3 named.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/backends/linuxpci/sysfs_files.h"
#include "platform/device.h"
#include "platform/platform.h"

namespace platform::linuxpci {

// The device node of a device's UIO device; no node without UIO.
struct UioNode {
  std::string path;  // "" without UIO
  FileDescriptor node;
  FileDescriptor wake;  // eventfd that stops the interrupt thread
};

// Opens deviceNodes/uioN when the device directory lists uioN (nothing to do
// when it lists none). Unmasking needs the config file open for writing,
// which configWritable tells. False with *failure saying why.
bool openUioNode(const std::string& directory, const std::string& deviceNodes,
                 bool configWritable, UioNode* uio, std::string* failure);

// Requests 3, 4 and 10 of one device. Without UIO no interrupt comes.
class UioInterrupts {
 public:
  // config: the device's config file, which stays open while this lives;
  // every interrupt goes to `reports`.
  UioInterrupts(int config, UioNode uio, Reports& reports)
      : config_(config), uio_(std::move(uio)), reports_(reports) {}
  ~UioInterrupts() { stop(); }

  UioInterrupts(const UioInterrupts&) = delete;
  UioInterrupts& operator=(const UioInterrupts&) = delete;

  // The device node's path, "" without UIO.
  const std::string& nodePath() const { return uio_.path; }

  // Starts the thread that waits for interrupts when the device has UIO.
  bool start(std::string* failure);

  // Request 3: the event to signal at every interrupt from now on.
  bool setEvent(Handle event);

  // Request 10: the interrupt count of the latest interrupt, waiting for the
  // first one if none has come yet. Fails at once without UIO (no interrupt
  // can come), and when the interrupts are stopped or their thread has ended
  // before any came.
  bool interruptWord(void* buffer, std::uint32_t size, std::uint32_t* returned);

  // Request 4, the close and the destruction: no event is signalled after
  // this returns, and every waiting request 10 fails.
  void stop();

 private:
  bool unmask();
  void serve();

  const int config_;
  UioNode uio_;
  Reports& reports_;

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
