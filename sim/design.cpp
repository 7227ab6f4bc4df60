// The design registry, the configuration layout and design recognition.
#include "sim/design.h"

#include <algorithm>
#include <array>
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

std::vector<DesignEntry>& registry() {
  static std::vector<DesignEntry> designs = {
      {kShiftRegisterIdentification,
       "kelpori",
       makeShiftRegisterDesign,
       ShiftRegisterParameters{}.words(),
       {{kShiftRegisterCaptureColumn, ~kShiftRegisterCaptureMask}}},
      {kMultiplyAddIdentification,
       "vontrel",
       makeMultiplyAddDesign,
       MultiplyAddParameters{}.words(),
       {{kMultiplyAddResultColumn, ~kMultiplyAddResultMask}}},
  };
  return designs;
}

}  // namespace

const std::vector<DesignEntry>& knownDesigns() { return registry(); }

void registerDesign(DesignEntry entry) {
  auto& designs = registry();
  auto same = std::find_if(designs.begin(), designs.end(), [&](const auto& d) {
    return d.identification == entry.identification;
  });
  if (same != designs.end()) {
    *same = std::move(entry);
  } else {
    designs.push_back(std::move(entry));
  }
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

std::optional<RecognisedDesign> recogniseDesign(
    const std::function<std::uint32_t(std::uint16_t)>& readConfigWord,
    DesignVariant variant) {
  const ConfigurationLayout layout = readConfigurationLayout(readConfigWord);
  if (!layout.complete()) return std::nullopt;

  const DesignEntry* entry = findDesign(layout.identification);
  if (entry == nullptr) return std::nullopt;

  const bool intended =
      variant == DesignVariant::AsIntended && !entry->intended.empty();
  std::unique_ptr<Design> design =
      entry->make(intended ? entry->intended : layout.parameters);
  if (!design) return std::nullopt;
  std::string name = entry->name;
  if (std::string fault = design->faultDescription(); !fault.empty()) {
    name += " (" + fault + ")";
  }
  return RecognisedDesign{std::move(name), std::move(design)};
}

}  // namespace sim
