// boardlib: access to the card's driver, control ports, clock synthesizer and
// logic array chip, through one Board object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "boardlib/driver.h"
#include "platform/platform.h"

// What the shared library exports: the C++ API below and the C interface;
// everything else in it is hidden.
#if defined(__GNUC__) && !defined(_WIN32)
#define TV940_EXPORT __attribute__((visibility("default")))
#else
#define TV940_EXPORT
#endif

// 0 for success, negative for a failure; errorMessage gives the text.
using ErrorCode = std::int32_t;

// A 16-bit address in the chip's address space.
struct ChipAddress {
  std::uint32_t row = 0;           // bits 0-5
  std::uint32_t columnOffset = 0;  // bits 6-7
  std::uint32_t column = 0;        // bits 8-13
  std::uint32_t mode = 0;          // bits 14-15

  std::uint32_t value() const {
    return card::chipAddress(mode, column, columnOffset, row);
  }
};

// Library-wide state, one per process.
TV940_EXPORT extern platform::Handle
    deviceHandle;  // the most recent driver connection
// The word the last interrupt-word request returned; written by watchers only
// (atomic, since a late watcher of a closed connection may still store it).
TV940_EXPORT extern std::atomic<std::uint32_t> lastInterruptWord;
// Set to 1 by interruptHandler.
TV940_EXPORT extern std::atomic<std::int32_t> interruptFlag;
TV940_EXPORT extern const char* const chipIdentification;  // "Tavrek TV9400  "

// What the watcher of one connection tells of its interrupts: how many came
// since the open, the last word, and an auto-reset event it signals after
// each. Shared by the Board and its watcher, so either may end first.
struct InterruptNotice {
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::uint32_t> word{0};
  platform::Handle event = nullptr;
};

// What one interrupt watcher serves: the driver connection it was started
// for and its event pair, interrupt event first, stop event second. The open
// allocates it; the watcher owns it and frees it as it ends. Because the
// watcher keeps its own copy, it never depends on the Board outliving it, and
// a watcher that ends late never reaches a newer connection of the Board.
struct InterruptWatch {
  platform::Handle device = nullptr;
  platform::Handle events[2] = {nullptr, nullptr};
  std::shared_ptr<InterruptNotice> notice;  // null: none to tell
};

// Thread routines of the interrupt watcher (argument: an InterruptWatch
// allocated with new) and its handlers (argument: the word, by value).
TV940_EXPORT std::uint32_t PLATFORM_STDCALL interruptWatcher(void* watch);
TV940_EXPORT std::uint32_t PLATFORM_STDCALL interruptHandler(void* word);

// The generator behind both programs' test vectors: state starts at 1,
// state := state * 214013 + 2531011, result (state >> 16) & 0x7FFF.
TV940_EXPORT int testRandom();

// One thread drives a Board: every operation of one Board, the open and the
// close included, comes from the same thread (or from threads taking turns,
// one finished before the next begins); the library's own watcher and handler
// threads touch no port and no chip word. Separate Boards may be driven by
// separate threads. A Board reaches only its own card: ports, chip window and
// driver requests go through its own connection, and reach nothing while it
// is not open (an output or a write is dropped, an input or a read gives
// 0xFFFFFFFF, a driver read 0). An access that races a close from another
// thread all the same reaches nothing or the Board's card, never freed
// memory.
class TV940_EXPORT Board {
 public:
  Board();
  // A Board that goes away closes its connection (the programs keep theirs
  // to the end of the process).
  ~Board();
  // One Board is one connection: it is neither copied nor moved.
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // ---- Connection ----
  // 0, or -5 when the device cannot be opened, its check request fails, it
  // maps no chip window, or the configuration block's base address registers
  // place the card where it cannot be reached whole: register 1 not an
  // I/O-space register, above port 0xFFFF, running past it or not aligned to
  // the 64-byte port block; register 0 (the chip window) an I/O-space
  // register. openFailure() names the register. An open of a Board that is
  // already open is refused with -5 and changes nothing; an open after a failed
  // open first releases what the failed one left.
  ErrorCode open();
  // The same on the device `device` names, with the selectors of
  // TV940_DEVICE ("sim", a PCI address, a device directory; "" the
  // platform's own driver); null: as open().
  ErrorCode open(const char* device);
  // Shuts the connection down and closes its handles, waiting at most 5000 ms
  // for the watcher. Does nothing on a Board with no connection.
  void close();
  // Sends request 5 again, on an open Board only.
  BoardConfigInfo* readConfigInfo();
  // The interrupts of the current connection (null while the Board is not
  // open): a waiter keeps it, so that it outlives a close.
  std::shared_ptr<InterruptNotice> interruptNotice() const { return notice_; }
  // Why the calling thread's most recent open failed (one line naming the
  // device as selected and the reason, no line end), for the program's error
  // message; "" when it succeeded or none was tried. The text is the calling
  // thread's own, as strerror's is: an open on another thread never changes
  // it, and it stays valid until this thread's next open.
  static const char* openFailure();
  // Writes out the rest of the trace (TV940_TRACE) and says why it is not
  // complete: one line naming the trace file and the reason, or "" when the
  // whole trace was written or none is. The text is the calling thread's
  // own, valid until this thread's next call.
  static const char* traceFailure();
  // Whether the card failed accesses on this Board's connection: one line
  // counting them and naming the first with its reason ("the card failed 3
  // port accesses: out e014 00000001: <reason>"); "" while every access
  // reached the card, and for a Board that is not open. A port access that
  // failed was dropped (an input read 0xFFFFFFFF); it is also traced.
  const char* cardFailure();
  // Names a file the trace must never be, such as the program's design or
  // output file, and what it is ("the program's design"); call before open().
  // An open that would write the trace over it, whether it exists yet or
  // not, fails with -5 naming both.
  static void keepTraceOff(const char* path, const char* what);
  // Whether the trace (TV940_TRACE) is open and `path` names its file,
  // symbolic links followed: a file the program must not write its output
  // to.
  static bool isTraceFile(const char* path);

  // ---- Control ports ----
  void writePort16One();
  void writePort16Two();
  void writePort24Zero();
  void writePort28Zero();
  std::uint32_t readPort32();
  void writePort36(std::uint8_t flag);
  std::uint8_t readPort36();
  void writePort40(std::uint32_t value);
  void writePort44(std::uint8_t value);
  void writePort44Bits(std::uint8_t bit0, std::uint8_t bit1);
  std::uint32_t readPort48();
  void writePort48(std::uint32_t value);
  void writePort52(std::uint32_t value);
  void writePort56Zero();
  void writePort56One();
  void writePort60(std::int8_t value);
  void writePort(std::uint32_t offset, std::uint32_t value);
  std::uint32_t readPort(std::uint32_t offset);
  double scaleByteReading(std::uint8_t reading) const;

  // ---- Clock synthesizer ----
  // The frequency reached, or -1.0 (nothing printed or sent) for a wanted
  // frequency outside 0.390625 to 100 MHz, a reference that gives none, or
  // a Board that is not open.
  float setClock(float reference, float wanted);
  void sendClockData(std::uint32_t value, int bitCount);
  void sendProtocolWord();
  int encodeClockBits(int bitCount, std::uint32_t value,
                      std::uint32_t& encoded);
  void delayTicks(int ticks);

  // ---- Chip access ----
  // Window accesses reach this Board's window only, and nothing while it is
  // not open; the driver-mediated ones then do nothing (a read gives 0).
  void writeChip(std::uint32_t address, std::uint32_t value);
  std::uint32_t readChip(std::uint32_t address);
  void writeChipViaDriver(std::uint32_t address, std::uint32_t value);
  std::uint32_t readChipViaDriver(std::uint32_t address);
  void writeChipBlock(std::uint32_t offset, const std::uint32_t* source,
                      std::uint32_t count);
  void readChipBlockViaDriver(std::uint32_t offset, std::uint32_t* buffer,
                              std::uint32_t count);
  void writeUserRegister(std::int32_t column, std::uint32_t value);
  std::uint32_t readUserRegister(std::int32_t column);
  void writeDeviceConfig(std::uint8_t value);
  void writeDeviceConfigViaDriver(std::uint8_t value);
  std::uint8_t readDeviceConfig();
  // 0, or -9 ("Device Driver not found") for a width other than 8, 16 or 32
  // and for a Board that is not open; nothing is read or sent then.
  ErrorCode setBusWidth(std::int32_t width);
  std::int32_t getBusWidth();
  void writeControlC004(std::uint8_t value);
  std::uint8_t readControlC004();
  void writeControlC005(std::uint8_t value);
  std::uint8_t readControlC005();
  void writeControlC008(std::uint32_t value);
  std::uint32_t readControlC008();
  void setMasks(std::uint32_t first, std::uint32_t second);
  void setMaskC010(std::uint32_t value);
  void setMaskC014(std::uint32_t value);
  std::uint32_t getMaskC010();
  std::uint32_t getMaskC014();
  void writeIdentification(std::uint8_t value);
  std::uint8_t readIdentification();
  std::uint8_t probeIdentification();

  // ---- Configuration loader ----
  // 0 once every pair line is written; -6 when the file cannot be opened or
  // is not a plain file (a FIFO, a device, a directory), before anything is
  // written; -7 at the first bad line, the pairs before it written; -9
  // ("Device Driver not found") on a Board that is not open, before the file
  // is opened. A line's fields are read from its first 65536 characters; the
  // rest of a longer line is skipped unread, and only a field that runs past
  // them or begins after them makes the line bad.
  ErrorCode loadConfiguration(const char* fileName);
  // Why the most recent load failed, one line without a line end: the
  // system's reason for -6 ("No such file or directory", "not a regular file
  // (a FIFO)"), what was wrong with the line for -7 ("address 1C000 exceeds
  // FFFF"), "the board is not open" for -9; "" when it succeeded or none was
  // tried.
  static const char* loadFailure();
  // The number (from 1) of the line that made the most recent load fail
  // with -7; 0 when there is none.
  static std::uint64_t loadFailureLine();

  // ---- Error messages ----
  const char* errorMessage(ErrorCode code) const;

  // ---- Fields, in this order ----
  platform::HandleConverter handleConverter = nullptr;
  std::uint8_t* chipWindow = nullptr;
  std::uint32_t bytesReturned = 0;
  platform::Handle interruptEvent = nullptr;
  platform::Handle stopEvent = nullptr;  // follows interruptEvent: the pair
  platform::Handle driverInterruptEvent = nullptr;
  BoardConfigInfo configInfo{};
  std::uint16_t reserved0 = 0xFFFF;
  std::uint16_t reserved1 = 0xFFFF;
  std::uint16_t ioBase = 0xFFFF;
  std::uint32_t baseAddress0 = 0;
  std::uint8_t clockLineHistory = 0;
  std::uint8_t port60Shadow = 0;
  std::uint8_t port36Low = 0;
  std::uint8_t port36Flag = 0;

 private:
  // The one path of every port access: (ioBase + offset) mod 65536 on this
  // Board's connection. Refused while the Board is not open: outputs are
  // dropped and inputs read 0xFFFFFFFF, as from an empty bus.
  void portOut(std::uint32_t offset, std::uint32_t value);
  std::uint32_t portIn(std::uint32_t offset);
  std::uint8_t* window() const;
  // Closes whatever this Board's connection holds (the close's steps).
  void release();
  // A driver request on this Board's own connection, its byte count into
  // bytesReturned; false without sending anything while the Board is not
  // open, so that a closed Board never reaches a later connection.
  bool driverRequest(DriverRequest code, void* in, std::uint32_t inSize,
                     void* out, std::uint32_t outSize);

  // What this Board's connection holds, for close and a repeated open.
  platform::Handle connection_ = nullptr;  // null: nothing to close
  bool eventsCreated_ = false;
  bool watcherStarted_ = false;
  bool open_ = false;        // the last open succeeded and no close followed
  std::string cardFailure_;  // the text cardFailure() gives
  std::shared_ptr<InterruptNotice> notice_;
};
