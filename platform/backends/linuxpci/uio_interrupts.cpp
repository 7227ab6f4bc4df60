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
  UioSource(int config, std::string configPath, UioNode uio)
      : config_(config),
        configPath_(std::move(configPath)),
        uio_(std::move(uio)) {}

  int descriptor() const override { return uio_.node.get(); }

  // uio_pci_generic masks the interrupt in the command register when it
  // fires; clearing the bit lets the next one through.
  bool rearm(std::string* failure) override {
    std::uint8_t high;
    const ssize_t n = readAt(config_, &high, 1, kCommandHighByte);
    if (n != 1) {
      *failure = "cannot read the command register: " +
                 (n < 0 ? card::systemErrorText(errno)
                        : std::string("the file ends first"));
      return false;
    }
    if ((high & kInterruptDisable) == 0) return true;
    high &= std::uint8_t(~kInterruptDisable);
    if (::pwrite(config_, &high, 1, kCommandHighByte) == 1) return true;
    *failure =
        "cannot write the command register: " + card::systemErrorText(errno);
    return false;
  }

  Take take(std::uint32_t* count, std::string* failure) override {
    const ssize_t n = ::read(uio_.node.get(), count, sizeof *count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Take::Again;
    if (n == ssize_t(sizeof *count)) return Take::Taken;
    *failure = n < 0 ? card::systemErrorText(errno)
                     : std::to_string(n) + " of 4 bytes read";
    return Take::Failed;
  }

  std::string rearmName() const override {
    return "interrupt unmask in " + configPath_;
  }
  std::string waitName() const override {
    return "interrupt wait on " + uio_.path;
  }

 private:
  const int config_;
  const std::string configPath_;
  UioNode uio_;
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

std::unique_ptr<InterruptSource> uioSource(int config, std::string configPath,
                                           UioNode uio) {
  if (!uio.node.valid()) return nullptr;
  return std::make_unique<UioSource>(config, std::move(configPath),
                                     std::move(uio));
}

}  // namespace platform::linuxpci
