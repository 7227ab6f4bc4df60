// Writing the Value Change Dump: the header declares every signal, then each
// event that changes a signal gives a time stamp (its line) and the changes.
#include "tools/tv940-trace/vcd.h"

#include <map>
#include <string>
#include <vector>

#include "card/card_map.h"

namespace trace {
namespace {

constexpr int kAddressBits = card::kChipAddressBits;  // the chip's address bus
constexpr int kDataBits = 32;  // its data bus, and a port's

// A group of one-bit wires: a single wire, or a bus split into its bits
// ("chip_data[31]" ... "chip_data[0]"). GTKWave joins a split bus into one
// vector again; sigrok reads only one-bit wires.
struct Bus {
  std::string name;
  int width;
  std::vector<std::string> ids;  // VCD identifier codes, bit 0 first
  std::uint32_t value = 0;
  bool known = false;  // false before the first value
};

// Identifier codes: printable characters '!' to '~', more than one when the
// wires outnumber them.
std::string identifier(std::size_t index) {
  constexpr std::size_t kCodes = '~' - '!' + 1;
  std::string id;
  do {
    id += static_cast<char>('!' + index % kCodes);
    index /= kCodes;
  } while (index != 0);
  return id;
}

class Dump {
 public:
  explicit Dump(TraceFile& file) : file_(file), survey_(file.survey()) {
    clockLine_ = add("clock_line", 1);
    // One bus per control port of the card's block written, in the order of
    // their offsets; writes to ports beyond it share one bus, so that the
    // dump's size is bounded whatever ports a trace writes.
    std::vector<bool> offsets = survey_.offsetsWritten;
    const std::uint32_t base = survey_.ioBase.value_or(0);
    for (std::uint32_t port = 0; port < survey_.portsWritten.size(); ++port) {
      if (survey_.portsWritten[port]) offsets[(port - base) & 0xFFFF] = true;
    }
    bool beyond = false;
    for (std::uint32_t offset = 0; offset < offsets.size(); ++offset) {
      if (!offsets[offset]) continue;
      if (offset >= kPortBlockSize) {
        beyond = true;
        continue;
      }
      ports_[offset] = add("port" + std::to_string(offset), kDataBits);
    }
    if (beyond) {
      otherPort_ = add("other_port", 16);
      otherValue_ = add("other_port_data", kDataBits);
    }
    chipAddress_ = add("chip_address", kAddressBits);
    chipData_ = add("chip_data", kDataBits);
    chipWrite_ = add("chip_write", 1);
  }

  bool write(std::ostream& out) {
    out << "$version tv940-trace $end\n";
    if (!survey_.device.empty()) {
      out << "$comment " << survey_.device << " $end\n";
    }
    out << "$timescale 1ns $end\n$scope module card $end\n";
    for (const Bus& b : buses_) {
      for (int bit = b.width - 1; bit >= 0; --bit) {
        out << "$var wire 1 " << b.ids[bit] << ' ' << b.name;
        if (b.width > 1) out << '[' << bit << ']';
        out << " $end\n";
      }
    }
    out << "$upscope $end\n$enddefinitions $end\n";
    // Before the first event nothing is known.
    out << "#0\n$dumpvars\n";
    for (const Bus& b : buses_) {
      for (const std::string& id : b.ids) out << 'x' << id << '\n';
    }
    out << "$end\n";

    for (Event e; file_.next(&e);) {
      changes_.clear();
      if (e.kind == Kind::PortOut) {
        const std::uint32_t offset = e.portOffset();
        if (offset == kClockPortOffset) set(clockLine_, e.value & 1);
        if (offset < kPortBlockSize) {
          set(ports_.at(offset), e.value);
        } else {
          set(otherPort_, e.where);
          set(otherValue_, e.value);
        }
      } else if (e.isChipWrite() || e.isChipRead()) {
        set(chipAddress_, e.where);
        set(chipData_, e.value);
        set(chipWrite_, e.isChipWrite() ? 1 : 0);
      }
      if (changes_.empty()) continue;
      out << '#' << e.line << '\n' << changes_;
    }
    if (!file_.error().empty()) return false;
    // A last time stamp, so that viewers show the final values for a line.
    out << '#' << survey_.ending.lines + 1 << '\n';
    out.flush();
    return static_cast<bool>(out);
  }

 private:
  std::size_t add(const std::string& name, int width) {
    Bus bus{name, width, {}};
    for (int bit = 0; bit < width; ++bit)
      bus.ids.push_back(identifier(wires_++));
    buses_.push_back(std::move(bus));
    return buses_.size() - 1;
  }
  // Adds a change line for each bit that changes.
  void set(std::size_t index, std::uint32_t value) {
    Bus& b = buses_[index];
    for (int bit = 0; bit < b.width; ++bit) {
      const std::uint32_t mask = 1u << bit;
      if (b.known && ((b.value ^ value) & mask) == 0) continue;
      changes_ += (value & mask) ? '1' : '0';
      changes_ += b.ids[bit];
      changes_ += '\n';
    }
    b.value = value;
    b.known = true;
  }

  TraceFile& file_;
  const Survey& survey_;
  std::vector<Bus> buses_;
  std::size_t wires_ = 0;
  std::size_t clockLine_, chipAddress_, chipData_, chipWrite_;
  std::size_t otherPort_ = 0, otherValue_ = 0;  // ports beyond the block
  std::map<std::uint32_t, std::size_t> ports_;  // offset -> bus
  std::string changes_;                         // of the event at hand
};

}  // namespace

bool writeVcd(TraceFile& file, std::ostream& out) {
  return Dump(file).write(out);
}

}  // namespace trace
