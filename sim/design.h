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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card_map.h"
#include "tv940/design_plugin.h"

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
  // Polled after each column access: a nonzero word raises the card's
  // interrupt with that word.
  virtual std::uint32_t interrupt() { return 0; }
};

// Makes a design from the parameter words the configuration carries; null
// when the parameters do not describe a design this model can run.
using DesignFactory =
    std::function<std::unique_ptr<Design>(const std::vector<std::uint32_t>&)>;

// Bits of a column's reads that carry status beside the design's result:
// the card drives them, and no model predicts them.
struct StatusBits {
  unsigned column;
  std::uint32_t bits;
};

struct ConfigurationWrite {
  std::uint16_t address;
  std::uint32_t data;
};

struct DesignEntry {
  std::uint32_t identification;  // the word the configuration carries
  std::string name;
  DesignFactory make;
  // The parameter words of the design as intended, without a fault; empty
  // when the configuration's own parameters are the design as intended.
  std::vector<std::uint32_t> intended = {};
  std::vector<StatusBits> status = {};
  // A design bound to a design file: recognised when the configuration
  // space (0x4000-0xBFFF) holds exactly what the file writes, one word per
  // address from 0x4000, and made without parameter words. Empty: recognised
  // by the identification word of the configuration layout below.
  std::vector<std::uint32_t> boundConfiguration = {};
};

// A design of the plug-in contract as the card runs it. The tv940_design's
// functions must stay valid for the design's life; faultDescription gives
// `fault`.
std::unique_ptr<Design> makeContractDesign(
    const tv940_design& design, const std::vector<std::uint32_t>& parameters,
    std::string fault = {});
// The registry entry of a design of the plug-in contract: its name,
// identification, factory and unpredictable bits.
DesignEntry contractEntry(const tv940_design& design);

// The designs the card knows: the built-in ones, then those registered,
// then those a plug-in brings (a design replaces one with the same
// identification). The first call fixes them for the life of the process, so
// recognition, which calls it, always sees the same designs and entries
// never move.
const std::vector<DesignEntry>& knownDesigns();
// Whether knownDesigns has fixed the designs.
bool designsFixed();
// Adds a design, or replaces the one with the same identification; false
// (nothing changed) once the designs are fixed.
bool registerDesign(DesignEntry entry);
// The plug-ins' designs, in place of those installed before (if any); false
// (nothing changed) once the designs are fixed.
bool installPluginDesigns(std::vector<DesignEntry> designs);

// ---- Configuration ---------------------------------------------------------

inline constexpr std::uint32_t kMaxParameters = 64;

// The configuration of a design in the layout above, in the order a design
// file writes it: header, parameters, a deterministic body of bodyWords
// non-zero words, CRC. Empty when it does not fit the configuration space.
std::vector<ConfigurationWrite> configurationImage(
    std::uint32_t identification, const std::vector<std::uint32_t>& parameters,
    std::uint32_t bodyWords);

// ---- Recognition -----------------------------------------------------------

// The configuration as it stands, read in the layout above: its header, and
// whether its body and CRC are in place. Recognition rests on it; tools use
// it to say what a load left out.
struct ConfigurationLayout {
  std::uint32_t identification = 0;
  std::uint32_t parameterCount = 0;
  std::uint32_t bodyWords = 0;
  bool fits = false;  // the counts describe a configuration that fits
  // The rest is read only when the counts fit.
  std::vector<std::uint32_t> parameters;
  std::uint32_t zeroBodyWords = 0;  // body words holding zero: never written
  std::uint16_t crcAddress = 0;     // where the CRC belongs
  std::uint32_t crc = 0;            // over the words as they stand
  std::uint32_t storedCrc = 0;      // the word at crcAddress

  bool complete() const {
    return fits && zeroBodyWords == 0 && crc == storedCrc;
  }
};

// Reads the configuration through readConfigWord, each word once.
ConfigurationLayout readConfigurationLayout(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord);

struct RecognisedDesign {
  // The design's name; a faulty variant adds its fault in parentheses.
  std::string name;
  std::unique_ptr<Design> design;
  std::vector<StatusBits> status = {};  // its entry's
};

// Which design a recognised configuration brings to life: the one its
// parameter words describe, faults included, or the design as intended
// (the entry's intended parameters), which a card's answers are held against.
enum class DesignVariant { AsConfigured, AsIntended };

// Reads the configuration through readConfigWord (chip addresses 0x4000 to
// 0xBFFF) and returns the design it holds, or nothing when no known design is
// completely and correctly loaded. Reads each word of the configuration once.
std::optional<RecognisedDesign> recogniseDesign(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord,
    DesignVariant variant = DesignVariant::AsConfigured);

// The known design with that identification word, or null.
const DesignEntry* findDesign(std::uint32_t identification);

// ---- Built-in designs ------------------------------------------------------

// Shift register (kelpori.bfx). Column 1 is the load control: a change of its
// bit 0 from 1 to 0 loads the vector latched in column 2 into the shift
// register and clears the capture register. Each read of column 2 clocks one
// step: capture := (capture << 1 | shift bit `captureTap`) & 0xFFFF, shift :=
// shift << 1 | 1. Column 0 reads the shift register, column 8 the capture
// register in bits 0-15 and the status pattern in bits 16-31.
inline constexpr std::uint32_t kShiftRegisterIdentification = 0x4B454C50;

// Its column registers.
inline constexpr unsigned kShiftRegisterShiftColumn = 0;    // shift register
inline constexpr unsigned kShiftRegisterLoadColumn = 1;     // load control
inline constexpr unsigned kShiftRegisterVectorColumn = 2;   // vector; steps
inline constexpr unsigned kShiftRegisterCaptureColumn = 8;  // capture, status
inline constexpr std::uint32_t kShiftRegisterCaptureMask = 0xFFFF;
inline constexpr int kShiftRegisterStatusShift = 16;

struct ShiftRegisterParameters {
  std::uint32_t status = 0xA5C3;  // bits 16-31 of column 8 (16 bits)
  std::uint32_t stuckAtZero = 0;  // shift-register bits that always hold 0
  std::uint32_t stuckAtOne = 0;   // shift-register bits that always hold 1
  std::uint32_t captureTap = 31;  // the bit the capture register takes in

  std::vector<std::uint32_t> words() const {
    return {status, stuckAtZero, stuckAtOne, captureTap};
  }
};

std::unique_ptr<Design> makeShiftRegisterDesign(
    const std::vector<std::uint32_t>& parameters);
// The design on the plug-in contract, and what its parameters break ("" for
// the design as intended).
const tv940_design& shiftRegisterDesign();
std::string shiftRegisterFault(const std::vector<std::uint32_t>& parameters);

// Multiply-add (vontrel.bfx). A write to column 0 lands bitwise in operand
// word 1 where mask 0xC014 is set and in operand word 2 where mask 0xC010 is
// set. An operand word carries x in bits 0-10 and y in bits 16-26. Column 44
// reads x1 * y1 + x2 * y2 in bits 0-22 and the status pattern in bits 23-31.
inline constexpr std::uint32_t kMultiplyAddIdentification = 0x564F4E54;

// Its column registers, and the result's bits in the result column.
inline constexpr unsigned kMultiplyAddOperandColumn = 0;
inline constexpr unsigned kMultiplyAddResultColumn = 44;
inline constexpr std::uint32_t kMultiplyAddResultMask = 0x7FFFFF;

struct MultiplyAddParameters {
  std::uint32_t status = 0x1A5;    // bits 23-31 of column 44 (9 bits)
  std::uint32_t droppedCarry = 0;  // sum bits that never receive a carry

  std::vector<std::uint32_t> words() const { return {status, droppedCarry}; }
};

std::unique_ptr<Design> makeMultiplyAddDesign(
    const std::vector<std::uint32_t>& parameters);
// The design on the plug-in contract, and what its parameters break.
const tv940_design& multiplyAddDesign();
std::string multiplyAddFault(const std::vector<std::uint32_t>& parameters);

// The chip clock both designs are made for, in MHz: the test programs bring
// the board up at it from the card's reference.
inline constexpr float kDesignClockMHz = 66.0f;

}  // namespace sim
