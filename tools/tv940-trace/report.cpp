// The report: one walk through the trace's events, in order, keeping what
// the card would know at each step (clock, configuration, bus width, masks).
#include "tools/tv940-trace/report.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "card/card_map.h"
#include "sim/design.h"
#include "tools/tv940-trace/clock_watch.h"
#include "tools/tv940-trace/configuration_watch.h"

namespace trace {
namespace {

// Chip registers: 0xC000 holds the data-bus width in bits 2-3 (0: 8 bits,
// 1: 16, 2: 32); the control registers follow up to 0xC03F, among them the
// two mask registers. A column's register: mode 0, column offset 3, row 0.
using card::kDeviceConfig;
using card::kMaskC010;
using card::kMaskC014;
constexpr std::uint16_t kLastControlRegister = card::kIdentificationByte;
constexpr unsigned kColumns = card::kColumnCount;
constexpr int kFullWidth = 32;

// How often one register or port was set, and to what.
struct Settings {
  std::size_t count = 0, firstLine = 0, lastLine = 0;
  std::map<std::uint32_t, std::size_t> values;

  void set(std::size_t line, std::uint32_t value) {
    if (count++ == 0) firstLine = line;
    lastLine = line;
    ++values[value];
  }
  std::string text() const {
    if (count == 1) {
      return format("set to 0x%08x (line %zu)", unsigned(values.begin()->first),
                    firstLine);
    }
    constexpr std::size_t kShown = 4;
    std::string t =
        format("set %zu times (lines %zu-%zu):", count, firstLine, lastLine);
    std::size_t shown = 0;
    for (const auto& [value, times] : values) {
      if (shown++ == kShown) {
        t += format(" and %zu other values", values.size() - kShown);
        break;
      }
      t += format("%s 0x%08x %zu times", shown == 1 ? "" : ",", unsigned(value),
                  times);
    }
    return t;
  }
};

// Where a kind of access happened first, and how often.
struct Occurrences {
  std::size_t count = 0, firstLine = 0;
  std::uint32_t first = 0;  // what the first one concerned

  void add(std::size_t line, std::uint32_t what) {
    if (count++ == 0) {
      firstLine = line;
      first = what;
    }
  }
};

struct ColumnUse {
  std::size_t writes = 0, reads = 0;
};

// A few values of a long list: the first ones and the last.
std::string someValues(const std::vector<std::uint32_t>& values,
                       const char* pattern) {
  constexpr std::size_t kFirst = 3;
  std::string text;
  for (std::size_t i = 0; i < values.size() && i < kFirst; ++i) {
    text += (i == 0 ? "" : ", ") + format(pattern, unsigned(values[i]));
  }
  if (values.size() > kFirst) {
    text += (values.size() > kFirst + 1 ? ", ..., last " : ", last ") +
            format(pattern, unsigned(values.back()));
  }
  return text;
}

class Walk {
 public:
  explicit Walk(const Trace& trace) : trace_(trace), base_(ioBase(trace)) {}

  Findings run() {
    for (const Event& e : trace_.events) take(e);
    Findings f;
    std::string what =
        format("%zu lines, %zu events", trace_.lines, trace_.events.size());
    if (const std::string device = deviceComment(trace_); !device.empty()) {
      what += ", " + device;
    }
    f.add("trace", what);
    if (trace_.events.empty()) f.warn("the trace holds no events");
    clock_.finish(f);
    configuration_.finish(f);
    busWidthFindings(f);
    controlFindings(f);
    loopFindings(f);
    accessFindings(f);
    return f;
  }

 private:
  void take(const Event& e) {
    if (e.kind == Kind::PortOut || e.kind == Kind::PortIn) {
      const std::uint32_t offset = (e.where - *base_) & 0xFFFF;
      if (offset >= kPortBlockSize) {
        strayPorts_.add(e.line, e.where);
      } else if (e.kind == Kind::PortOut && offset == kClockPortOffset) {
        clock_.portWrite(e.line, e.value);
      } else if (e.kind == Kind::PortOut) {
        ports_[offset].set(e.line, e.value);
      }
      return;
    }
    if (!e.isWindowAccess()) return;
    if (!e.inChip) {
      const bool inWindow = e.where < card::kWindowSize && e.where % 4 == 0;
      (inWindow ? outsideChip_ : outsideWindow_).add(e.line, e.where);
      return;
    }
    const auto address = static_cast<std::uint16_t>(e.where);
    if (card::isColumnRegister(address)) {
      columnAccess(e, card::columnOf(address));
    } else if (e.isChipWrite()) {
      configuration_.chipWrite(e.line, address, e.value);
      if (address == kDeviceConfig) {
        deviceConfig_ = e.value & 0xFF;  // an 8-bit register
        busWidths_.push_back({e.line, card::busWidthOf(deviceConfig_)});
      } else if (address > kDeviceConfig && address <= kLastControlRegister) {
        registers_[address].set(e.line, e.value);
      }
    }
  }

  void columnAccess(const Event& e, unsigned column) {
    if (columnLines_.count++ == 0) columnLines_.firstLine = e.line;
    lastColumnLine_ = e.line;
    if (!clock_.running()) beforeClock_.add(e.line, column);
    const int width = card::busWidthOf(deviceConfig_);
    if (width != kFullWidth) narrowBus_.add(e.line, unsigned(width));

    const bool write = e.isChipWrite();
    ++(write ? columns_[column].writes : columns_[column].reads);
    const std::uint32_t design = configuration_.identification();
    if (design == sim::kShiftRegisterIdentification && write) {
      if (column == sim::kShiftRegisterVectorColumn)
        vectors_.push_back(e.value);
      if (column == sim::kShiftRegisterLoadColumn) {
        if (loadHigh_ && (e.value & 1) == 0) ++loads_;
        loadHigh_ = (e.value & 1) != 0;
      }
    }
    if (design == sim::kMultiplyAddIdentification && !write &&
        column == sim::kMultiplyAddResultColumn) {
      results_.push_back(e.value & sim::kMultiplyAddResultMask);
    }
  }

  void busWidthFindings(Findings& f) const {
    constexpr std::size_t kShown = 16;
    for (std::size_t i = 0; i < busWidths_.size() && i < kShown; ++i) {
      const auto& [line, width] = busWidths_[i];
      f.add("bus width", width != 0
                             ? format("%d bits (line %zu)", width, line)
                             : format("no valid width, bits 2-3 of 0xC000 "
                                      "are 3 (line %zu)",
                                      line));
    }
    if (busWidths_.size() > kShown) {
      f.add("bus width",
            format("%zu further settings, the last %d bits (line %zu)",
                   busWidths_.size() - kShown, busWidths_.back().second,
                   busWidths_.back().first));
    }
    if (busWidths_.empty()) {
      f.add("bus width",
            "never set: the data bus keeps its 8 bits of "
            "power-up");
      f.warn("no bus-width setting: the chip's data bus stays 8 bits wide");
    }
  }

  void controlFindings(Findings& f) const {
    for (const auto& [offset, settings] : ports_) {
      f.add("control", format("port %u (0x%04x) %s", unsigned(offset),
                              unsigned((*base_ + offset) & 0xFFFF),
                              settings.text().c_str()));
    }
    for (const auto& [address, settings] : registers_) {
      const bool mask = address == kMaskC010 || address == kMaskC014;
      f.add("control", format("%s %04X %s", mask ? "mask" : "register",
                              unsigned(address), settings.text().c_str()));
    }
  }

  void loopFindings(Findings& f) const {
    if (columnLines_.count == 0) {
      f.add("loop", "no column accesses");
      return;
    }
    std::string uses;
    for (unsigned c = 0; c < kColumns; ++c) {
      const ColumnUse& u = columns_[c];
      if (u.writes + u.reads == 0) continue;
      uses += format("%scolumn %u", uses.empty() ? "" : "; ", c);
      if (u.writes != 0) uses += format(" written %zu times", u.writes);
      if (u.writes != 0 && u.reads != 0) uses += ",";
      if (u.reads != 0) uses += format(" read %zu times", u.reads);
    }
    f.add("loop",
          format("%zu column accesses (lines %zu-%zu): %s", columnLines_.count,
                 columnLines_.firstLine, lastColumnLine_, uses.c_str()));
    if (!vectors_.empty()) {
      f.add("loop", format("%zu test vectors written to column %u, %zu loads "
                           "through column %u: %s",
                           vectors_.size(), sim::kShiftRegisterVectorColumn,
                           loads_, sim::kShiftRegisterLoadColumn,
                           someValues(vectors_, "0x%08x").c_str()));
    }
    if (!results_.empty()) {
      f.add("loop", format("%zu results read from column %u: %s",
                           results_.size(), sim::kMultiplyAddResultColumn,
                           someValues(results_, "%u").c_str()));
    }
  }

  void accessFindings(Findings& f) const {
    if (beforeClock_.count != 0) {
      f.warn(
          format("%zu column accesses before the clock runs, the first on "
                 "line %zu: the design latches nothing without a clock",
                 beforeClock_.count, beforeClock_.firstLine));
    }
    if (narrowBus_.count != 0) {
      f.warn(
          format("%zu column accesses while the data bus is narrower than "
                 "32 bits, the first on line %zu (%u bits): column values "
                 "lose their upper bits",
                 narrowBus_.count, narrowBus_.firstLine, narrowBus_.first));
    }
    if (outsideChip_.count != 0) {
      f.warn(format(
          "%zu window accesses outside the chip's address space, "
          "the first on line %zu at window offset 0x%06x",
          outsideChip_.count, outsideChip_.firstLine, outsideChip_.first));
    }
    if (outsideWindow_.count != 0) {
      f.warn(
          format("%zu accesses outside the window (0x%06x bytes, whole "
                 "words), the first on line %zu at offset 0x%06x",
                 outsideWindow_.count, unsigned(card::kWindowSize),
                 outsideWindow_.firstLine, outsideWindow_.first));
    }
    if (strayPorts_.count != 0) {
      f.warn(
          format("%zu port accesses outside the card's ports 0x%04x-0x%04x, "
                 "the first on line %zu at port 0x%04x",
                 strayPorts_.count, unsigned(*base_),
                 unsigned(*base_ + kPortBlockSize - 1), strayPorts_.firstLine,
                 strayPorts_.first));
    }
  }

  const Trace& trace_;
  const std::optional<std::uint16_t> base_;  // set whenever there are ports
  ClockWatch clock_;
  ConfigurationWatch configuration_;
  std::uint32_t deviceConfig_ = 0;  // 0xC000 after power-up: 8-bit bus
  std::vector<std::pair<std::size_t, int>> busWidths_;  // line, width
  std::map<std::uint32_t, Settings> ports_;             // by offset
  std::map<std::uint16_t, Settings> registers_;         // 0xC001-0xC03F
  std::array<ColumnUse, kColumns> columns_{};
  Occurrences columnLines_;
  std::size_t lastColumnLine_ = 0;
  Occurrences beforeClock_, narrowBus_, outsideChip_, outsideWindow_,
      strayPorts_;
  std::vector<std::uint32_t> vectors_;  // shift register: column 2 writes
  std::size_t loads_ = 0;
  bool loadHigh_ = false;
  std::vector<std::uint32_t> results_;  // multiply-add: column 44 reads
};

}  // namespace

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

Findings report(const Trace& trace) { return Walk(trace).run(); }

}  // namespace trace
