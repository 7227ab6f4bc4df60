// A trace as a Value Change Dump for a waveform viewer. Time is the event's
// line number in the trace (timescale 1 ns), so that the viewer's time axis
// reads as trace lines.
//
// Signals: `clock_line`, bit 0 of every write to the clock-programming port;
// `portN` (N the offset), each control port written; `chip_address`,
// `chip_data` and `chip_write` (1 for a write), the chip's buses at every
// chip access through the window or the driver. Every signal is one-bit
// wires: a port or bus is split into its bits, `chip_data[31]` to
// `chip_data[0]`, which GTKWave joins into one vector again (its
// autocoalescing) and which sigrok, reading one-bit wires only, reads too.
#pragma once

#include <ostream>

#include "tools/tv940-trace/trace_file.h"

namespace trace {

// Writes the VCD of the file's second pass. False when the stream failed or
// the file changed since its first pass (file.error() says how).
bool writeVcd(TraceFile& file, std::ostream& out);

}  // namespace trace
