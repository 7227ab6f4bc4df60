// The design registry, the configuration layout and design recognition.
#include "sim/design.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

namespace sim {
namespace {

// CRC-32 (reflected, polynomial 0xEDB88320) over 32-bit words, each taken as
// its four bytes, least significant first.
class Crc32 {
 public:
  void add(std::uint32_t word) {
    for (int byte = 0; byte < 4; ++byte) {
      crc_ = table()[(crc_ ^ (word >> (8 * byte))) & 0xFF] ^ (crc_ >> 8);
    }
  }
  std::uint32_t value() const { return ~crc_; }

 private:
  static const std::array<std::uint32_t, 256>& table() {
    static const std::array<std::uint32_t, 256> entries = [] {
      std::array<std::uint32_t, 256> t{};
      for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
          c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        t[i] = c;
      }
      return t;
    }();
    return entries;
  }

  std::uint32_t crc_ = 0xFFFFFFFFu;
};

// Identification, parameter count and body word count.
constexpr std::uint32_t kHeaderWords =
    card::kConfigParameters - card::kConfigurationBase;

bool fits(std::uint32_t parameterCount, std::uint32_t bodyWords) {
  const std::uint64_t words =
      std::uint64_t{kHeaderWords} + parameterCount + bodyWords + 1;  // + CRC
  return parameterCount <= kMaxParameters && bodyWords > 0 &&
         words <= card::kConfigurationEnd - card::kConfigurationBase;
}

// A design of the plug-in contract behind the card's Design interface.
class ContractDesign final : public Design {
 public:
  ContractDesign(const tv940_design& design, void* state, std::string fault)
      : design_(design), state_(state), fault_(std::move(fault)) {}
  ~ContractDesign() override {
    if (design_.destroy != nullptr) design_.destroy(state_);
  }
  ContractDesign(const ContractDesign&) = delete;
  ContractDesign& operator=(const ContractDesign&) = delete;

  void writeColumn(unsigned column, std::uint32_t value,
                   const ChipContext& chip) override {
    const tv940_chip_context context = contextOf(chip);
    design_.write_column(state_, column, value, &context);
  }
  std::uint32_t readColumn(unsigned column, const ChipContext& chip) override {
    const tv940_chip_context context = contextOf(chip);
    return design_.read_column(state_, column, &context);
  }
  std::string faultDescription() const override { return fault_; }
  std::uint32_t interrupt() override {
    return design_.interrupt != nullptr ? design_.interrupt(state_) : 0;
  }

 private:
  static tv940_chip_context contextOf(const ChipContext& chip) {
    return {chip.maskC010, chip.maskC014, chip.clockRunning ? 1 : 0};
  }

  const tv940_design design_;  // a copy: its functions outlive the design
  void* const state_;
  const std::string fault_;
};

// The built-in designs, then the registered ones, then the plug-ins'.
// Filled under the spin lock until the first knownDesigns() fixes `designs`;
// after that nothing writes, so readers need no lock.
struct Registry {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  std::atomic<bool> fixed{false};
  std::vector<DesignEntry> registered;
  std::vector<DesignEntry> plugins;
  std::vector<DesignEntry> designs;
};

Registry& registry() {
  static Registry r;
  return r;
}

class RegistryLock {
 public:
  explicit RegistryLock(Registry& r) : r_(r) {
    // Held only while a few vectors are filled, by one open or tool at a
    // time: a plain spin does.
    while (r_.busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~RegistryLock() { r_.busy.clear(std::memory_order_release); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  Registry& r_;
};

void addOrReplace(std::vector<DesignEntry>& designs, DesignEntry entry) {
  auto same = std::find_if(designs.begin(), designs.end(), [&](const auto& d) {
    return d.identification == entry.identification;
  });
  if (same != designs.end()) {
    *same = std::move(entry);
  } else {
    designs.push_back(std::move(entry));
  }
}

std::vector<DesignEntry> builtInDesigns() {
  DesignEntry shift = contractEntry(shiftRegisterDesign());
  shift.make = makeShiftRegisterDesign;
  shift.intended = ShiftRegisterParameters{}.words();
  DesignEntry add = contractEntry(multiplyAddDesign());
  add.make = makeMultiplyAddDesign;
  add.intended = MultiplyAddParameters{}.words();
  std::vector<DesignEntry> designs;
  designs.push_back(std::move(shift));
  designs.push_back(std::move(add));
  return designs;
}

}  // namespace

std::unique_ptr<Design> makeContractDesign(
    const tv940_design& design, const std::vector<std::uint32_t>& parameters,
    std::string fault) {
  void* state = design.create(parameters.data(), parameters.size());
  if (state == nullptr) return nullptr;
  return std::make_unique<ContractDesign>(design, state, std::move(fault));
}

DesignEntry contractEntry(const tv940_design& design) {
  DesignEntry entry{design.identification, design.name ? design.name : "",
                    [design](const std::vector<std::uint32_t>& parameters) {
                      return makeContractDesign(design, parameters);
                    }};
  if (design.unpredictable != nullptr) {
    for (unsigned column = 0; column < card::kColumnCount; ++column) {
      if (design.unpredictable[column] != 0) {
        entry.status.push_back({column, design.unpredictable[column]});
      }
    }
  }
  return entry;
}

const std::vector<DesignEntry>& knownDesigns() {
  Registry& r = registry();
  if (r.fixed.load(std::memory_order_acquire)) return r.designs;
  RegistryLock lock(r);
  if (!r.fixed.load(std::memory_order_relaxed)) {
    r.designs = builtInDesigns();
    for (const DesignEntry& entry : r.registered)
      addOrReplace(r.designs, entry);
    for (const DesignEntry& entry : r.plugins) addOrReplace(r.designs, entry);
    r.fixed.store(true, std::memory_order_release);
  }
  return r.designs;
}

bool designsFixed() { return registry().fixed.load(std::memory_order_acquire); }

bool registerDesign(DesignEntry entry) {
  Registry& r = registry();
  RegistryLock lock(r);
  if (r.fixed.load(std::memory_order_relaxed)) return false;
  addOrReplace(r.registered, std::move(entry));
  return true;
}

bool installPluginDesigns(std::vector<DesignEntry> designs) {
  Registry& r = registry();
  RegistryLock lock(r);
  if (r.fixed.load(std::memory_order_relaxed)) return false;
  r.plugins = std::move(designs);
  return true;
}

std::vector<ConfigurationWrite> configurationImage(
    std::uint32_t identification, const std::vector<std::uint32_t>& parameters,
    std::uint32_t bodyWords) {
  const auto parameterCount = static_cast<std::uint32_t>(parameters.size());
  if (parameters.size() > kMaxParameters || !fits(parameterCount, bodyWords)) {
    return {};
  }
  std::vector<ConfigurationWrite> image;
  Crc32 crc;
  std::uint32_t address = card::kConfigurationBase;
  auto put = [&](std::uint32_t word) {
    image.push_back({static_cast<std::uint16_t>(address++), word});
    crc.add(word);
  };
  put(identification);
  put(parameterCount);
  put(bodyWords);
  for (std::uint32_t p : parameters) put(p);

  // The body stands for the array's routing and logic configuration: a
  // xorshift sequence seeded from the header, so it differs between designs
  // and variants and never holds a zero word.
  std::uint32_t state = crc.value();
  if (state == 0) state = 1;
  for (std::uint32_t i = 0; i < bodyWords; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    put(state);
  }
  const std::uint32_t check = crc.value();
  image.push_back({static_cast<std::uint16_t>(address), check});
  return image;
}

ConfigurationLayout readConfigurationLayout(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord) {
  ConfigurationLayout layout;
  Crc32 crc;
  std::uint32_t address = card::kConfigurationBase;
  auto next = [&] {
    const std::uint32_t word =
        readConfigWord(static_cast<std::uint16_t>(address++));
    crc.add(word);
    return word;
  };
  layout.identification = next();
  layout.parameterCount = next();
  layout.bodyWords = next();
  layout.fits = fits(layout.parameterCount, layout.bodyWords);
  if (!layout.fits) return layout;

  layout.parameters.resize(layout.parameterCount);
  for (auto& p : layout.parameters) p = next();
  for (std::uint32_t i = 0; i < layout.bodyWords; ++i) {
    if (next() == 0) ++layout.zeroBodyWords;
  }
  layout.crc = crc.value();
  layout.crcAddress = static_cast<std::uint16_t>(address);
  layout.storedCrc = readConfigWord(layout.crcAddress);
  return layout;
}

const DesignEntry* findDesign(std::uint32_t identification) {
  const auto& designs = knownDesigns();
  auto entry = std::find_if(designs.begin(), designs.end(), [&](const auto& d) {
    return d.identification == identification;
  });
  return entry == designs.end() ? nullptr : &*entry;
}

namespace {

// The design bound to a design file whose configuration the words hold, or
// null.
const DesignEntry* boundDesign(const std::vector<DesignEntry>& designs,
                               const std::vector<std::uint32_t>& words) {
  for (const DesignEntry& entry : designs) {
    if (!entry.boundConfiguration.empty() &&
        entry.boundConfiguration == words) {
      return &entry;
    }
  }
  return nullptr;
}

std::optional<RecognisedDesign> bringToLife(
    const DesignEntry& entry, const std::vector<std::uint32_t>& parameters,
    DesignVariant variant) {
  const bool intended =
      variant == DesignVariant::AsIntended && !entry.intended.empty();
  std::unique_ptr<Design> design =
      entry.make(intended ? entry.intended : parameters);
  if (!design) return std::nullopt;
  std::string name = entry.name;
  if (std::string fault = design->faultDescription(); !fault.empty()) {
    name += " (" + fault + ")";
  }
  return RecognisedDesign{std::move(name), std::move(design), entry.status};
}

}  // namespace

std::optional<RecognisedDesign> recogniseDesign(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord,
    DesignVariant variant) {
  const std::vector<DesignEntry>& designs = knownDesigns();
  const bool anyBound = std::any_of(
      designs.begin(), designs.end(),
      [](const DesignEntry& d) { return !d.boundConfiguration.empty(); });
  if (!anyBound) {
    const ConfigurationLayout layout = readConfigurationLayout(readConfigWord);
    if (!layout.complete()) return std::nullopt;
    const DesignEntry* entry = findDesign(layout.identification);
    if (entry == nullptr || !entry->boundConfiguration.empty()) {
      return std::nullopt;
    }
    return bringToLife(*entry, layout.parameters, variant);
  }

  // A bound design needs the whole space: read it once, then judge both ways.
  std::vector<std::uint32_t> words(card::kConfigurationEnd -
                                   card::kConfigurationBase);
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = readConfigWord(
        static_cast<std::uint16_t>(card::kConfigurationBase + i));
  }
  if (const DesignEntry* bound = boundDesign(designs, words)) {
    return bringToLife(*bound, {}, variant);
  }
  const ConfigurationLayout layout =
      readConfigurationLayout([&words](std::uint16_t address) {
        return words[address - card::kConfigurationBase];
      });
  if (!layout.complete()) return std::nullopt;
  const DesignEntry* entry = findDesign(layout.identification);
  if (entry == nullptr || !entry->boundConfiguration.empty()) {
    return std::nullopt;
  }
  return bringToLife(*entry, layout.parameters, variant);
}

}  // namespace sim
