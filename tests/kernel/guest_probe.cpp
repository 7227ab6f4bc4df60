// What the kernel stage runs inside its guest beside the programs: filling
// and reading back the card's words around a run, and one interrupt through
// the library.
//
//   guest_probe window DIR ITEM...     chip words through a mapping of
//                                      DIR/resource0
//   guest_probe ports DIR ITEM...      port words of DIR/resource1, one 4-byte
//                                      access each
//   guest_probe interrupt ON OFF ACK   opens the board (TV940_DEVICE), writes
//                                      port word ON to start interrupts, waits
//                                      for the watcher to serve one, stops
//                                      them (OFF, ACK), closes the board
//
// An ITEM is an address (chip address or port offset), which prints
// "ADDRESS WORD", or ADDRESS=VALUE, which writes. ON, OFF and ACK are port
// writes of that form: the device that stands in for the card brings its own
// interrupt source.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "boardlib/board.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t number(const char* text) {
  return std::uint32_t(std::strtoul(text, nullptr, 0));
}

// The value an ITEM writes; false for a read.
bool writes(const char* item, std::uint32_t* value) {
  const char* equals = std::strchr(item, '=');
  if (equals != nullptr) *value = number(equals + 1);
  return equals != nullptr;
}

int window(const std::string& dir, int count, char** items) {
  const std::string file = dir + "/resource0";
  const int fd = ::open(file.c_str(), O_RDWR);
  constexpr std::size_t kSpan = 0x840000;
  void* base = fd < 0 ? MAP_FAILED
                      : ::mmap(nullptr, kSpan, PROT_READ | PROT_WRITE,
                               MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    std::perror(file.c_str());
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    const std::uint32_t address = number(items[i]) & 0xFFFF;
    auto* word =
        static_cast<volatile std::uint32_t*>(base) + (0x800000 / 4 + address);
    std::uint32_t value;
    if (writes(items[i], &value)) {
      *word = value;
    } else {
      std::printf("%04" PRIx32 " %08" PRIx32 "\n", address, *word);
    }
  }
  return 0;
}

int ports(const std::string& dir, int count, char** items) {
  const std::string file = dir + "/resource1";
  const int fd = ::open(file.c_str(), O_RDWR);
  for (int i = 0; i < count; ++i) {
    const off_t offset = number(items[i]);
    std::uint32_t value;
    const bool write = writes(items[i], &value);
    if (fd < 0 || (write ? ::pwrite(fd, &value, 4, offset)
                         : ::pread(fd, &value, 4, offset)) != 4) {
      std::perror(file.c_str());
      return 1;
    }
    if (!write)
      std::printf("%lld %08" PRIx32 "\n", static_cast<long long>(offset),
                  value);
  }
  return 0;
}

void portWrite(Board& board, const char* item) {
  std::uint32_t value = 0;
  writes(item, &value);
  board.writePort(number(item), value);
}

int threadCount() {
  int count = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks))
      count += entry->d_name[0] != '.';
    ::closedir(tasks);
  }
  return count;
}

int interrupt(char** writes) {
  Board board;
  if (board.open() != 0) {
    std::printf("open failed: %s\n", Board::openFailure());
    return 1;
  }
  const int before = threadCount();
  portWrite(board, writes[0]);
  const auto start = Clock::now();
  while (interruptFlag.load() == 0 &&
         Clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  portWrite(board, writes[1]);
  portWrite(board, writes[2]);
  // The word comes only from the watcher's request 10: the interrupt count.
  // Both are taken before the close: a request 10 that the close cuts short
  // leaves a word of 0.
  const bool served = interruptFlag.load() != 0;
  const std::uint32_t word = lastInterruptWord.load();
  std::printf("request 10 %s, interrupt count %" PRIu32 ";",
              served ? "served" : "never served", word);
  const auto closing = Clock::now();
  board.close();
  const auto closeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           Clock::now() - closing)
                           .count();
  // Handler threads end at once; the watcher must have ended with the close.
  int after = threadCount();
  for (int i = 0; i < 100 && after > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    after = threadCount();
  }
  std::printf(" close took %lld ms; threads: %d while open, %d after\n",
              static_cast<long long>(closeMs), before, after);
  // The close waits at most 5000 ms for the watcher before it gives up.
  const bool ended = closeMs < 5000 && after == 1;
  return served && word != 0 && ended ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "window" && argc > 3)
    return window(argv[2], argc - 3, argv + 3);
  if (command == "ports" && argc > 3) return ports(argv[2], argc - 3, argv + 3);
  if (command == "interrupt" && argc == 5) return interrupt(argv + 2);
  std::fprintf(stderr,
               "usage: guest_probe window DIR ITEM... | ports DIR ITEM... "
               "| interrupt ON OFF ACK\n");
  return 2;
}
