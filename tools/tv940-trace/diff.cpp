// diff: both traces walked in step, one event of each at a time; what is
// kept is the two events before a difference (its context) and a count by
// kind, so memory does not grow with the traces' length.
#include "tools/tv940-trace/diff.h"

#include <deque>
#include <map>
#include <optional>

#include "tools/tv940-trace/event_stream.h"
#include "tools/tv940-trace/event_text.h"
#include "tools/tv940-trace/report.h"

namespace trace {
namespace {

constexpr std::size_t kContext = 2;  // events shown before and after
constexpr std::size_t kShownByDefault = 10;

bool sent(const Event& e) {
  return e.kind == Kind::Request || e.kind == Kind::PortOut ||
         e.kind == Kind::WindowWrite || e.kind == Kind::DriverWrite;
}

bool isPort(const Event& e) {
  return e.kind == Kind::PortOut || e.kind == Kind::PortIn;
}

// One trace's events, those the comparison takes, with the port offsets
// from its I/O base.
class Side {
 public:
  Side(const std::string& path, bool sentOnly)
      : stream_(path), sentOnly_(sentOnly) {}

  // The next event taken, or nothing at the end or on an error.
  std::optional<Event> next() {
    Event e;
    while (stream_.next(&e)) {
      const std::uint32_t offset = isPort(e) ? base_.offset(e) : 0;
      if (sentOnly_ && !sent(e)) continue;
      ++taken_;
      if (isPort(e)) e.where = offset;  // compared relative to the base
      return e;
    }
    return std::nullopt;
  }
  // The event as its trace line, the port where the trace has it.
  std::string text(Event e) const {
    if (isPort(e)) e.where = (e.where + base_.base().value_or(0)) & 0xFFFF;
    return eventText(e);
  }
  const std::string& error() const { return stream_.error(); }
  std::size_t taken() const { return taken_; }

 private:
  EventStream stream_;
  PortBase base_;
  bool sentOnly_;
  std::size_t taken_ = 0;
};

bool same(const Event& a, const Event& b) {
  return a.kind == b.kind && a.where == b.where && a.value == b.value &&
         a.inChip == b.inChip;
}

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
      const std::optional<Event> a = a_.next(), b = b_.next();
      if (!a_.error().empty() || !b_.error().empty()) return false;
      if (!a && !b) return true;
      if (a && b && same(*a, *b)) {
        equal(*a, *b);
      } else {
        differ(a, b);
      }
    }
  }

  void summary(bool sentOnly) const {
    const char* what = sentOnly ? "events sent" : "events";
    if (differences_ == 0) {
      out_ << format("diff: equal: %zu %s each\n", a_.taken(), what);
      return;
    }
    if (shown_ < differences_) {
      out_ << format(
          "... and %zu more differing events (--all shows every "
          "one)\n",
          differences_ - shown_);
    }
    out_ << format(
        "diff: %zu differences in %s compared in order (A %zu, "
        "B %zu)\n",
        differences_, what, a_.taken(), b_.taken());
    std::string counts;
    for (const auto& [kind, count] : byKind_) {
      counts +=
          format("%s%s %zu", counts.empty() ? "" : ", ", kind.c_str(), count);
    }
    out_ << "by kind: " << counts << '\n';
  }

  std::size_t differences() const { return differences_; }

 private:
  using Pair = std::pair<Event, Event>;

  void equal(const Event& a, const Event& b) {
    if (after_ > 0) {
      line(' ', &a, &b);
      --after_;
      return;
    }
    before_.push_back({a, b});
    if (before_.size() > kContext) before_.pop_front();
  }

  void differ(const std::optional<Event>& a, const std::optional<Event>& b) {
    ++differences_;
    ++byKind_[kindKey(a, b)];
    if (shown_ == limit_) {
      after_ = 0;
      return;
    }
    if (after_ == 0) {  // a new stretch, after its context
      const Event* firstA =
          before_.empty() ? (a ? &*a : nullptr) : &before_.front().first;
      const Event* firstB =
          before_.empty() ? (b ? &*b : nullptr) : &before_.front().second;
      out_ << format("@@ A line %s, B line %s @@\n", lineText(firstA).c_str(),
                     lineText(firstB).c_str());
      for (const Pair& p : before_) line(' ', &p.first, &p.second);
    }
    before_.clear();
    if (a) line('-', &*a, nullptr);
    if (b) line('+', nullptr, &*b);
    ++shown_;
    after_ = kContext;
  }

  static std::string kindKey(const std::optional<Event>& a,
                             const std::optional<Event>& b) {
    if (!b) return std::string(kindName(a->kind)) + " only in A";
    if (!a) return std::string(kindName(b->kind)) + " only in B";
    if (a->kind == b->kind) return kindName(a->kind);
    return std::string(kindName(a->kind)) + " against " + kindName(b->kind);
  }

  static std::string lineText(const Event* e) {
    return e != nullptr ? std::to_string(e->line) : "(end)";
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
  std::size_t differences_ = 0, shown_ = 0;
  std::map<std::string, std::size_t> byKind_;
};

}  // namespace

int diff(const std::string& a, const std::string& b, const DiffOptions& options,
         std::ostream& out, std::ostream& err) {
  Side sideA(a, options.sentOnly), sideB(b, options.sentOnly);
  Comparison comparison(sideA, sideB, options, out);
  if (!comparison.run()) {
    out.flush();
    err << "tv940-trace: "
        << (sideA.error().empty() ? sideB.error() : sideA.error()) << '\n';
    return kDiffUnreadable;
  }
  comparison.summary(options.sentOnly);
  out.flush();
  if (!out) {
    err << "tv940-trace: cannot write the comparison to standard output\n";
    return kDiffUnreadable;
  }
  return comparison.differences() == 0 ? kDiffEqual : kDiffDifferent;
}

}  // namespace trace
