// Settings and faults for the next open of the simulated card. Tests set
// them before Board::open; TV940_SIM_FAULTS adds faults for whole program
// runs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "card/card_map.h"

namespace sim {

struct Settings {
  // The PCI configuration block.
  std::array<std::uint8_t, card::kConfigBlockSize> configBlock;
  bool noDevice = false;      // fault "no-device": the device open fails
  bool checkFails = false;    // fault "check-fails": request 0 fails
  bool memoryBar1 = false;    // fault "memory-bar1": register 1 bit 0 clear
  bool noAnswer = false;      // fault "no-answer": every request but 0 fails
  bool stuckWatcher = false;  // fault "stuck-watcher": request 10 never returns
                              // until releaseStuckRequests()
  bool identificationEcho = true;  // 0xC03F reads back what was written
  bool recordEvents = false;       // keep events in memory for events()

  Settings();  // the default header: BAR0 0xF8000000, BAR1 0x0000E001
};

// The settings the next open uses; tests may change them freely.
Settings& nextSettings();
// Restores the defaults (also forgets the current card).
void resetSettings();
// Parses a comma-separated fault list into settings. False with *error
// ("unknown simulated-card fault 'xyz'") for an unknown name; the settings
// are then left as they were.
bool applyFaults(const std::string& list, Settings& settings,
                 std::string* error);

// For the card's open: the next settings with `faults` (the seam's reading
// of TV940_SIM_FAULTS), after the design plug-ins of TV940_SIM_DESIGNS are
// loaded. False with *failure (one line) for an unknown fault there or a
// plug-in that cannot be loaded.
bool settingsForOpen(Settings* settings, std::string_view faults,
                     std::string* failure);
// For resetSettings: the next settings become the defaults.
void restoreDefaultSettings();

}  // namespace sim
