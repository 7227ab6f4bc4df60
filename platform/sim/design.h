// Behavioural designs: what the chip computes once a configuration is
// completely loaded. A design file is a plain replay list of chip writes; the
// card recognises the design by the identification word the configuration
// carries and checks that the configuration is complete before the design
// computes (see configuration.h for the layout).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  virtual std::uint32_t readColumn(unsigned column, const ChipContext& chip) = 0;
};

// The design's parameter words as the configuration carries them.
using DesignFactory =
    std::function<std::unique_ptr<Design>(const std::vector<std::uint32_t>&)>;

struct DesignEntry {
  std::uint32_t identification;  // the word the configuration carries
  std::string name;
  DesignFactory make;
};

// The designs the card knows; a user adds one with registerDesign.
const std::vector<DesignEntry>& knownDesigns();
void registerDesign(DesignEntry entry);

}  // namespace sim
