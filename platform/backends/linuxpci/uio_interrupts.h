// The card's interrupts through UIO: when the device is bound to
// uio_pci_generic, every blocking 4-byte read of its device node gives the
// interrupt count so far. The watcher (interrupt_watcher.h) waits on the
// node; the interrupt is unmasked in the command register before each wait.
#pragma once

#include <memory>
#include <string>

#include "platform/backends/linuxpci/interrupt_watcher.h"
#include "platform/backends/linuxpci/sysfs_files.h"

namespace platform::linuxpci {

// The device node of a device's UIO device; no node without UIO.
struct UioNode {
  std::string path;  // "" without UIO
  FileDescriptor node;
};

// Opens deviceNodes/uioN when the device directory lists uioN (nothing to do
// when it lists none). Unmasking needs the config file open for writing,
// which configWritable tells. False with *failure saying why.
bool openUioNode(const std::string& directory, const std::string& deviceNodes,
                 bool configWritable, UioNode* uio, std::string* failure);

// The interrupts of the node, null without UIO. config: the device's config
// file, which must stay open while the source lives.
std::unique_ptr<InterruptSource> uioSource(int config, FileDescriptor node);

}  // namespace platform::linuxpci
