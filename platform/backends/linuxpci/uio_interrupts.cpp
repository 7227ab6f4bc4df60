#include "platform/backends/linuxpci/uio_interrupts.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "card/card_map.h"
#include "card/system_error.h"

namespace platform::linuxpci {
namespace {

// The command register's high byte and its interrupt-disable bit.
constexpr off_t kCommandHighByte = card::kCommandRegister + 1;
constexpr std::uint8_t kInterruptDisable = card::kCommandInterruptDisable >> 8;

class UioSource final : public InterruptSource {
 public:
  UioSource(int config, FileDescriptor node)
      : config_(config), node_(std::move(node)) {}

  int descriptor() const override { return node_.get(); }

  // uio_pci_generic masks the interrupt in the command register when it
  // fires; clearing the bit lets the next one through.
  bool rearm() override {
    std::uint8_t high;
    if (readAt(config_, &high, 1, kCommandHighByte) != 1) return false;
    if ((high & kInterruptDisable) == 0) return true;
    high &= std::uint8_t(~kInterruptDisable);
    return ::pwrite(config_, &high, 1, kCommandHighByte) == 1;
  }

  Take take(std::uint32_t* count) override {
    const ssize_t n = ::read(node_.get(), count, sizeof *count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Take::Again;
    return n == ssize_t(sizeof *count) ? Take::Taken : Take::Failed;
  }

 private:
  const int config_;
  FileDescriptor node_;
};

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
  return true;
}

std::unique_ptr<InterruptSource> uioSource(int config, FileDescriptor node) {
  if (!node.valid()) return nullptr;
  return std::make_unique<UioSource>(config, std::move(node));
}

}  // namespace platform::linuxpci
