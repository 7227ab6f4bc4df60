// diff: both traces walked in step. What is kept: a short look ahead in
// each (to find where they meet again after events only one of them has),
// the two equal events before a difference (its context) and a count by
// kind, so memory does not grow with the traces' length.
#include "tools/tv940-trace/diff.h"

#include <deque>
#include <map>
#include <optional>
#include <utility>

#include "tools/tv940-trace/event_stream.h"
#include "tools/tv940-trace/event_text.h"
#include "tools/tv940-trace/report.h"

namespace trace {
namespace {

constexpr std::size_t kContext = 2;  // events shown before and after
constexpr std::size_t kShownByDefault = 10;
// After events that one trace has and the other has not, the traces meet
// again where kRejoin events in a row are alike, at most kLookAhead events
// on from where they parted; failing that, one pair is taken as changed.
constexpr std::size_t kRejoin = 4;
constexpr std::size_t kLookAhead = 64;

bool sent(const Event& e) {
  return e.kind == Kind::Request || e.kind == Kind::PortOut ||
         e.kind == Kind::WindowWrite || e.kind == Kind::DriverWrite;
}

bool sameAccess(const Event& a, const Event& b) {
  return a.kind == b.kind && a.where == b.where && a.inChip == b.inChip;
}

bool same(const Event& a, const Event& b) {
  return sameAccess(a, b) && a.value == b.value;
}

// Alike enough to align on: the same access, and for what the program sent
// the same value (what a card answers may differ).
bool alike(const Event& a, const Event& b) {
  return sameAccess(a, b) && (!sent(a) || a.value == b.value);
}

// One trace's events, those the comparison takes, ports as offsets from its
// I/O base, with a look ahead.
class Side {
 public:
  // `connection`: only that connection's events; 0 for all.
  Side(const std::string& path, bool sentOnly, std::uint32_t connection = 0)
      : stream_(path), sentOnly_(sentOnly), connection_(connection) {}

  // The event `i` places ahead, or null at the end or on an error.
  const Event* peek(std::size_t i) {
    Event e;
    while (ahead_.size() <= i && stream_.next(&e)) {
      if (sentOnly_ && !sent(e)) continue;
      if (connection_ != 0 && e.owner() != connection_) continue;
      ++taken_;
      if (e.isPort()) e.where = e.portOffset();  // relative to its base
      ahead_.push_back(e);
    }
    return i < ahead_.size() ? &ahead_[i] : nullptr;
  }
  std::optional<Event> pop() {
    if (peek(0) == nullptr) return std::nullopt;
    const Event e = ahead_.front();
    ahead_.pop_front();
    return e;
  }
  // The event as its trace line, the port where the trace has it.
  std::string text(Event e) const {
    if (e.isPort()) e.where = (e.where + e.ioBase) & 0xFFFF;
    return eventText(e);
  }
  const std::string& error() const { return stream_.error(); }
  std::size_t taken() const { return taken_; }
  const EventStream& stream() const { return stream_; }

 private:
  EventStream stream_;
  bool sentOnly_;
  std::uint32_t connection_;
  std::deque<Event> ahead_;
  std::size_t taken_ = 0;
};

class Comparison {
 public:
  Comparison(Side& a, Side& b, const DiffOptions& options, std::ostream& out)
      : a_(a),
        b_(b),
        limit_(options.all ? SIZE_MAX : kShownByDefault),
        out_(out) {}

  // Walks both traces to their ends; false when one cannot be read.
  bool run() {
    for (;;) {
      const Event* a = a_.peek(0);
      const Event* b = b_.peek(0);
      if (!a_.error().empty() || !b_.error().empty()) return false;
      if (a == nullptr && b == nullptr) return true;
      if (a != nullptr && b != nullptr && same(*a, *b)) {
        equal(*a_.pop(), *b_.pop());
      } else if (a != nullptr && b != nullptr && sameAccess(*a, *b)) {
        differ(a_.pop(), b_.pop());  // another value
      } else if (swapped()) {
        // Two events in the other order: two changed pairs.
        differ(a_.pop(), b_.pop());
        differ(a_.pop(), b_.pop());
      } else {
        const auto [onlyA, onlyB] = rejoin();
        for (std::size_t i = 0; i < onlyA; ++i) differ(a_.pop(), std::nullopt);
        for (std::size_t i = 0; i < onlyB; ++i) differ(std::nullopt, b_.pop());
      }
    }
  }

  void summary(bool sentOnly) const {
    const char* what = sentOnly ? "events sent" : "events";
    const char* one = sentOnly ? "event sent" : "event";
    if (differences_ == 0) {
      out_ << format("diff: equal: %zu %s each\n", a_.taken(), what);
      return;
    }
    if (shown_ < differences_) {
      out_ << format("... and %zu more differences (--all shows every one)\n",
                     differences_ - shown_);
    }
    out_ << format("diff: the traces differ at %zu %s (A has %zu, B %zu)\n",
                   differences_, differences_ == 1 ? one : what, a_.taken(),
                   b_.taken());
    const char* const groups[] = {"differing", "only in A", "only in B"};
    for (int group = 0; group < 3; ++group) {
      if (byKind_[group].empty()) continue;
      std::string counts;
      for (const auto& [kind, count] : byKind_[group]) {
        counts +=
            format("%s%s %zu", counts.empty() ? "" : ", ", kind.c_str(), count);
      }
      out_ << groups[group] << ": " << counts << '\n';
    }
  }

  std::size_t differences() const { return differences_; }

 private:
  using Pair = std::pair<Event, Event>;

  // Whether the next two events of A are those of B in the other order,
  // the traces alike after them.
  bool swapped() {
    const Event* a0 = a_.peek(0);
    const Event* a1 = a_.peek(1);
    const Event* b0 = b_.peek(0);
    const Event* b1 = b_.peek(1);
    return a0 != nullptr && a1 != nullptr && b0 != nullptr && b1 != nullptr &&
           same(*a0, *b1) && same(*a1, *b0) && meet(2, 2, alike);
  }

  // How many events of A and of B come before the traces meet again: the
  // fewest in all where the events are the same, else where they are alike
  // (reads of the same register, which may answer other values); (1, 1), a
  // changed pair, when they do not meet soon. Meeting on equal events first
  // keeps reads from pairing with reads of the same register a few lines
  // off.
  std::pair<std::size_t, std::size_t> rejoin() {
    if (a_.peek(0) == nullptr) return {0, 1};
    if (b_.peek(0) == nullptr) return {1, 0};
    for (bool (*match)(const Event&, const Event&) : {same, alike}) {
      for (std::size_t skipped = 1; skipped <= kLookAhead; ++skipped) {
        for (std::size_t i = 0; i <= skipped; ++i) {
          if (meet(i, skipped - i, match)) return {i, skipped - i};
        }
      }
    }
    return {1, 1};
  }

  // Whether A from i on and B from j on match for kRejoin events, or to
  // the end of both.
  bool meet(std::size_t i, std::size_t j,
            bool (*match)(const Event&, const Event&)) {
    for (std::size_t k = 0; k < kRejoin; ++k) {
      const Event* a = a_.peek(i + k);
      const Event* b = b_.peek(j + k);
      if (a == nullptr || b == nullptr) return a == b;
      if (!match(*a, *b)) return false;
    }
    return true;
  }

  void equal(const Event& a, const Event& b) {
    if (after_ > 0) {
      line(' ', &a, &b);
      --after_;
      return;
    }
    ++unshown_;
    before_.push_back({a, b});
    if (before_.size() > kContext) before_.pop_front();
  }

  void differ(const std::optional<Event>& a, const std::optional<Event>& b) {
    ++differences_;
    ++byKind_[b ? (a ? 0 : 2) : 1][kindKey(a, b)];
    if (shown_ == limit_) {
      after_ = 0;
      return;
    }
    // A new stretch where lines were left out since the last one shown.
    if (shown_ == 0 || unshown_ > before_.size()) {
      const Event* firstA =
          before_.empty() ? (a ? &*a : nullptr) : &before_.front().first;
      const Event* firstB =
          before_.empty() ? (b ? &*b : nullptr) : &before_.front().second;
      std::string where;
      if (firstA != nullptr) where += format("A line %zu", firstA->line);
      if (firstA != nullptr && firstB != nullptr) where += ", ";
      if (firstB != nullptr) where += format("B line %zu", firstB->line);
      out_ << "@@ " << where << " @@\n";
    }
    for (const Pair& p : before_) line(' ', &p.first, &p.second);
    before_.clear();
    unshown_ = 0;
    if (a) line('-', &*a, nullptr);
    if (b) line('+', nullptr, &*b);
    ++shown_;
    after_ = kContext;
  }

  // The kind of a difference: an event's, or "rd/wr" where they differ.
  static std::string kindKey(const std::optional<Event>& a,
                             const std::optional<Event>& b) {
    if (!b || (a && a->kind == b->kind)) return kindName(a->kind);
    if (!a) return kindName(b->kind);
    return std::string(kindName(a->kind)).append("/").append(kindName(b->kind));
  }

  // One line of a stretch: its mark, the line numbers in A and B, the event.
  void line(char mark, const Event* a, const Event* b) {
    const std::string text = a != nullptr ? a_.text(*a) : b_.text(*b);
    out_ << format("%c %8s %8s  %s\n", mark,
                   a != nullptr ? std::to_string(a->line).c_str() : "",
                   b != nullptr ? std::to_string(b->line).c_str() : "",
                   text.c_str());
  }

  Side& a_;
  Side& b_;
  std::size_t limit_;
  std::ostream& out_;
  std::deque<Pair> before_;  // the last equal pairs, for context
  std::size_t after_ = 0;    // context lines still due after a difference
  std::size_t unshown_ = 0;  // equal pairs since the last line shown
  std::size_t differences_ = 0, shown_ = 0;
  // Differences by kind: where both have an event, only A, only B.
  std::map<std::string, std::size_t> byKind_[3];
};

}  // namespace

int diff(const std::string& a, const std::string& b, const DiffOptions& options,
         std::ostream& out, std::ostream& err) {
  Side sideA(a, options.sentOnly), sideB(b, options.sentOnly);
  // Traces of connections open at once: compared connection by connection.
  std::vector<std::uint32_t> connections;
  const Ending& tagsA = sideA.stream().survey().ending;
  const Ending& tagsB = sideB.stream().survey().ending;
  if (tagsA.connectionCount() > 1 || tagsB.connectionCount() > 1) {
    for (std::uint32_t n = 1; n < tagsA.connections.size(); ++n) {
      if (tagsA.connections[n] || tagsB.connections[n])
        connections.push_back(n);
    }
  }
  std::size_t differences = 0;
  const auto compare = [&](Side& sa, Side& sb) {
    Comparison comparison(sa, sb, options, out);
    if (!comparison.run()) {
      out.flush();
      err << "tv940-trace: " << (sa.error().empty() ? sb.error() : sa.error())
          << '\n';
      return false;
    }
    comparison.summary(options.sentOnly);
    differences += comparison.differences();
    return true;
  };
  if (!sideA.error().empty() || !sideB.error().empty() || connections.empty()) {
    if (!compare(sideA, sideB)) return kDiffUnreadable;
  }
  for (const std::uint32_t n : connections) {
    out << format("connection %u:\n", unsigned(n));
    Side oneA(a, options.sentOnly, n), oneB(b, options.sentOnly, n);
    if (!compare(oneA, oneB)) return kDiffUnreadable;
  }
  // The accesses the card failed: a run whose every port write failed is
  // no run like a good one, whatever it sent.
  const Ending& endA = sideA.stream().survey().ending;
  const Ending& endB = sideB.stream().survey().ending;
  const bool failuresDiffer = endA.failures != endB.failures;
  for (const auto& [name, ending] : {std::pair{"A", &endA}, {"B", &endB}}) {
    if (ending->failures != 0)
      out << name << ": " << failureText(*ending) << '\n';
  }
  if (failuresDiffer) {
    out << format("diff: the card failed %zu accesses in A, %zu in B\n",
                  endA.failures, endB.failures);
  }
  bool wholeBoth = true;
  for (const auto& [name, side] : {std::pair{"A", &sideA}, {"B", &sideB}}) {
    const std::string note = side->stream().baseNote();
    if (!note.empty()) out << "note: " << name << ": " << note << '\n';
    for (const std::string& w : side->stream().endWarnings())
      out << "warning: " << name << ": " << w << '\n';
    wholeBoth = wholeBoth && whole(side->stream().survey().ending);
  }
  if (!wholeBoth && !options.partial) {
    out << "diff: a trace that is not whole vouches for no run (--partial "
           "compares it as far as it goes)\n";
  }
  out.flush();
  if (!out) {
    err << "tv940-trace: cannot write the comparison to standard output\n";
    return kDiffUnreadable;
  }
  if (!wholeBoth && !options.partial) return kDiffNotWhole;
  return differences == 0 && !failuresDiffer ? kDiffEqual : kDiffDifferent;
}

}  // namespace trace
