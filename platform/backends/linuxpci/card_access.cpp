#include "platform/backends/linuxpci/card_access.h"

#include <cerrno>
#include <cstring>

#include "card/card_map.h"
#include "card/system_error.h"

namespace platform::linuxpci {
namespace {

// Request 5: the configuration block as the space at `start` in fd reads
// now (at least the standard header; zeros past what it gives).
bool configInfo(int fd, off_t start, void* buffer, std::uint32_t size,
                std::uint32_t* returned) {
  if (buffer == nullptr || size < card::kConfigBlockSize) return false;
  ConfigBlock block;
  if (readConfigBlock(fd, &block, start) < ssize_t(card::kPciHeaderSize)) {
    return false;
  }
  std::memcpy(buffer, block.data(), block.size());
  *returned = card::kConfigBlockSize;
  return true;
}

// count words at a byte offset of the window, or null when the offset is not
// word-aligned or any word lies outside the mapping.
volatile std::uint32_t* windowWords(const Mapping& window,
                                    std::uintptr_t offset,
                                    std::uint32_t count) {
  const std::size_t size = window.size();
  if (offset % 4 != 0 || offset > size || (size - offset) / 4 < count) {
    return nullptr;
  }
  return reinterpret_cast<volatile std::uint32_t*>(window.base() + offset);
}

// Request 1: count words from source, one 32-bit store each.
bool writeWindowWords(const Mapping& window, std::uintptr_t offset,
                      const void* source, std::uint32_t count) {
  volatile std::uint32_t* target = windowWords(window, offset, count);
  if (target == nullptr || (source == nullptr && count != 0)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(source) + 4 * i,
                sizeof value);
    target[i] = value;
  }
  return true;
}

// Request 2: count words into buffer, one 32-bit load each, ascending.
bool readWindowWords(const Mapping& window, std::uintptr_t offset, void* buffer,
                     std::uint32_t count, std::uint32_t* returned) {
  const volatile std::uint32_t* source = windowWords(window, offset, count);
  if (source == nullptr || (buffer == nullptr && count != 0)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t value = source[i];
    std::memcpy(static_cast<std::uint8_t*>(buffer) + 4 * i, &value,
                sizeof value);
  }
  *returned = 4 * count;
  return true;
}

}  // namespace

bool serveRequest(const CardParts& card, std::uint32_t code, void* inBuffer,
                  std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                  std::uint32_t* bytesReturned) {
  std::uint32_t returned = 0;
  bool ok = false;
  const auto offset = reinterpret_cast<std::uintptr_t>(outBuffer);
  switch (DriverRequest(code)) {
    case DriverRequest::WriteWord:
      ok = writeWindowWords(card.window, offset, inBuffer, inSize);
      break;
    case DriverRequest::ReadWords:
      ok = readWindowWords(card.window, offset, inBuffer, inSize, &returned);
      break;
    case DriverRequest::SetInterruptEvent:
      ok = card.interrupts.setEvent(static_cast<Handle>(inBuffer));
      break;
    case DriverRequest::Shutdown:
      card.interrupts.stop();
      ok = true;
      break;
    case DriverRequest::GetConfigInfo:
      ok = configInfo(card.configFd, card.configStart, outBuffer, outSize,
                      &returned);
      break;
    case DriverRequest::GetInterruptWord:
      ok = card.interrupts.interruptWord(outBuffer, outSize, &returned);
      break;
    default:
      break;
  }
  if (bytesReturned != nullptr) *bytesReturned = ok ? returned : 0;
  return ok;
}

bool PortRegion::offsetOf(std::uint16_t port, off_t* offset) const {
  if (fd < 0 || port < base) return false;
  const std::uint64_t at = port - base;
  if (at + 4 > size) return false;
  *offset = start + off_t(at);
  return true;
}

bool PortRegion::write(std::uint16_t port, std::uint32_t value) const {
  off_t offset;
  return offsetOf(port, &offset) && writeWord(fd, value, offset);
}

bool PortRegion::read(std::uint16_t port, std::uint32_t* value) const {
  off_t offset;
  return offsetOf(port, &offset) && readWord(fd, value, offset);
}

std::string headerProblem(int fd, off_t start, const std::string& file,
                          bool ports, const std::string& remedy) {
  std::uint8_t head[8];
  const ssize_t n = readAt(fd, head, sizeof head, start);
  if (n < 0) return "cannot read " + file + ": " + card::systemErrorText(errno);
  if (n < ssize_t(sizeof head)) return file + " reads short";
  if (head[0] == 0xFF && head[1] == 0xFF) {
    return "the device does not answer (its vendor ID reads 0xFFFF)";
  }
  const std::uint16_t command = std::uint16_t(
      head[card::kCommandRegister] | head[card::kCommandRegister + 1] << 8);
  if ((command & card::kCommandMemorySpace) == 0) {
    return "the device's memory decoding is off (command register bit 1): " +
           remedy;
  }
  if (ports && (command & card::kCommandIoSpace) == 0) {
    return "the device's I/O decoding is off (command register bit 0): " +
           remedy;
  }
  return "";
}

}  // namespace platform::linuxpci
