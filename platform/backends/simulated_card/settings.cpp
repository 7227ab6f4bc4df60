// The next open's settings, the default configuration block and the fault
// names.
#include "platform/backends/simulated_card/settings.h"


#include "card/bytes.h"
#include "platform/os.h"
#include "sim/plugins.h"

namespace sim {
namespace {

struct Next {
  platform::os::Lock lock;
  Settings settings;
};
// Never destroyed: a card may still be opened by a detached thread at exit.
Next& next() {
  static auto* n = new Next;
  return *n;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

Settings::Settings() : configBlock{} {
  // A header of the PCI standard's layout: a data-acquisition controller with
  // its chip window in memory space and its control ports in I/O space.
  std::uint8_t* block = configBlock.data();
  card::storeLe32(block + card::kCommandRegister,
                  0x02800003);  // status; command: memory and I/O on
  card::storeLe32(block + card::kClassRevision, 0x11800001);
  card::storeLe32(block + card::kBaseAddress0, 0xF8000000);
  card::storeLe32(block + card::kBaseAddress1, 0x0000E001);  // I/O
  card::storeLe32(block + card::kInterruptLine,
                  0x0000010B);  // interrupt pin A, line 11
}

Settings& nextSettings() { return next().settings; }

void restoreDefaultSettings() {
  Next& n = next();
  platform::os::LockGuard guard(n.lock);
  n.settings = Settings();
}

bool applyFaults(const std::string& list, Settings& settings,
                 std::string* error) {
  Settings result = settings;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string name = trimmed(list.substr(start, end - start));
    start = end + 1;
    if (name.empty()) continue;
    if (name == "no-device") {
      result.noDevice = true;
    } else if (name == "check-fails") {
      result.checkFails = true;
    } else if (name == "memory-bar1") {
      result.memoryBar1 = true;
    } else if (name == "no-answer") {
      result.noAnswer = true;
    } else if (name == "stuck-watcher") {
      result.stuckWatcher = true;
    } else if (name == "no-echo") {
      result.identificationEcho = false;
    } else {
      if (error != nullptr) {
        *error = "unknown simulated-card fault '" + name + "'";
      }
      return false;  // nothing applied
    }
  }
  settings = result;
  return true;
}

bool settingsForOpen(Settings* settings, std::string_view faults,
                     std::string* failure) {
  {
    Next& n = next();
    platform::os::LockGuard guard(n.lock);
    *settings = n.settings;
  }
  // The design plug-ins come before the card's first recognition.
  if (!loadDesignPluginsFromEnvironment(failure)) return false;
  if (faults.empty()) return true;
  std::string error;
  if (applyFaults(std::string(faults), *settings, &error)) return true;
  if (failure != nullptr) *failure = error + " in TV940_SIM_FAULTS";
  return false;
}

}  // namespace sim
