// The configuration a trace writes into the chip: where it went, which
// design it is and whether it is complete, as the simulated card judges it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/design.h"
#include "tools/tv940-trace/report.h"

namespace trace {

class ConfigurationWatch {
 public:
  ConfigurationWatch();
  // A chip write; only those into the configuration space count.
  void chipWrite(std::size_t line, std::uint16_t address, std::uint32_t value);
  // The identification word as it stands (0 when none was written).
  std::uint32_t identification() const {
    return word(card::kConfigurationBase);
  }
  // Adds the "design:" lines and the warnings; call once, at the end.
  void finish(Findings& findings) const;

 private:
  std::string unknownDesign() const;
  // How the configuration stands: its header as text, and what keeps it from
  // counting (both "" when nothing does).
  struct Judgement {
    std::string header, incomplete, damaged;
  };
  Judgement judge(const sim::ConfigurationLayout& layout) const;
  std::string missingWords(const sim::ConfigurationLayout& layout) const;
  void runningDesign(Findings& findings, const std::string& name,
                     const std::string& header) const;

  std::uint32_t word(std::uint16_t address) const;
  bool written(std::uint32_t address) const;
  // Words of the layout up to and including its CRC that were never written.
  std::size_t unwritten(std::uint32_t from, std::uint32_t to) const;

  std::vector<std::uint32_t> words_;  // the configuration space
  std::vector<bool> written_;
  std::size_t writes_ = 0;
  std::size_t firstLine_ = 0, lastLine_ = 0;
  std::uint32_t low_ = 0, high_ = 0;
};

}  // namespace trace
