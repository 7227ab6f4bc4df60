// Reading a trace file line by line.
#include "tools/tv940-trace/trace_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "card/hex.h"

namespace trace {
namespace {

struct Keyword {
  const char* name;
  Kind kind;
};
constexpr Keyword kKeywords[] = {
    {"req", Kind::Request},    {"out", Kind::PortOut},
    {"in", Kind::PortIn},      {"wr", Kind::WindowWrite},
    {"rd", Kind::WindowRead},  {"dwr", Kind::DriverWrite},
    {"drd", Kind::DriverRead}, {"irq", Kind::Interrupt},
};

// A number of 1 to 8 hexadecimal or 1 to 10 decimal digits, and nothing
// else, that fits into 32 bits.
bool parseNumber(const std::string& text, int base, std::uint32_t* value) {
  std::uint64_t result = 0;
  if (base == 16) {
    if (text.size() > 8 || !card::parseHexDigits(text, &result)) {
      return false;
    }
  } else {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      result = result * 10 + std::uint64_t(c - '0');
    }
    if (result > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<std::uint32_t>(result);
  return true;
}

}  // namespace

bool parseEvent(const std::string& text, Event* event) {
  std::istringstream in(text);
  std::string name, first, second, rest;
  in >> name >> first >> second >> rest;
  if (!rest.empty()) return false;

  const Keyword* keyword = nullptr;
  for (const Keyword& k : kKeywords) {
    if (name == k.name) keyword = &k;
  }
  if (keyword == nullptr) return false;
  event->kind = keyword->kind;
  event->inChip = false;
  event->where = 0;
  event->value = 0;

  switch (keyword->kind) {
    case Kind::Request:
      return second.empty() && parseNumber(first, 10, &event->where);
    case Kind::Interrupt:
      return second.empty() && parseNumber(first, 16, &event->value);
    case Kind::PortOut:
    case Kind::PortIn:
      return first.size() <= 4 && parseNumber(first, 16, &event->where) &&
             parseNumber(second, 16, &event->value);
    default:
      break;
  }
  // Window and driver events: a chip address, or '@' and a window offset.
  if (!first.empty() && first[0] == '@') {
    first.erase(0, 1);
  } else {
    if (first.size() > 4) return false;
    event->inChip = true;
  }
  return parseNumber(first, 16, &event->where) &&
         parseNumber(second, 16, &event->value);
}

std::string quotedLine(const std::string& text) {
  constexpr std::size_t kShown = 60;
  std::string shown;
  for (char c : text.substr(0, kShown)) {
    shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return "'" + shown + (text.size() > kShown ? "...'" : "'");
}

std::optional<Trace> readTrace(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  Trace trace;
  std::string text;
  while (std::getline(in, text)) {
    const std::size_t line = ++trace.lines;
    if (!text.empty() && text.back() == '\r') text.pop_back();  // CR LF
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) continue;  // a blank line says nothing
    if (text[start] == '#') {
      const std::size_t body = text.find_first_not_of(" \t", start + 1);
      trace.comments.push_back(
          {line, body == std::string::npos ? "" : text.substr(body)});
      continue;
    }
    Event event;
    if (!parseEvent(text, &event)) {
      *error = path + ":" + std::to_string(line) +
               ": not a trace event: " + quotedLine(text);
      return std::nullopt;
    }
    event.line = line;
    trace.events.push_back(event);
  }
  if (in.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return trace;
}

std::optional<std::uint16_t> ioBase(const Trace& trace) {
  std::map<std::uint32_t, std::size_t> accesses;  // block base -> count
  for (const Event& e : trace.events) {
    if (e.kind == Kind::PortOut || e.kind == Kind::PortIn) {
      ++accesses[e.where & ~(kPortBlockSize - 1)];
    }
  }
  std::optional<std::uint16_t> base;
  std::size_t most = 0;
  for (const auto& [block, count] : accesses) {
    if (count > most) {
      most = count;
      base = static_cast<std::uint16_t>(block);
    }
  }
  return base;
}

std::string deviceComment(const Trace& trace) {
  static const std::string kPrefix = "trace: ";
  for (const Comment& c : trace.comments) {
    if (c.text.compare(0, kPrefix.size(), kPrefix) == 0) {
      return c.text.substr(kPrefix.size());
    }
  }
  return {};
}

}  // namespace trace
