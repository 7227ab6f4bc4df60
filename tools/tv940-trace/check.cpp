// check: the trace's events in order, each read compared as it comes, so
// that memory does not grow with the trace's length. What is kept: the model,
// a tally per register read, and the differing reads to show.
#include "tools/tv940-trace/check.h"

#include <array>
#include <cstdio>
#include <map>
#include <vector>

#include "card/card_map.h"
#include "card/hex.h"
#include "sim/design.h"
#include "tools/tv940-trace/card_model.h"
#include "tools/tv940-trace/design_track.h"
#include "tools/tv940-trace/event_stream.h"
#include "tools/tv940-trace/event_text.h"
#include "tools/tv940-trace/report.h"

namespace trace {
namespace {

constexpr std::size_t kShownByDefault = 10;
// Registers and ports tallied one by one; the reads of any further ones are
// tallied together, so that memory stays bounded whatever the trace reads.
constexpr std::size_t kTallied = 4096;
// Design changes named one by one.
constexpr std::size_t kChangesNamed = 16;

// The differing reads to show, in trace order: the first ten, or every one
// spooled to a temporary file, so that they can follow the summary line
// without being held in memory.
class DifferenceList {
 public:
  explicit DifferenceList(bool all)
      : limit_(all ? SIZE_MAX : kShownByDefault),
        spool_(all ? std::tmpfile() : nullptr) {}
  ~DifferenceList() {
    if (spool_ != nullptr) std::fclose(spool_);
  }
  DifferenceList(const DifferenceList&) = delete;
  DifferenceList& operator=(const DifferenceList&) = delete;

  bool wanted() const { return count_ < limit_; }
  void add(const std::string& line) {
    ++count_;
    if (spool_ == nullptr || std::fputs((line + '\n').c_str(), spool_) < 0) {
      kept_.push_back(line);  // no temporary file: held instead
    }
  }
  void print(std::ostream& out) const {
    if (spool_ != nullptr && std::fflush(spool_) == 0) {
      std::rewind(spool_);
      char block[4096];
      std::size_t n;
      while ((n = std::fread(block, 1, sizeof block, spool_)) != 0) {
        out.write(block, static_cast<std::streamsize>(n));
      }
    }
    for (const std::string& line : kept_) out << line << '\n';
  }

 private:
  std::size_t limit_;
  std::size_t count_ = 0;
  std::FILE* spool_;
  std::vector<std::string> kept_;
};

// The reads of one register or port.
struct Tally {
  std::string label;  // "00c0 (column 0)"
  std::size_t reads = 0, differing = 0;
  std::uint32_t always = 0xFFFFFFFFu;    // bits that differed in every one
  std::uint32_t ever = 0;                // bits that differed in any one
  std::array<std::size_t, 32> perBit{};  // reads in which each bit differed

  void add(std::uint32_t differ) {
    ++differing;
    always &= differ;
    ever |= differ;
    for (int bit = 0; bit < 32; ++bit) perBit[bit] += (differ >> bit) & 1;
  }

  // "00c0 (column 0): 2 of 48000 reads differ; bit 20 always". Where more
  // than one bit differed only sometimes, the one that differed most often
  // is named: a stuck bit whose error travels on (a shift) stands out so.
  std::string text() const {
    std::string t =
        format("%s: %zu of %zu reads differ", label.c_str(), differing, reads);
    const std::uint32_t sometimes = ever & ~always;
    if (always != 0) t += "; " + bitList(always) + " always";
    if (sometimes != 0) t += "; " + bitList(sometimes) + " sometimes";
    if ((sometimes & (sometimes - 1)) != 0) {
      int most = 0;
      for (int bit = 1; bit < 32; ++bit) {
        if (perBit[bit] > perBit[most]) most = bit;
      }
      t += format(", bit %d most often (%zu reads)", most, perBit[most]);
    }
    return t;
  }
};

class Comparison {
 public:
  explicit Comparison(bool all) : all_(all), shown_(all) {}

  // A read of the card, the model's answer and the bits not compared.
  void read(const Event& e, std::uint32_t portOffset, std::uint32_t model,
            std::uint32_t status) {
    ++reads_;
    const std::uint64_t key = keyOf(e, portOffset);
    auto found = tallies_.find(key);
    if (found == tallies_.end() && tallies_.size() < kTallied)
      found = tallies_.emplace(key, Tally{}).first;
    Tally& tally = found != tallies_.end() ? found->second : others_;
    if (tally.reads++ == 0) tally.label = label(e, portOffset);
    if (&tally == &others_) {
      tally.label =
          format("others (registers and ports beyond the first %zu)", kTallied);
    }
    if (status != 0) ++masked_;
    const std::uint32_t differ = (e.value ^ model) & ~status;
    if (differ == 0) return;
    ++differing_;
    tally.add(differ);
    if (!shown_.wanted()) return;
    shown_.add(format("line %zu: %s %s: card %08x, model %08x, %s %s", e.line,
                      kindName(e.kind).c_str(), label(e, portOffset).c_str(),
                      unsigned(e.value), unsigned(model),
                      bitList(differ).c_str(),
                      (differ & (differ - 1)) == 0 ? "differs" : "differ"));
  }

  std::size_t differing() const { return differing_; }

  // The summary line, the differing reads, the tally of each register.
  void print(std::ostream& out, const std::string& model) const {
    std::string summary =
        differing_ == 0
            ? format("check: %zu reads, every one agrees with the model (%s)",
                     reads_, model.c_str())
            : format("check: %zu of %zu reads differ from the model (%s)",
                     differing_, reads_, model.c_str());
    if (masked_ != 0) {
      summary += format(
          "; status bits that no model predicts not compared in %zu reads",
          masked_);
    }
    out << summary << '\n';
    if (differing_ == 0) return;
    shown_.print(out);
    if (differing_ > kShownByDefault && !all_) {
      out << format("... and %zu more differing reads (--all shows every one)",
                    differing_ - kShownByDefault)
          << '\n';
    }
    out << "by register:\n";
    for (const auto& [key, tally] : tallies_) {
      if (tally.differing != 0) out << "  " << tally.text() << '\n';
    }
    if (others_.differing != 0) out << "  " << others_.text() << '\n';
  }

 private:
  // Chip registers first, then window offsets, then ports by offset.
  static std::uint64_t keyOf(const Event& e, std::uint32_t portOffset) {
    if (e.kind == Kind::PortIn) return std::uint64_t{2} << 32 | portOffset;
    return std::uint64_t{e.inChip ? 0u : 1u} << 32 | e.where;
  }
  static std::string whereText(const Event& e) {
    if (e.kind == Kind::PortIn || e.inChip) return card::hexText(e.where, 4);
    return std::string("@").append(card::hexText(e.where, 6));
  }
  // The address, and the name the map gives it in parentheses.
  static std::string label(const Event& e, std::uint32_t portOffset) {
    std::string text = whereText(e);
    const std::string name = accessName(e, portOffset);
    if (!name.empty()) text.append(" (").append(name).append(")");
    return text;
  }

  bool all_;
  DifferenceList shown_;
  std::map<std::uint64_t, Tally> tallies_;  // by space and address
  Tally others_;                            // beyond kTallied
  std::size_t reads_ = 0, differing_ = 0, masked_ = 0;
};

// Why the model cannot judge the trace, one reason a line; none when it can.
std::vector<std::string> cannotJudge(const CardModel& model,
                                     const std::string& design) {
  std::vector<std::string> reasons;
  if (!model.clock().running()) {
    reasons.push_back(format(
        "the clock was never programmed: no valid programming sequence on "
        "port %u",
        unsigned(card::kClockPort)));
  }
  if (!design.empty()) return reasons;
  const std::uint32_t id = model.identification();
  const sim::DesignEntry* entry = sim::findDesign(id);
  if (model.configurationWrites() == 0) {
    reasons.push_back("no configuration was written: the chip holds no design");
  } else if (!model.identificationWritten()) {
    reasons.push_back(format(
        "the configuration has no identification word (at 0x%04x): not a "
        "design the model knows",
        unsigned(card::kConfigurationBase)));
  } else if (entry == nullptr) {
    reasons.push_back(format(
        "the configuration's identification word 0x%08x is not a design the "
        "model knows",
        unsigned(id)));
  } else {
    reasons.push_back(format(
        "the configuration of %s (identification word 0x%08x) is not "
        "completely and correctly loaded (tv940-trace report says what is "
        "wrong)",
        entry->name.c_str(), unsigned(id)));
  }
  return reasons;
}

// The trace's opens, each replayed into a model of its own: a heading
// starts a card afresh, and each connection open at once has its own card.
class Replay {
 public:
  // Models held at once: each reserves the window below the chip, so that a
  // trace of many connections at once stays in bounded memory.
  static constexpr std::size_t kModels = 3;

  Replay(const EventStream& stream, Comparison& comparison)
      : stream_(stream), comparison_(comparison) {}

  void take(const Event& e) {
    Open& open = openFor(e);
    if (open.model == nullptr) return;  // not judged (too many at once)
    open.lastLine = e.line;
    // Ports as offsets from their own I/O base: the model's base is 0.
    Event m = e;
    if (e.isPort()) m.where = e.portOffset();
    if (e.inChip && e.isWindowAccess()) {
      const auto address = static_cast<std::uint16_t>(e.where);
      if (e.isChipWrite()) open.designs->chipWrite(address, e.value);
      if (card::isColumnRegister(address)) {
        if (const auto change = open.designs->recognise(e.line))
          changed(open, *change);
      }
    }
    if (!e.isRead()) {
      open.model->take(m);
      return;
    }
    const std::uint32_t answer = open.model->answer(m);
    const std::uint32_t status = open.model->statusBits(m);
    if (!open.judging) return;
    ++open.reads;
    comparison_.read(e, e.isPort() ? e.portOffset() : 0, answer, status);
  }

  // Ends every open; the reasons the model cannot judge the trace.
  const std::vector<std::string>& finish() {
    for (auto& open : opens_) end(*open);
    opens_.clear();
    return reasons_;
  }
  // What the reads were judged against: "shift register, clock 66 MHz".
  std::string judged() const {
    std::string text;
    std::string last;
    for (const DesignTrack::Change& c : changes_) {
      if (c.name.empty() || c.name == last) continue;
      text += (text.empty() ? "" : ", then ") + c.name;
      last = c.name;
    }
    return text + clock_;
  }
  // The designs in turn, when there was more than one change.
  std::string designs() const {
    if (changes_.size() + moreChanges_ < 2) return "";
    std::string text = designList(changes_);
    if (moreChanges_ != 0) text += format(" and %zu more", moreChanges_);
    return text;
  }

 private:
  struct Open {
    std::uint32_t connection = 0;
    std::size_t session = 0, firstLine = 0, lastLine = 0, reads = 0;
    std::unique_ptr<CardModel> model;      // null: not judged
    std::unique_ptr<DesignTrack> designs;  // with the model
    bool judging = true, unknownMidway = false;
    std::string designNamed;  // the last design known in this open
  };

  // The open of the event's connection; a new one at a new heading.
  Open& openFor(const Event& e) {
    if (e.epoch != epoch_) {
      // A heading without a connection number: every connection closed.
      for (auto& open : opens_) end(*open);
      opens_.clear();
      epoch_ = e.epoch;
    }
    for (auto& open : opens_) {
      if (open->connection != e.owner()) continue;
      if (open->session == e.session) return *open;
      end(*open);
      open = begin(e);
      return *open;
    }
    opens_.push_back(begin(e));
    return *opens_.back();
  }

  std::unique_ptr<Open> begin(const Event& e) {
    auto open = std::make_unique<Open>();
    open->connection = e.owner();
    open->session = e.session;
    open->firstLine = e.line;
    std::size_t models = 0;
    for (const auto& other : opens_) models += other->model != nullptr;
    if (models < kModels) {
      open->model = std::make_unique<CardModel>(0);
      open->designs = std::make_unique<DesignTrack>();
    } else {
      reasons_.push_back(format(
          "line %zu: connection %u opens while %zu others are open; the "
          "tool models no more than %zu at once, so its reads are not judged",
          e.line, unsigned(e.owner()), models, kModels));
    }
    return open;
  }

  void end(Open& open) {
    if (open.model == nullptr) return;
    judge(open);
    open.model.reset();
    open.designs.reset();
  }

  void judge(Open& open) {
    open.model->settle();
    if (const auto change = open.designs->recognise(open.lastLine))
      changed(open, *change);
    if (open.reads == 0 && open.judging) return;  // nothing was judged
    std::string prefix;
    if (stream_.survey().ending.connectionCount() > 1) {
      prefix = format("connection %u, the open from line %zu: ",
                      unsigned(open.connection), open.firstLine);
    } else if (stream_.survey().ending.headings > 1) {
      prefix = format("the open from line %zu: ", open.firstLine);
    }
    for (std::string& reason :
         cannotJudge(*open.model, open.unknownMidway ? std::string("-")
                                                     : open.designs->current()))
      reasons_.push_back(prefix + reason);
    if (open.model->clock().running()) {
      clock_ =
          format(", clock %g MHz", open.model->clock().setting()->outputMHz);
    }
  }

  void changed(Open& open, const DesignTrack::Change& change) {
    if (changes_.size() < kChangesNamed) {
      changes_.push_back(change);
    } else {
      ++moreChanges_;
    }
    // A new design the model does not know: the reads from here on cannot
    // be judged, until a known one is loaded.
    if (change.name.empty() && !open.designNamed.empty() && open.judging) {
      reasons_.push_back(format(
          "line %zu: the configuration was changed from %s to one the model "
          "does not know (identification word 0x%08x); the reads from here "
          "on are not judged",
          change.line, open.designNamed.c_str(),
          unsigned(change.identification)));
      open.judging = false;
      open.unknownMidway = true;
    } else if (!change.name.empty()) {
      open.judging = true;
    }
    if (!change.name.empty()) open.designNamed = change.name;
  }

  const EventStream& stream_;
  Comparison& comparison_;
  std::vector<std::unique_ptr<Open>> opens_;  // one per connection seen
  std::size_t epoch_ = 0;
  std::vector<DesignTrack::Change> changes_;
  std::size_t moreChanges_ = 0;
  std::string clock_;
  std::vector<std::string> reasons_;
};

}  // namespace

int check(const std::string& path, const CheckOptions& options,
          std::ostream& out, std::ostream& err) {
  EventStream stream(path);
  Comparison comparison(options.all);
  Replay replay(stream, comparison);
  Event e;
  while (stream.next(&e)) replay.take(e);
  if (!stream.error().empty()) {
    err << "tv940-trace: " << stream.error() << '\n';
    return kCheckUnreadable;
  }
  std::vector<std::string> reasons = replay.finish();
  const Ending& ending = stream.survey().ending;
  if (ending.failures != 0) reasons.push_back(failureText(ending));
  if (const std::string designs = replay.designs(); !designs.empty())
    out << "check: designs in turn: " << designs << '\n';
  for (const std::string& reason : reasons) {
    out << "check: the model cannot judge this trace: " << reason << '\n';
  }
  int status = kCheckCannotJudge;
  if (reasons.empty()) {
    comparison.print(out, replay.judged());
    status = comparison.differing() == 0 ? kCheckAgrees : kCheckDiffers;
  }
  if (const std::string note = stream.baseNote(); !note.empty())
    out << "note: " << note << '\n';
  // A trace that is not whole, or holds no read, vouches for no run: it is
  // judged as far as it goes only when asked to.
  for (const std::string& warning : stream.endWarnings()) {
    out << "warning: " << warning << '\n';
  }
  if (!options.partial) {
    if (!whole(ending)) {
      out << "check: the trace is not whole, so it vouches for no run "
             "(--partial judges it as far as it goes)\n";
      status = kCheckCannotJudge;
    } else if (ending.reads == 0) {
      out << "check: the trace holds no read: nothing was held against the "
             "model (--partial judges it all the same)\n";
      status = kCheckCannotJudge;
    }
  }
  out.flush();
  if (!out) {
    err << "tv940-trace: cannot write the check to standard output\n";
    return kCheckUnreadable;
  }
  return status;
}

}  // namespace trace
