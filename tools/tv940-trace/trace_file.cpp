// Reading a trace file line by line, once or twice.
#include "tools/tv940-trace/trace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace trace {
namespace {

using card::trace::LineReader;

std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string shown;
  for (char c : text.substr(0, kShown)) {
    shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return "'" + shown + (text.size() > kShown ? "...'" : "'");
}

std::string tooMany(std::uint32_t connection) {
  return "connection " + std::to_string(connection) +
         ": more connections than the tool reads (" +
         std::to_string(kConnections) + ")";
}

std::string reason(int error) {
  return error != 0 ? std::strerror(error) : "read error";
}

}  // namespace

std::vector<std::string> endWarnings(const Ending& e) {
  std::vector<std::string> warnings;
  std::string endText = card::trace::endLine(e.events);
  endText.insert(endText.begin(), '"');
  endText += '"';
  if (e.cutLine != 0) {
    warnings.push_back("line " + std::to_string(e.cutLine) +
                       " is cut short (the file ends inside it) and is read "
                       "as nothing: " +
                       e.cutText);
  }
  if (e.endLine == 0) {
    warnings.push_back("the trace has no end line (" + endText +
                       "): the run was cut short (killed, crashed or out of "
                       "disk space) and is not whole");
  } else if (e.eventsAfterEnd != 0) {
    warnings.push_back(std::to_string(e.eventsAfterEnd) +
                       " events follow the end line on line " +
                       std::to_string(e.endLine) +
                       " without an end line of their own: the run was cut "
                       "short after it");
  } else if (e.endCount != e.eventsBeforeEnd) {
    warnings.push_back(
        "the end line on line " + std::to_string(e.endLine) + " counts " +
        std::to_string(e.endCount) + " events, but the trace holds " +
        std::to_string(e.eventsBeforeEnd) + ": lines were lost or added");
  }
  return warnings;
}

std::string failureText(const Ending& e) {
  if (e.failures == 0) return "";
  return "the card failed " + std::to_string(e.failures) +
         (e.failures == 1 ? " access" : " accesses") + ", the first on line " +
         std::to_string(e.failureLine) + ": " + e.failureText;
}

std::string guessedBaseNote(const Ending& e,
                            std::optional<std::uint16_t> guessed) {
  if (e.unrecordedPorts == 0 || !guessed) return "";
  char base[8];
  std::snprintf(base, sizeof base, "0x%04x", unsigned(*guessed));
  return std::string(
             "the trace does not record where the card's ports are "
             "(a trace of an earlier version): its port accesses "
             "are held against the I/O base ") +
         base + ", taken from most of them";
}

TraceReader::TraceReader(std::FILE* file, std::string name,
                         std::size_t lastLine, std::FILE* copy)
    : lines_(std::make_unique<LineReader>(file)),
      name_(std::move(name)),
      lastLine_(lastLine),
      copy_(copy),
      opens_(kConnections + 1) {
  ending_.connections.assign(kConnections + 1, false);
}

TraceReader::Open& TraceReader::openOf(std::uint32_t connection) {
  Open& open = opens_[connection];
  if (open.session == 0) open.session = ++session_;  // events before a heading
  return open;
}

TraceReader::Item TraceReader::fail(std::string text) {
  error_ = std::move(text);
  return Item::Error;
}

TraceReader::Item TraceReader::next() {
  for (;;) {
    if (lines_->number() >= lastLine_) return Item::End;
    const LineReader::Result result = lines_->next();
    const std::size_t n = lines_->number();
    const std::string at = name_ + ":" + std::to_string(n) + ": ";
    if (result == LineReader::Result::End) return Item::End;
    if (result == LineReader::Result::TooLong) {
      return fail(at + "line longer than " +
                  std::to_string(card::trace::kMaxLineLength) +
                  " characters, which no trace holds");
    }
    if (result == LineReader::Result::ReadError)
      return fail("cannot read " + name_ + ": " + reason(lines_->error()));

    const std::string_view line = lines_->line();
    ending_.lines = n;
    if (copy_ != nullptr &&
        (std::fwrite(line.data(), 1, line.size(), copy_) != line.size() ||
         (!lines_->cut() && std::fputc('\n', copy_) == EOF)))
      return fail("cannot keep a copy of " + name_ +
                  " to read it twice: " + reason(errno));
    if (n == 1 && !card::trace::beginsTrace(line)) {
      return fail(at +
                  "not a trace: its first line is neither a trace event "
                  "nor the heading (\"" +
                  std::string(card::trace::kHeading) +
                  " ...\") or end of one: " + quoted(line));
    }
    if (lines_->cut()) {
      ending_.cutLine = n;
      ending_.cutText = quoted(line);
      continue;  // the file ends here
    }
    if (line.empty()) continue;
    if (card::trace::isComment(line)) {
      const std::size_t body = line.find_first_not_of(" \t", 1);
      comment_ = {n, body == std::string_view::npos ? std::string_view()
                                                    : line.substr(body)};
      std::uint16_t base = 0;
      std::uint32_t tag = 0;
      if (line.substr(0, card::trace::kHeading.size()) ==
          card::trace::kHeading) {
        // A new open: a card afresh, its bases not yet known. Without a
        // connection number, no other connection is open.
        ++ending_.headings;
        tag = card::trace::connectionOf(line);
        if (tag > kConnections) return fail(at + tooMany(tag));
        if (tag == 0) {
          opens_.assign(kConnections + 1, Open{});
          ++epoch_;
        }
        openOf(tag != 0 ? tag : 1) = Open{++session_, std::nullopt};
      } else if (card::trace::parseBases(line, &base, &tag)) {
        if (tag > kConnections) return fail(at + tooMany(tag));
        openOf(tag != 0 ? tag : 1).base = base;
      } else if (line.substr(0, card::trace::kCardFailed.size()) ==
                 card::trace::kCardFailed) {
        if (ending_.failures++ == 0) {
          ending_.failureLine = n;
          ending_.failureText =
              quoted(line.substr(card::trace::kCardFailed.size()));
        }
      }
      if (card::trace::parseEndLine(line, &ending_.endCount)) {
        ending_.endLine = n;
        ending_.eventsBeforeEnd = ending_.events;
        ending_.eventsAfterEnd = 0;
      }
      return Item::Comment;
    }
    if (!card::trace::parseEvent(line, &event_))
      return fail(at + "not a trace event: " + quoted(line));
    if (event_.connection > kConnections)
      return fail(at + tooMany(event_.connection));
    const Open& open = openOf(event_.owner());
    event_.line = n;
    event_.session = open.session;
    event_.epoch = epoch_;
    event_.baseRecorded = open.base.has_value();
    event_.ioBase = open.base.value_or(0);
    ending_.connections[event_.owner()] = true;
    if (event_.isRead()) ++ending_.reads;
    if (event_.isPort() && !open.base) ++ending_.unrecordedPorts;
    ++ending_.events;
    if (ending_.endLine != 0) ++ending_.eventsAfterEnd;
    return Item::Event;
  }
}

TraceFile::~TraceFile() {
  reader_.reset();
  if (spool_ != nullptr) std::fclose(spool_);
  if (file_ != nullptr) std::fclose(file_);
}

bool TraceFile::open(const std::string& path, std::string* error) {
  path_ = path;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = "cannot read " + path + ": " + reason(errno);
    return false;
  }
  // A pipe cannot be read again: its lines go to a temporary file.
  if (std::fseek(file_, 0, SEEK_SET) != 0) {
    spool_ = std::tmpfile();
    if (spool_ == nullptr) {
      *error = "cannot keep a copy of " + path +
               " to read it twice: " + reason(errno);
      return false;
    }
  }

  TraceReader reader(file_, path, TraceReader::kNoLimit, spool_);
  std::map<std::uint32_t, std::size_t> blocks;  // block base -> accesses
  survey_.portsWritten.assign(0x10000, false);
  survey_.offsetsWritten.assign(0x10000, false);
  for (;;) {
    const TraceReader::Item item = reader.next();
    if (item == TraceReader::Item::Error) {
      *error = reader.error();
      return false;
    }
    if (item == TraceReader::Item::End) break;
    if (item == TraceReader::Item::Comment) {
      constexpr std::string_view kDevice = "trace: ";
      const std::string_view text = reader.comment().text;
      if (survey_.device.empty() && text.substr(0, kDevice.size()) == kDevice)
        survey_.device = text.substr(kDevice.size());
      continue;
    }
    const Event& e = reader.event();
    if (e.baseRecorded) {
      if (e.kind == Kind::PortOut)
        survey_.offsetsWritten[e.portOffset()] = true;
      continue;
    }
    if (e.isPort()) ++blocks[e.where & ~(kPortBlockSize - 1)];
    if (e.kind == Kind::PortOut) survey_.portsWritten[e.where] = true;
  }
  survey_.ending = reader.ending();
  std::size_t most = 0;
  for (const auto& [block, count] : blocks) {
    if (count > most) {
      most = count;
      survey_.ioBase = static_cast<std::uint16_t>(block);
    }
  }

  std::FILE* again = spool_ != nullptr ? spool_ : file_;
  if ((spool_ != nullptr && std::fflush(spool_) != 0) ||
      std::fseek(again, 0, SEEK_SET) != 0) {
    *error = "cannot read " + path + " again: " + reason(errno);
    return false;
  }
  // The second pass ends where the first did; a cut line stays unread.
  const Ending& e = survey_.ending;
  reader_ = std::make_unique<TraceReader>(
      again, path, e.cutLine != 0 ? e.cutLine - 1 : e.lines);
  return true;
}

bool TraceFile::next(Event* event) {
  for (;;) {
    switch (reader_->next()) {
      case TraceReader::Item::Event:
        *event = reader_->event();
        if (!event->baseRecorded) event->ioBase = survey_.ioBase.value_or(0);
        return true;
      case TraceReader::Item::Comment:
        continue;
      case TraceReader::Item::End:
        return false;
      case TraceReader::Item::Error:
        error_ = reader_->error() + " (the trace changed while it was read)";
        return false;
    }
  }
}

}  // namespace trace
