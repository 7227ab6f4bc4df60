// The designs a trace brings to life, in turn: the configuration it writes,
// recognised again as the chip does at the first column access after it
// changed. check and report both name the designs from it, so they name the
// same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trace {

class DesignTrack {
 public:
  // A design the chip took up: its name ("" when the configuration holds
  // none the model knows), its identification word and where.
  struct Change {
    std::size_t line = 0;
    std::string name;
    std::uint32_t identification = 0;
  };

  DesignTrack();
  // A card afresh: no configuration.
  void reset();
  // A chip write; those into the configuration space change it.
  void chipWrite(std::uint16_t address, std::uint32_t value);
  // A column access at `line` (or the end of an open): the changed
  // configuration is recognised; the change, if the configuration changed.
  std::optional<Change> recognise(std::size_t line);
  // The design running; "" for none.
  const std::string& current() const { return current_; }
  // True when the configuration changed since the last recognition.
  bool changed() const { return changed_; }

 private:
  std::vector<std::uint32_t> words_;  // the configuration space
  bool changed_ = false;
  std::string current_;
};

// "shift register (line 40), multiply-add (line 900)" for the changes whose
// name is set; unknown ones as "an unknown design 0x12345678 (line 7)".
std::string designList(const std::vector<DesignTrack::Change>& changes);

}  // namespace trace
