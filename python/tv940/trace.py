"""Reading a run's trace (TV940_TRACE) with the library's own reader: one
line at a time, in fixed memory, whatever the length of the trace."""

import collections
import ctypes
import os
import warnings

from . import _lib, Error, ERROR_TRACE
from ._library import TraceEvent

KINDS = ("req", "out", "in", "wr", "rd", "dwr", "drd", "irq")

# address: the chip address (in_chip) or window byte offset of a word, the
# port of a port access, the code of a request; 0 for an interrupt.
Event = collections.namedtuple("Event", "kind address value line in_chip")


class CutTraceWarning(UserWarning):
    """The trace has no end line: the run that wrote it did not finish it."""


def events(path):
    """The events of a trace file, in order, as Event tuples. Raises Error
    for a file that cannot be read or a line that is no trace line; warns
    with CutTraceWarning when the trace has no end line."""
    why = ctypes.create_string_buffer(1024)
    reader = _lib.tv940_trace_open(os.fsencode(path), why, len(why))
    if not reader:
        raise Error(ERROR_TRACE, failure=why.value.decode("utf-8", "replace"))
    reader = ctypes.c_void_p(reader)
    event = TraceEvent()
    ended = ctypes.c_int32()
    event_ref, ended_ref = ctypes.byref(event), ctypes.byref(ended)
    next_event = _lib.tv940_trace_next
    try:
        while True:
            result = next_event(reader, event_ref, ended_ref)
            if result == 1:
                yield Event(KINDS[event.kind], event.where, event.value, event.line,
                            bool(event.in_chip))
            elif result == 0:
                if not ended.value:
                    warnings.warn(f"{os.fspath(path)}: the trace has no end line",
                                  CutTraceWarning, stacklevel=2)
                return
            else:
                failure = _lib.tv940_trace_failure(reader).decode("utf-8", "replace")
                raise Error(result, failure=failure)
    finally:
        _lib.tv940_trace_close(reader)
