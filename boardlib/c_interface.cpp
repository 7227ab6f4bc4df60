// The C interface (tv940/tv940.h): Boards behind handles kept in a table, so
// that a closed or unknown handle is recognised and never reaches freed
// memory, each call serialised on its Board's own lock.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "boardlib/board.h"
#include "card/trace_format.h"
#include "tv940/tv940.h"

struct tv940_board {};  // never defined: a handle is a table key
struct tv940_trace {
  std::FILE* file = nullptr;
  std::unique_ptr<card::trace::LineReader> reader;
  std::string name;
  std::string failure;
  bool first = true;
  bool ended = false;  // the last line read was an end line
};
static_assert(static_cast<int>(card::trace::Kind::Request) ==
                  TV940_TRACE_REQUEST &&
              static_cast<int>(card::trace::Kind::WindowWrite) ==
                  TV940_TRACE_WINDOW_WRITE &&
              static_cast<int>(card::trace::Kind::Interrupt) ==
                  TV940_TRACE_INTERRUPT);
static_assert(card::kConfigBlockSize == TV940_CONFIG_BLOCK_SIZE);

namespace {

struct Entry {
  std::mutex lock;  // serialises the calls on this handle
  Board board;
  bool closed = false;
  std::string failure;  // the last failure's text
  std::string shown;    // what tv940_last_failure returned last
  std::uint64_t failureLine = 0;
};

struct Table {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Entry>> entries;
  std::uintptr_t next = 1;  // handles are never reused
};

Table& table() {
  static Table* const instance = new Table;  // lives to the end
  return *instance;
}

// Opens and loads take the library's process-wide failure texts: one at a
// time, so that each handle gets its own.
std::mutex openLock;
std::mutex loadLock;

constexpr const char* kHandleMessage = "Invalid or closed board handle.";
constexpr const char* kArgumentMessage =
    "Invalid argument (a null pointer, a buffer shorter than its count or a "
    "value out of range).";
constexpr const char* kTraceMessage = "Not a readable trace file.";

std::shared_ptr<Entry> find(const tv940_board* board) {
  if (board == nullptr) return nullptr;
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  const auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(board));
  return it == t.entries.end() ? nullptr : it->second;
}

void copyOut(const std::string& text, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Runs `body` on the handle's Board under its lock: TV940_ERROR_HANDLE for
// a NULL, unknown or closed handle.
template <typename Body>
std::int32_t withBoard(tv940_board* handle, Body body) {
  const std::shared_ptr<Entry> entry = find(handle);
  if (entry == nullptr) return TV940_ERROR_HANDLE;
  std::lock_guard<std::mutex> guard(entry->lock);
  if (entry->closed) return TV940_ERROR_HANDLE;
  return body(*entry);
}

std::int32_t refuse(Entry& entry, std::string why) {
  entry.failure = std::move(why);
  return TV940_ERROR_ARGUMENT;
}

// Whether count words from a chip address stay in the chip, in a buffer of
// size words; otherwise the failure is recorded.
bool blockFits(Entry& entry, std::uint32_t address, const void* words,
               std::size_t size, std::uint32_t count) {
  char text[160];
  if (words == nullptr && count > 0) {
    std::snprintf(text, sizeof text, "no buffer for %" PRIu32 " words", count);
  } else if (size < count) {
    std::snprintf(text, sizeof text,
                  "the buffer holds %zu words, fewer than the count %" PRIu32,
                  size, count);
  } else if (std::uint64_t{address} + count > card::kChipAddressLimit) {
    std::snprintf(text, sizeof text,
                  "%" PRIu32 " words from chip address %04" PRIX32
                  " run past the chip's last address FFFF",
                  count, address);
  } else {
    return true;
  }
  entry.failure = text;
  return false;
}

bool addressFits(Entry& entry, std::uint32_t address) {
  if (address < card::kChipAddressLimit) return true;
  char text[80];
  std::snprintf(text, sizeof text, "chip address %" PRIX32 " exceeds FFFF",
                address);
  entry.failure = text;
  return false;
}

}  // namespace

extern "C" {

tv940_board* tv940_open(const char* device, char* why, std::size_t why_size) {
  auto entry = std::make_shared<Entry>();
  {
    std::lock_guard<std::mutex> guard(openLock);
    if (entry->board.open(device) != 0) {
      copyOut(Board::openFailure(), why, why_size);
      return nullptr;
    }
  }
  copyOut("", why, why_size);
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  const std::uintptr_t key = t.next++;
  t.entries.emplace(key, std::move(entry));
  return reinterpret_cast<tv940_board*>(key);
}

void tv940_close(tv940_board* board) {
  std::shared_ptr<Entry> entry;
  if (board != nullptr) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    const auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(board));
    if (it == t.entries.end()) return;
    entry = std::move(it->second);
    t.entries.erase(it);
  }
  if (entry == nullptr) return;
  std::lock_guard<std::mutex> guard(entry->lock);
  entry->board.close();
  entry->closed = true;
}

const char* tv940_error_message(std::int32_t code) {
  switch (code) {
    case TV940_ERROR_HANDLE:
      return kHandleMessage;
    case TV940_ERROR_ARGUMENT:
      return kArgumentMessage;
    case TV940_ERROR_TRACE:
      return kTraceMessage;
    default: {
      static const Board messages;
      return messages.errorMessage(code);
    }
  }
}

const char* tv940_last_failure(const tv940_board* board) {
  const std::shared_ptr<Entry> entry = find(board);
  if (entry == nullptr) return kHandleMessage;
  std::lock_guard<std::mutex> guard(entry->lock);
  entry->shown =
      entry->failure.empty() ? entry->board.cardFailure() : entry->failure;
  return entry->shown.c_str();
}

const char* tv940_finish_trace(void) { return Board::traceFailure(); }

std::int32_t tv940_write_chip(tv940_board* board, std::uint32_t address,
                              std::uint32_t value) {
  return withBoard(board, [&](Entry& e) {
    if (!addressFits(e, address)) return TV940_ERROR_ARGUMENT;
    e.board.writeChip(address, value);
    return 0;
  });
}

std::int32_t tv940_read_chip(tv940_board* board, std::uint32_t address,
                             std::uint32_t* value) {
  return withBoard(board, [&](Entry& e) {
    if (value == nullptr) return refuse(e, "no place for the value");
    if (!addressFits(e, address)) return TV940_ERROR_ARGUMENT;
    *value = e.board.readChip(address);
    return 0;
  });
}

std::int32_t tv940_write_chip_via_driver(tv940_board* board,
                                         std::uint32_t address,
                                         std::uint32_t value) {
  return withBoard(board, [&](Entry& e) {
    if (!addressFits(e, address)) return TV940_ERROR_ARGUMENT;
    e.board.writeChipViaDriver(address, value);
    return 0;
  });
}

std::int32_t tv940_read_chip_via_driver(tv940_board* board,
                                        std::uint32_t address,
                                        std::uint32_t* value) {
  return withBoard(board, [&](Entry& e) {
    if (value == nullptr) return refuse(e, "no place for the value");
    if (!addressFits(e, address)) return TV940_ERROR_ARGUMENT;
    *value = e.board.readChipViaDriver(address);
    return 0;
  });
}

std::int32_t tv940_write_chip_block(tv940_board* board, std::uint32_t address,
                                    const std::uint32_t* words,
                                    std::size_t words_size,
                                    std::uint32_t count) {
  return withBoard(board, [&](Entry& e) {
    if (!blockFits(e, address, words, words_size, count))
      return TV940_ERROR_ARGUMENT;
    e.board.writeChipBlock(card::windowOffset(address), words, count);
    return 0;
  });
}

std::int32_t tv940_read_chip_block(tv940_board* board, std::uint32_t address,
                                   std::uint32_t* words, std::size_t words_size,
                                   std::uint32_t count) {
  return withBoard(board, [&](Entry& e) {
    if (!blockFits(e, address, words, words_size, count))
      return TV940_ERROR_ARGUMENT;
    for (std::uint32_t i = 0; i < count; ++i)
      words[i] = e.board.readChip(address + i);
    return 0;
  });
}

std::int32_t tv940_read_chip_block_via_driver(tv940_board* board,
                                              std::uint32_t address,
                                              std::uint32_t* words,
                                              std::size_t words_size,
                                              std::uint32_t count) {
  return withBoard(board, [&](Entry& e) {
    if (!blockFits(e, address, words, words_size, count))
      return TV940_ERROR_ARGUMENT;
    if (count > 0) {
      e.board.readChipBlockViaDriver(card::windowOffset(address), words, count);
    }
    return 0;
  });
}

std::int32_t tv940_write_user_register(tv940_board* board, std::int32_t column,
                                       std::uint32_t value) {
  return withBoard(board, [&](Entry& e) {
    if (column < 0 || column > 63)
      return refuse(e, "column " + std::to_string(column) + " is not 0 to 63");
    e.board.writeUserRegister(column, value);
    return 0;
  });
}

std::int32_t tv940_read_user_register(tv940_board* board, std::int32_t column,
                                      std::uint32_t* value) {
  return withBoard(board, [&](Entry& e) {
    if (value == nullptr) return refuse(e, "no place for the value");
    if (column < 0 || column > 63)
      return refuse(e, "column " + std::to_string(column) + " is not 0 to 63");
    *value = e.board.readUserRegister(column);
    return 0;
  });
}

std::int32_t tv940_write_port(tv940_board* board, std::uint32_t offset,
                              std::uint32_t value) {
  return withBoard(board, [&](Entry& e) {
    if (offset >= card::kPortSpan)
      return refuse(e, "port offset " + std::to_string(offset) +
                           " is past the card's 64-port block");
    e.board.writePort(offset, value);
    return 0;
  });
}

std::int32_t tv940_read_port(tv940_board* board, std::uint32_t offset,
                             std::uint32_t* value) {
  return withBoard(board, [&](Entry& e) {
    if (value == nullptr) return refuse(e, "no place for the value");
    if (offset >= card::kPortSpan)
      return refuse(e, "port offset " + std::to_string(offset) +
                           " is past the card's 64-port block");
    *value = e.board.readPort(offset);
    return 0;
  });
}

std::int32_t tv940_set_clock(tv940_board* board, float reference, float wanted,
                             float* reached) {
  return withBoard(board, [&](Entry& e) {
    if (reached == nullptr) return refuse(e, "no place for the frequency");
    const float result = e.board.setClock(reference, wanted);
    if (result < 0.0f) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "no frequency for %g MHz from a %g MHz reference (the "
                    "synthesizer gives 0.390625 to 100 MHz)",
                    static_cast<double>(wanted),
                    static_cast<double>(reference));
      return refuse(e, text);
    }
    *reached = result;
    return 0;
  });
}

std::int32_t tv940_load_configuration(tv940_board* board, const char* path) {
  return withBoard(board, [&](Entry& e) {
    if (path == nullptr) return refuse(e, "no configuration file named");
    std::lock_guard<std::mutex> guard(loadLock);
    const ErrorCode code = e.board.loadConfiguration(path);
    e.failureLine = code == 0 ? 0 : Board::loadFailureLine();
    if (code == 0) {
      e.failure.clear();
    } else if (e.failureLine != 0) {
      e.failure = std::string(path) + ": line " +
                  std::to_string(e.failureLine) + ": " + Board::loadFailure();
    } else {
      e.failure = std::string(path) + ": " + Board::loadFailure();
    }
    return code;
  });
}

std::int32_t tv940_load_failure_line(tv940_board* board, std::uint64_t* line) {
  return withBoard(board, [&](Entry& e) {
    if (line == nullptr) return refuse(e, "no place for the line");
    *line = e.failureLine;
    return 0;
  });
}

std::int32_t tv940_set_bus_width(tv940_board* board, std::int32_t width) {
  return withBoard(board, [&](Entry& e) {
    const ErrorCode code = e.board.setBusWidth(width);
    if (code != 0) {
      e.failure = "bus width " + std::to_string(width) + " is not 8, 16 or 32";
    }
    return code;
  });
}

std::int32_t tv940_get_bus_width(tv940_board* board, std::int32_t* width) {
  return withBoard(board, [&](Entry& e) {
    if (width == nullptr) return refuse(e, "no place for the width");
    *width = e.board.getBusWidth();
    return 0;
  });
}

std::int32_t tv940_set_masks(tv940_board* board, std::uint32_t c010,
                             std::uint32_t c014) {
  return withBoard(board, [&](Entry& e) {
    e.board.setMasks(c010, c014);
    return 0;
  });
}

std::int32_t tv940_get_masks(tv940_board* board, std::uint32_t* c010,
                             std::uint32_t* c014) {
  return withBoard(board, [&](Entry& e) {
    if (c010 == nullptr || c014 == nullptr)
      return refuse(e, "no place for the masks");
    *c010 = e.board.getMaskC010();
    *c014 = e.board.getMaskC014();
    return 0;
  });
}

std::int32_t tv940_write_control_c008(tv940_board* board, std::uint32_t value) {
  return withBoard(board, [&](Entry& e) {
    e.board.writeControlC008(value);
    return 0;
  });
}

std::int32_t tv940_read_control_c008(tv940_board* board, std::uint32_t* value) {
  return withBoard(board, [&](Entry& e) {
    if (value == nullptr) return refuse(e, "no place for the value");
    *value = e.board.readControlC008();
    return 0;
  });
}

std::int32_t tv940_read_config_block(tv940_board* board, std::uint8_t* block,
                                     std::size_t size) {
  return withBoard(board, [&](Entry& e) {
    if (block == nullptr || size < card::kConfigBlockSize) {
      return refuse(e, "the configuration block needs " +
                           std::to_string(card::kConfigBlockSize) + " bytes");
    }
    std::memcpy(block, e.board.readConfigInfo()->bytes, card::kConfigBlockSize);
    return 0;
  });
}

std::int32_t tv940_get_io_base(tv940_board* board, std::uint16_t* base) {
  return withBoard(board, [&](Entry& e) {
    if (base == nullptr) return refuse(e, "no place for the base");
    *base = e.board.ioBase;
    return 0;
  });
}

std::int32_t tv940_last_interrupt(tv940_board* board, std::uint32_t* word,
                                  std::uint64_t* count) {
  return withBoard(board, [&](Entry& e) {
    const std::shared_ptr<InterruptNotice> notice = e.board.interruptNotice();
    if (word != nullptr) *word = notice != nullptr ? notice->word.load() : 0;
    if (count != nullptr) *count = notice != nullptr ? notice->count.load() : 0;
    return 0;
  });
}

std::int32_t tv940_wait_interrupt(tv940_board* board, std::uint32_t timeout_ms,
                                  std::uint32_t* word) {
  std::shared_ptr<InterruptNotice> notice;
  std::uint64_t seen = 0;
  const std::int32_t status = withBoard(board, [&](Entry& e) {
    if (word == nullptr) return refuse(e, "no place for the word");
    notice = e.board.interruptNotice();
    if (notice == nullptr) return std::int32_t{-9};
    seen = notice->count.load();
    return 0;
  });
  if (status != 0) return status;
  // Without the handle's lock: the notice outlives a close, whose closed
  // event ends the wait.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (notice->count.load() != seen) {
      *word = notice->word.load();
      // The event wakes one waiter; pass it on to the others of this handle.
      platform::setEvent(notice->event);
      return 1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - Clock::now());
    if (left.count() <= 0) return 0;
    const platform::WaitResult result = platform::waitEvent(
        notice->event, static_cast<std::uint32_t>(left.count()) + 1);
    if (result == platform::WaitResult::Failed &&
        notice->count.load() == seen) {
      return TV940_ERROR_HANDLE;
    }
  }
}

tv940_trace* tv940_trace_open(const char* path, char* why,
                              std::size_t why_size) {
  if (path == nullptr) {
    copyOut("no trace file named", why, why_size);
    return nullptr;
  }
  std::string reason;
  std::FILE* file = platform::openPlainFile(path, &reason);
  if (file == nullptr) {
    copyOut(std::string(path) + ": " + reason, why, why_size);
    return nullptr;
  }
  auto* trace = new tv940_trace;
  trace->file = file;
  trace->reader = std::make_unique<card::trace::LineReader>(file);
  trace->name = path;
  copyOut("", why, why_size);
  return trace;
}

std::int32_t tv940_trace_next(tv940_trace* trace, tv940_trace_event* event,
                              std::int32_t* ended) {
  if (trace == nullptr || event == nullptr) return TV940_ERROR_ARGUMENT;
  using card::trace::LineReader;
  for (;;) {
    const LineReader::Result result = trace->reader->next();
    const std::string at = trace->name + ": line " +
                           std::to_string(trace->reader->number()) + ": ";
    if (result == LineReader::Result::End) {
      if (ended != nullptr) *ended = trace->ended ? 1 : 0;
      return 0;
    }
    if (result == LineReader::Result::TooLong) {
      trace->failure = at + "longer than a trace line";
      return TV940_ERROR_TRACE;
    }
    if (result == LineReader::Result::ReadError) {
      trace->failure = at + "cannot be read (" +
                       std::to_string(trace->reader->error()) + ")";
      return TV940_ERROR_TRACE;
    }
    const std::string_view line = trace->reader->line();
    if (trace->first && !card::trace::beginsTrace(line)) {
      trace->failure = at + "the file is not a trace";
      return TV940_ERROR_TRACE;
    }
    trace->first = false;
    // Events may follow an end line (a later open's); the last line says
    // whether the trace is whole.
    std::uint64_t count = 0;
    trace->ended = card::trace::parseEndLine(line, &count);
    if (line.empty() || card::trace::isComment(line)) continue;
    card::trace::Event parsed;
    if (!card::trace::parseEvent(line, &parsed)) {
      trace->failure =
          at + "not a trace line: " + std::string(line.substr(0, 80));
      return TV940_ERROR_TRACE;
    }
    event->kind = static_cast<std::int32_t>(parsed.kind);
    event->where = parsed.where;
    event->value = parsed.value;
    event->in_chip = parsed.inChip ? 1 : 0;
    event->line = trace->reader->number();
    return 1;
  }
}

const char* tv940_trace_failure(const tv940_trace* trace) {
  if (trace == nullptr) return "no trace";
  return trace->failure.c_str();
}

void tv940_trace_close(tv940_trace* trace) {
  if (trace == nullptr) return;
  std::fclose(trace->file);
  delete trace;
}

}  // extern "C"
