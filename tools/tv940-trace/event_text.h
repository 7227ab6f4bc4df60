// Events as check and diff show them: the trace line, and the name the card
// map gives the register or port an access reaches.
#pragma once

#include <cstdint>
#include <string>

#include "tools/tv940-trace/trace_file.h"

namespace trace {

// The keyword of an event line: "req", "out", "rd", ...
std::string kindName(Kind kind);

// The event as its trace line, without line end.
std::string eventText(const Event& event);

// What the access reaches, by name: "column 0", "mask", "port 32, status";
// "" where the map has no name. `portOffset`: a port event's offset from
// the I/O base.
std::string accessName(const Event& event, std::uint32_t portOffset);

// Bit numbers as a short list: "bit 20", "bits 3, 20-23".
std::string bitList(std::uint32_t bits);

}  // namespace trace
