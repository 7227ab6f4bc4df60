// The report: one walk through the trace's events, in order, keeping what
// the card would know at each step (clock, configuration, bus width, masks).
#include "tools/tv940-trace/report.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>

#include "card/card_map.h"
#include "sim/design.h"
#include "tools/tv940-trace/clock_watch.h"
#include "tools/tv940-trace/configuration_watch.h"
#include "tools/tv940-trace/design_track.h"

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

// How often one register or port was set, and to what. Of more distinct
// values than kKeptValues the largest are let go, so that the counts of the
// smallest, which the text shows, stay exact.
struct Settings {
  static constexpr std::size_t kKeptValues = 1024;
  std::size_t count = 0, firstLine = 0, lastLine = 0;
  std::map<std::uint32_t, std::size_t> values;
  bool more = false;  // values were let go

  void set(std::size_t line, std::uint32_t value) {
    if (count++ == 0) firstLine = line;
    lastLine = line;
    if (more && value > values.rbegin()->first) return;
    ++values[value];
    if (values.size() > kKeptValues) {
      values.erase(std::prev(values.end()));
      more = true;
    }
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
        t += format(" and %s%zu other values", more ? "more than " : "",
                    values.size() - kShown);
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

// A long list of values as far as the report shows it: how many, the first
// ones and the last.
struct Sample {
  static constexpr std::size_t kFirst = 3;
  std::size_t count = 0;
  std::array<std::uint32_t, kFirst> first{};
  std::uint32_t last = 0;

  void add(std::uint32_t value) {
    if (count < kFirst) first[count] = value;
    ++count;
    last = value;
  }
  std::string text(const char* pattern) const {
    std::string t;
    for (std::size_t i = 0; i < count && i < kFirst; ++i) {
      t += (i == 0 ? "" : ", ") + format(pattern, unsigned(first[i]));
    }
    if (count > kFirst) {
      t += (count > kFirst + 1 ? ", ..., last " : ", last ") +
           format(pattern, unsigned(last));
    }
    return t;
  }
};

class Walk {
 public:
  explicit Walk(TraceFile& file) : file_(file) {}

  bool run(Findings& f) {
    for (Event e; file_.next(&e);) take(e);
    if (!file_.error().empty()) return false;
    const Survey& survey = file_.survey();
    std::string what = format("%zu lines, %zu events", survey.ending.lines,
                              survey.ending.events);
    if (!survey.device.empty()) what += ", " + survey.device;
    f.add("trace", what);
    if (const std::size_t n = survey.ending.connectionCount(); n > 1) {
      f.add("trace", format("%zu connections to the card open at once, their "
                            "events tagged",
                            n));
    }
    if (survey.ending.headings > 1) {
      f.add("trace", format("%zu opens of the card, each from a card afresh",
                            survey.ending.headings));
    }
    const std::string note = guessedBaseNote(survey.ending, survey.ioBase);
    if (!note.empty()) f.add("ports", note);
    for (const std::string& warning : endWarnings(survey.ending))
      f.warn(warning);
    if (survey.ending.failures != 0) {
      f.warn(failureText(survey.ending) +
             ": the run's accesses did not all reach the card");
    }
    if (survey.ending.events == 0) f.warn("the trace holds no events");
    clock_.finish(f);
    configuration_.finish(f);
    for (Tracked& t : tracked_) {
      if (const auto change = t.designs->recognise(lastLine_)) changed(*change);
    }
    if (changes_.size() + moreChanges_ > 1) {
      f.add(
          "design",
          "in turn: " + designList(changes_) +
              (moreChanges_ != 0 ? format(" and %zu more", moreChanges_) : ""));
    }
    busWidthFindings(f);
    controlFindings(f);
    loopFindings(f);
    accessFindings(f);
    return true;
  }

 private:
  void changed(const DesignTrack::Change& change) {
    if (changes_.size() < kChangesNamed) {
      changes_.push_back(change);
    } else {
      ++moreChanges_;
    }
  }

  // The design track of the event's connection: a card afresh at a new
  // open; null beyond kTracked connections at once.
  DesignTrack* designsFor(const Event& e) {
    for (Tracked& t : tracked_) {
      if (t.connection != e.owner()) continue;
      if (t.session != e.session) {
        if (const auto change = t.designs->recognise(lastLine_))
          changed(*change);
        t.designs->reset();
        t.session = e.session;
      }
      return t.designs.get();
    }
    if (tracked_.size() == kTracked) return nullptr;
    tracked_.push_back({e.owner(), e.session, std::make_unique<DesignTrack>()});
    return tracked_.back().designs.get();
  }

  void take(const Event& e) {
    DesignTrack* designs = designsFor(e);
    lastLine_ = e.line;
    if (designs != nullptr && e.inChip && e.isWindowAccess()) {
      const auto address = static_cast<std::uint16_t>(e.where);
      if (e.isChipWrite()) designs->chipWrite(address, e.value);
      if (card::isColumnRegister(address)) {
        if (const auto change = designs->recognise(e.line)) changed(*change);
      }
    }
    if (e.isPort()) {
      const std::uint32_t offset = e.portOffset();
      base_ = e.ioBase;
      if (offset >= kPortBlockSize) {
        if (strayPorts_.count == 0) strayBase_ = e.ioBase;
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
        const std::pair<std::size_t, int> width{
            e.line, card::busWidthOf(deviceConfig_)};
        if (busWidthCount_++ < busWidths_.size()) {
          busWidths_[busWidthCount_ - 1] = width;
        }
        lastBusWidth_ = width;
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
      if (column == sim::kShiftRegisterVectorColumn) vectors_.add(e.value);
      if (column == sim::kShiftRegisterLoadColumn) {
        if (loadHigh_ && (e.value & 1) == 0) ++loads_;
        loadHigh_ = (e.value & 1) != 0;
      }
    }
    if (design == sim::kMultiplyAddIdentification && !write &&
        column == sim::kMultiplyAddResultColumn) {
      results_.add(e.value & sim::kMultiplyAddResultMask);
    }
  }

  void busWidthFindings(Findings& f) const {
    const std::size_t kShown = busWidths_.size();
    for (std::size_t i = 0; i < busWidthCount_ && i < kShown; ++i) {
      const auto& [line, width] = busWidths_[i];
      f.add("bus width", width != 0
                             ? format("%d bits (line %zu)", width, line)
                             : format("no valid width, bits 2-3 of 0xC000 "
                                      "are 3 (line %zu)",
                                      line));
    }
    if (busWidthCount_ > kShown) {
      f.add("bus width",
            format("%zu further settings, the last %d bits (line %zu)",
                   busWidthCount_ - kShown, lastBusWidth_.second,
                   lastBusWidth_.first));
    }
    if (busWidthCount_ == 0) {
      f.add("bus width",
            "never set: the data bus keeps its 8 bits of "
            "power-up");
      f.warn("no bus-width setting: the chip's data bus stays 8 bits wide");
    }
  }

  void controlFindings(Findings& f) const {
    for (const auto& [offset, settings] : ports_) {
      f.add("control", format("port %u (0x%04x) %s", unsigned(offset),
                              unsigned((base_ + offset) & 0xFFFF),
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
    if (vectors_.count != 0) {
      f.add("loop", format("%zu test vectors written to column %u, %zu loads "
                           "through column %u: %s",
                           vectors_.count, sim::kShiftRegisterVectorColumn,
                           loads_, sim::kShiftRegisterLoadColumn,
                           vectors_.text("0x%08x").c_str()));
    }
    if (results_.count != 0) {
      f.add("loop",
            format("%zu results read from column %u: %s", results_.count,
                   sim::kMultiplyAddResultColumn, results_.text("%u").c_str()));
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
                 strayPorts_.count, unsigned(strayBase_),
                 unsigned(strayBase_ + kPortBlockSize - 1),
                 strayPorts_.firstLine, strayPorts_.first));
    }
  }

  static constexpr std::size_t kChangesNamed = 16;

  TraceFile& file_;
  std::uint32_t base_ = 0;       // the I/O base of the last port access
  std::uint32_t strayBase_ = 0;  // that of the first stray one
  ClockWatch clock_;
  // The designs in turn, as check names them, per connection.
  struct Tracked {
    std::uint32_t connection;
    std::size_t session;
    std::unique_ptr<DesignTrack> designs;
  };
  static constexpr std::size_t kTracked = 8;
  std::vector<Tracked> tracked_;
  std::vector<DesignTrack::Change> changes_;
  std::size_t moreChanges_ = 0;
  std::size_t lastLine_ = 0;
  ConfigurationWatch configuration_;
  std::uint32_t deviceConfig_ = 0;  // 0xC000 after power-up: 8-bit bus
  // The first settings of the bus width (line, width), their count and the
  // last.
  std::array<std::pair<std::size_t, int>, 16> busWidths_{};
  std::size_t busWidthCount_ = 0;
  std::pair<std::size_t, int> lastBusWidth_{};
  std::map<std::uint32_t, Settings> ports_;      // by offset
  std::map<std::uint16_t, Settings> registers_;  // 0xC001-0xC03F
  std::array<ColumnUse, kColumns> columns_{};
  Occurrences columnLines_;
  std::size_t lastColumnLine_ = 0;
  Occurrences beforeClock_, narrowBus_, outsideChip_, outsideWindow_,
      strayPorts_;
  Sample vectors_;  // shift register: column 2 writes
  std::size_t loads_ = 0;
  bool loadHigh_ = false;
  Sample results_;  // multiply-add: column 44 reads
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

bool report(TraceFile& file, Findings* findings) {
  return Walk(file).run(*findings);
}

}  // namespace trace
