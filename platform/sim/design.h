// Behavioural designs: what the chip computes once a configuration is
// completely loaded. A design file is a plain replay list of chip writes; the
// card recognises the design from the configuration words it holds and checks
// that the configuration is complete before the design computes.
//
// Configuration layout (chip addresses 0x4000 up, mode field 1 or 2, so that
// it never meets the column registers (mode 0) or the control registers):
//
//   0x4000            identification word of the design
//   0x4001            parameter count n (0 to kMaxParameters)
//   0x4002            body word count m (1 or more)
//   0x4003 ...        n parameter words (what the behavioural model reads)
//   then              m body words (the array's configuration, never zero)
//   then              CRC-32 over every word from 0x4000 up to the body's end
//
// Only a configuration whose counts fit, whose body holds no zero word and
// whose CRC matches counts as loaded, so a truncated file never passes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What a design sees of the chip at the moment of a column access.
struct ChipContext {
  std::uint32_t maskC010;
  std::uint32_t maskC014;
  bool clockRunning;  // the synthesizer has been programmed with a valid frame
};

class Design {
 public:
  virtual ~Design() = default;
  // A column-register transfer (column 0 to 63). The bus width has already
  // been applied to the value by the card.
  virtual void writeColumn(unsigned column, std::uint32_t value,
                           const ChipContext& chip) = 0;
  virtual std::uint32_t readColumn(unsigned column,
                                   const ChipContext& chip) = 0;
  // What the design's parameters break, for a faulty variant; "" when the
  // design works as intended.
  virtual std::string faultDescription() const { return {}; }
};

// Makes a design from the parameter words the configuration carries; null
// when the parameters do not describe a design this model can run.
using DesignFactory =
    std::function<std::unique_ptr<Design>(const std::vector<std::uint32_t>&)>;

struct DesignEntry {
  std::uint32_t identification;  // the word the configuration carries
  std::string name;
  DesignFactory make;
};

// The designs the card knows: the built-in ones, then those registered.
const std::vector<DesignEntry>& knownDesigns();
// Adds a design, or replaces the one with the same identification.
void registerDesign(DesignEntry entry);

// ---- Recognition -----------------------------------------------------------

struct RecognisedDesign {
  // The design's name; a faulty variant adds its fault in parentheses.
  std::string name;
  std::unique_ptr<Design> design;
};

// Reads the configuration through readConfigWord (chip addresses 0x4000 to
// 0xBFFF) and returns the design it holds, or nothing when no known design is
// completely and correctly loaded. Reads each word of the configuration once.
std::optional<RecognisedDesign> recogniseDesign(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord);

}  // namespace sim
