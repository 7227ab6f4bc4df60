// The configuration written, judged as the simulated card judges it.
#include "tools/tv940-trace/configuration_watch.h"

#include <algorithm>

#include "card/card_map.h"

namespace trace {
namespace {

// The layout's header: identification, parameter count, body word count.
constexpr std::uint32_t kHeaderWords =
    card::kConfigParameters - card::kConfigurationBase;

constexpr std::uint32_t kSpace =
    card::kConfigurationEnd - card::kConfigurationBase;

bool inSpace(std::uint32_t address) {
  return address >= card::kConfigurationBase &&
         address < card::kConfigurationEnd;
}

}  // namespace

ConfigurationWatch::ConfigurationWatch()
    : words_(kSpace, 0), written_(kSpace, false) {}

void ConfigurationWatch::chipWrite(std::size_t line, std::uint16_t address,
                                   std::uint32_t value) {
  if (!inSpace(address)) return;
  words_[address - card::kConfigurationBase] = value;
  written_[address - card::kConfigurationBase] = true;
  if (writes_++ == 0) {
    firstLine_ = line;
    low_ = high_ = address;
  }
  lastLine_ = line;
  low_ = std::min<std::uint32_t>(low_, address);
  high_ = std::max<std::uint32_t>(high_, address);
}

std::uint32_t ConfigurationWatch::word(std::uint16_t address) const {
  return inSpace(address) ? words_[address - card::kConfigurationBase] : 0;
}

bool ConfigurationWatch::written(std::uint32_t address) const {
  return inSpace(address) && written_[address - card::kConfigurationBase];
}

std::size_t ConfigurationWatch::unwritten(std::uint32_t from,
                                          std::uint32_t to) const {
  std::size_t count = 0;
  for (std::uint32_t a = from; a <= to; ++a) count += written(a) ? 0 : 1;
  return count;
}

std::string ConfigurationWatch::unknownDesign() const {
  const std::string identified =
      written(card::kConfigurationBase)
          ? format("identification 0x%08x", unsigned(identification()))
          : format("no identification word at 0x%04x",
                   unsigned(card::kConfigurationBase));
  return format(
      "%zu configuration writes to 0x%04x-0x%04x, not a design the "
      "simulated card models (%s; lines %zu-%zu)",
      writes_, low_, high_, identified.c_str(), firstLine_, lastLine_);
}

void ConfigurationWatch::finish(Findings& findings) const {
  if (writes_ == 0) {
    findings.add("design", "no configuration written");
    findings.warn(
        "no configuration written: the chip holds no design, and "
        "its columns act as plain registers");
    return;
  }
  // A design of another layout: nothing here can tell whether it is
  // complete, so it is a finding, not a warning.
  if (!written(card::kConfigurationBase) ||
      sim::findDesign(identification()) == nullptr) {
    findings.add("design", unknownDesign());
    return;
  }
  findings.add("design",
               format("%zu configuration writes to 0x%04x-0x%04x (lines "
                      "%zu-%zu)",
                      writes_, low_, high_, firstLine_, lastLine_));

  auto read = [this](std::uint16_t address) { return word(address); };
  const sim::ConfigurationLayout layout = sim::readConfigurationLayout(read);
  const std::string name = sim::findDesign(layout.identification)->name;
  const Judgement judgement = judge(layout);
  if (!judgement.incomplete.empty() || !judgement.damaged.empty()) {
    const bool incomplete = !judgement.incomplete.empty();
    const char* state = incomplete ? "incomplete" : "damaged";
    const std::string& why =
        incomplete ? judgement.incomplete : judgement.damaged;
    findings.add("design", format("%s, %s: %s; %s", name.c_str(), state,
                                  judgement.header.c_str(), why.c_str()));
    findings.warn(
        format("configuration %s, %s: the chip holds no design, "
               "and its columns act as plain registers",
               state, why.c_str()));
    return;
  }
  runningDesign(findings, name, judgement.header);
}

// The header's text, and what keeps the configuration from counting.
ConfigurationWatch::Judgement ConfigurationWatch::judge(
    const sim::ConfigurationLayout& layout) const {
  Judgement j;
  j.header = format("identification 0x%08x", unsigned(layout.identification));
  const std::uint32_t base = card::kConfigurationBase;
  if (unwritten(base, base + kHeaderWords - 1) != 0) {
    j.incomplete = format("not written: the header at 0x%04x-0x%04x", base,
                          base + kHeaderWords - 1);
    return j;
  }
  if (!layout.fits) {
    j.damaged = format(
        "the header's counts (%u parameters, %u body words) do "
        "not fit the configuration space",
        unsigned(layout.parameterCount), unsigned(layout.bodyWords));
    return j;
  }
  j.header +=
      format(", %u parameters, %u body words", unsigned(layout.parameterCount),
             unsigned(layout.bodyWords));
  if (const std::string missing = missingWords(layout); !missing.empty()) {
    j.incomplete = "not written: " + missing;
  } else if (layout.zeroBodyWords != 0) {
    j.damaged =
        format("%u body words written as zero", unsigned(layout.zeroBodyWords));
  } else if (layout.crc != layout.storedCrc) {
    j.damaged = format("the CRC at 0x%04x holds 0x%08x, the words give 0x%08x",
                       unsigned(layout.crcAddress), unsigned(layout.storedCrc),
                       unsigned(layout.crc));
  } else {
    j.header += format(", CRC 0x%08x correct", unsigned(layout.crc));
  }
  return j;
}

// The parts of a layout whose counts fit that were never written: parameter
// words, body words, the CRC; "" when every word was written.
std::string ConfigurationWatch::missingWords(
    const sim::ConfigurationLayout& layout) const {
  const std::uint32_t base = card::kConfigurationBase;
  const std::uint32_t bodyFrom = base + kHeaderWords + layout.parameterCount;
  const std::size_t parameters =
      layout.parameterCount == 0 ? 0
                                 : unwritten(base + kHeaderWords, bodyFrom - 1);
  const std::size_t body = unwritten(bodyFrom, layout.crcAddress - 1);
  std::string missing;
  auto list = [&](const std::string& part) {
    missing += (missing.empty() ? "" : ", ") + part;
  };
  if (parameters != 0) {
    list(format("%zu of %u parameter words", parameters,
                unsigned(layout.parameterCount)));
  }
  if (body != 0) {
    std::uint32_t first = bodyFrom;
    while (written(first)) ++first;
    list(format("%zu of %u body words (the first at 0x%04x)", body,
                unsigned(layout.bodyWords), first));
  }
  if (!written(layout.crcAddress)) {
    list(format("the CRC at 0x%04x", unsigned(layout.crcAddress)));
  }
  return missing;
}

// A known design, completely loaded: the card runs it if it takes the
// parameters, and says what a faulty variant breaks.
void ConfigurationWatch::runningDesign(Findings& findings,
                                       const std::string& name,
                                       const std::string& header) const {
  auto read = [this](std::uint16_t address) { return word(address); };
  std::optional<sim::RecognisedDesign> running = sim::recogniseDesign(read);
  if (!running) {
    findings.add("design",
                 format("%s, complete: %s", name.c_str(), header.c_str()));
    findings.warn(
        format("design %s: the simulated card does not run it with "
               "these parameters: the chip holds no design",
               name.c_str()));
    return;
  }
  findings.add("design", format("%s, complete: %s", running->name.c_str(),
                                header.c_str()));
  const std::string fault = running->design->faultDescription();
  if (!fault.empty()) {
    findings.warn(
        format("design %s is a faulty variant (%s): its results "
               "differ from the model's",
               name.c_str(), fault.c_str()));
  }
}

}  // namespace trace
