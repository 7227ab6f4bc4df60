"""Scripted access to the TV940 card: boardlib's C interface through ctypes.

    import tv940
    with tv940.Board("sim") as b:
        b.write_chip(tv940.chip_address(row=0, column=2), 0x1234)

Every call releases the GIL (ctypes does), so a clock setting's wait or an
interrupt wait lets other Python threads run. Failures raise tv940.Error.
"""

import array
import ctypes
import math
import os
import threading

from ._library import load as _load
from ._version import __version__

_lib, library_path = _load()

__all__ = ["Board", "Error", "chip_address", "error_message", "trace", "__version__",
           "library_path"]

ERROR_HANDLE = -20
ERROR_ARGUMENT = -21
ERROR_TRACE = -22
CONFIG_BLOCK_SIZE = 148
_WHY_SIZE = 1024


def error_message(code):
    """The library's text for an error code."""
    return _lib.tv940_error_message(int(code)).decode("utf-8", "replace")


class Error(Exception):
    """A failure of the card or the library: .code (negative), .message (the
    code's text), .failure (what went wrong, in full) and .line (the line of
    a configuration file that failed to load, else 0)."""

    def __init__(self, code, message=None, line=0, failure=""):
        self.code = code
        self.message = message if message is not None else error_message(code)
        self.line = line
        self.failure = failure
        text = f"{self.message} ({code})"
        if failure:
            text += f": {failure}"
        super().__init__(text)


def chip_address(row=0, column=0, column_offset=0, mode=0):
    """The 16-bit chip address of a row (0-63), column (0-63), column
    offset (0-3) and mode (0-3)."""
    for name, value, limit in (("row", row, 64), ("column", column, 64),
                               ("column_offset", column_offset, 4), ("mode", mode, 4)):
        if not 0 <= value < limit:
            raise ValueError(f"{name} {value} is not 0 to {limit - 1}")
    return row | column_offset << 6 | column << 8 | mode << 14


_write_chip = _lib.tv940_write_chip
_read_chip = _lib.tv940_read_chip

# One trace per process: the library writes the first one asked for.
_trace_lock = threading.Lock()
_trace_path = None


def _words_of(words):
    """A ctypes-addressable view of 32-bit words and its count; a copy only
    for a read-only buffer or a sequence of ints."""
    try:
        view = memoryview(words)
    except TypeError:
        view = memoryview(array.array("I", words))
    if view.itemsize != 4 or not view.c_contiguous:
        raise ValueError("the words must be a contiguous buffer of 32-bit items")
    count = view.nbytes // 4
    if count == 0:
        return None, 0, view
    if view.readonly:
        buffer = (ctypes.c_uint32 * count).from_buffer_copy(view)
    else:
        buffer = (ctypes.c_uint32 * count).from_buffer(view.cast("B"))
    return buffer, count, view


class Board:
    """One open card. device: "sim", a PCI address, a device directory; None:
    TV940_DEVICE or the default. trace: a file for the run's trace, as
    TV940_TRACE (one per process). A closed Board raises Error."""

    def __init__(self, device=None, trace=None):
        global _trace_path
        self._handle = None
        self._trace = trace
        why = ctypes.create_string_buffer(_WHY_SIZE)
        name = None if device is None else os.fsencode(device)
        with _trace_lock:
            if trace is not None:
                trace = os.fspath(trace)
                if _trace_path is not None and _trace_path != trace:
                    raise Error(ERROR_TRACE, failure=(
                        f"this process traces to {_trace_path}; a trace to {trace} "
                        "needs a process of its own"))
                previous = os.environ.get("TV940_TRACE")
                os.environ["TV940_TRACE"] = trace
            try:
                handle = _lib.tv940_open(name, why, _WHY_SIZE)
            finally:
                if trace is not None:
                    if previous is None:
                        del os.environ["TV940_TRACE"]
                    else:
                        os.environ["TV940_TRACE"] = previous
            if handle and trace is not None:
                _trace_path = trace
        if not handle:
            raise Error(-5, failure=why.value.decode("utf-8", "replace"))
        self._handle = ctypes.c_void_p(handle)

    # ---- Connection --------------------------------------------------------

    def close(self):
        """Closes the card (again: nothing); with a trace, writes out its rest
        and raises Error when it could not be written whole."""
        handle, self._handle = self._handle, None
        if handle is None:
            return
        _lib.tv940_close(handle)
        if self._trace is not None:
            why = _lib.tv940_finish_trace().decode("utf-8", "replace")
            if why:
                raise Error(ERROR_TRACE, failure=why)

    @property
    def closed(self):
        return self._handle is None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        try:
            self.close()
        except Error:
            if kind is None:
                raise
        return False

    def __del__(self):
        # A Board dropped without close() still frees its card.
        handle = getattr(self, "_handle", None)
        if handle is not None and _lib is not None:
            self._handle = None
            _lib.tv940_close(handle)

    def _check(self, code):
        if code >= 0:
            return code
        handle = self._handle
        if handle is None:
            raise Error(ERROR_HANDLE, failure="the board is closed")
        failure = _lib.tv940_last_failure(handle).decode("utf-8", "replace")
        line = ctypes.c_uint64(0)
        if code == -7:
            _lib.tv940_load_failure_line(handle, ctypes.byref(line))
        raise Error(code, line=line.value, failure=failure)

    def _call(self, function, *arguments):
        return self._check(function(self._handle, *arguments))

    def _read32(self, function, *arguments):
        value = ctypes.c_uint32()
        self._call(function, *arguments, ctypes.byref(value))
        return value.value

    @property
    def last_failure(self):
        """The last failure on this Board, or the card's failed accesses."""
        if self._handle is None:
            return "the board is closed"
        return _lib.tv940_last_failure(self._handle).decode("utf-8", "replace")

    # ---- Chip words ----------------------------------------------------------

    # The single-word calls take the shortest path: they are the ones in
    # loops.
    def write_chip(self, address, value):
        code = _write_chip(self._handle, address, value)
        if code:
            self._check(code)

    def read_chip(self, address):
        value = ctypes.c_uint32()
        code = _read_chip(self._handle, address, ctypes.byref(value))
        if code:
            self._check(code)
        return value.value

    def write_chip_via_driver(self, address, value):
        self._call(_lib.tv940_write_chip_via_driver, address, value)

    def read_chip_via_driver(self, address):
        return self._read32(_lib.tv940_read_chip_via_driver, address)

    def write_chip_block(self, address, words):
        """Writes a buffer of 32-bit words (array('I'), a numpy uint32 array,
        ...) or a sequence of ints from chip address `address` up."""
        buffer, count, _ = _words_of(words)
        self._call(_lib.tv940_write_chip_block, address, buffer, count, count)

    def read_chip_block(self, address, count, numpy=False, via_driver=False):
        """count words from chip address `address` up: an array('I'), or a
        numpy uint32 array with numpy=True."""
        if numpy:
            import numpy as np
            result = np.empty(count, dtype=np.uint32)
            pointer = result.ctypes.data_as(ctypes.c_void_p)
        else:
            result = array.array("I", bytes(4 * count))
            pointer = result.buffer_info()[0] if count else None
        function = _lib.tv940_read_chip_block_via_driver if via_driver \
            else _lib.tv940_read_chip_block
        self._call(function, address, pointer, count, count)
        return result

    # ---- User registers and control ports ---------------------------------

    def write_user_register(self, column, value):
        self._call(_lib.tv940_write_user_register, column, value)

    def read_user_register(self, column):
        return self._read32(_lib.tv940_read_user_register, column)

    def write_port(self, offset, value):
        """A control port by its offset from the I/O base (0 to 63)."""
        self._call(_lib.tv940_write_port, offset, value)

    def read_port(self, offset):
        return self._read32(_lib.tv940_read_port, offset)

    # ---- Clock, configuration, bus width ------------------------------------

    def set_clock(self, reference, wanted):
        """Programs the synthesizer (MHz); the frequency reached."""
        reached = ctypes.c_float()
        self._call(_lib.tv940_set_clock, reference, wanted, ctypes.byref(reached))
        return reached.value

    def load_configuration(self, path):
        self._call(_lib.tv940_load_configuration, os.fsencode(path))

    def set_bus_width(self, width):
        self._call(_lib.tv940_set_bus_width, width)

    @property
    def bus_width(self):
        width = ctypes.c_int32()
        self._call(_lib.tv940_get_bus_width, ctypes.byref(width))
        return width.value

    # ---- Masks, C008, configuration block, I/O base ----------------------------

    def set_masks(self, c010, c014):
        self._call(_lib.tv940_set_masks, c010, c014)

    def get_masks(self):
        c010, c014 = ctypes.c_uint32(), ctypes.c_uint32()
        self._call(_lib.tv940_get_masks, ctypes.byref(c010), ctypes.byref(c014))
        return c010.value, c014.value

    def write_control_c008(self, value):
        self._call(_lib.tv940_write_control_c008, value)

    def read_control_c008(self):
        return self._read32(_lib.tv940_read_control_c008)

    def read_config_block(self):
        """The configuration block (148 bytes), asked of the driver again."""
        block = ctypes.create_string_buffer(CONFIG_BLOCK_SIZE)
        self._call(_lib.tv940_read_config_block, block, CONFIG_BLOCK_SIZE)
        return block.raw

    @property
    def io_base(self):
        base = ctypes.c_uint16()
        self._call(_lib.tv940_get_io_base, ctypes.byref(base))
        return base.value

    # ---- Interrupts ------------------------------------------------------------

    def last_interrupt(self):
        """(word, count): the last interrupt word and how many came."""
        word, count = ctypes.c_uint32(), ctypes.c_uint64()
        self._call(_lib.tv940_last_interrupt, ctypes.byref(word), ctypes.byref(count))
        return word.value, count.value

    def wait_interrupt(self, timeout=None):
        """The word of the next interrupt, or None after timeout seconds
        (None: no limit). Other threads' calls on this Board go on."""
        word = ctypes.c_uint32()
        chunk = 0xFFFFFFFF - 1
        left = None if timeout is None else max(0, math.ceil(timeout * 1000))
        while True:
            step = chunk if left is None else min(left, chunk)
            handle = self._handle
            if handle is None:
                raise Error(ERROR_HANDLE, failure="the board is closed")
            result = _lib.tv940_wait_interrupt(handle, step, ctypes.byref(word))
            if result == 1:
                return word.value
            self._check(result)
            if left is not None:
                left -= step
                if left <= 0:
                    return None


from . import trace  # noqa: E402  (uses Error and the library)
