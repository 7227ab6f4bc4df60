"""Finds and loads libtv940-boardlib.so.1 and declares its C functions."""

import ctypes
import os

LIBRARY_NAME = "libtv940-boardlib.so.1"


def _candidates():
    """Where the library may be, in the order looked at."""
    here = os.path.dirname(os.path.abspath(__file__))
    places = []
    explicit = os.environ.get("TV940_LIBRARY")
    if explicit:
        places.append(("TV940_LIBRARY", explicit))
    # Installed: the library is copied next to the package.
    places.append(("next to the package", os.path.join(here, LIBRARY_NAME)))
    # Run from the source tree: the default build's lib/ folder.
    source = os.path.dirname(os.path.dirname(here))
    places.append(("the build tree", os.path.join(source, "build", "lib", LIBRARY_NAME)))
    # Installed by the project's shared build: the dynamic loader's search.
    places.append(("the loader's search path", LIBRARY_NAME))
    return places


def load():
    """The loaded library; ImportError naming every place looked at."""
    looked = []
    for where, path in _candidates():
        if os.path.isfile(path) or (os.sep not in path and where != "TV940_LIBRARY"):
            try:
                return _declare(ctypes.CDLL(path)), path
            except OSError as error:
                looked.append(f"{path} ({where}): {error}")
                if where == "TV940_LIBRARY":
                    break
        else:
            looked.append(f"{path} ({where}): not there")
            if where == "TV940_LIBRARY":
                # An explicit choice is never silently replaced.
                break
    raise ImportError(
        f"tv940: cannot load {LIBRARY_NAME}; looked at: " + "; ".join(looked)
        + ". Set TV940_LIBRARY to the library's path."
    )


class TraceEvent(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int32),
        ("where", ctypes.c_uint32),
        ("value", ctypes.c_uint32),
        ("in_chip", ctypes.c_int32),
        ("line", ctypes.c_uint64),
    ]


def _declare(lib):
    c = ctypes
    board = c.c_void_p
    u32p = c.POINTER(c.c_uint32)
    signatures = {
        "tv940_open": (c.c_void_p, [c.c_char_p, c.c_char_p, c.c_size_t]),
        "tv940_close": (None, [board]),
        "tv940_error_message": (c.c_char_p, [c.c_int32]),
        "tv940_last_failure": (c.c_char_p, [board]),
        "tv940_finish_trace": (c.c_char_p, []),
        "tv940_write_chip": (c.c_int32, [board, c.c_uint32, c.c_uint32]),
        "tv940_read_chip": (c.c_int32, [board, c.c_uint32, u32p]),
        "tv940_write_chip_via_driver": (c.c_int32, [board, c.c_uint32, c.c_uint32]),
        "tv940_read_chip_via_driver": (c.c_int32, [board, c.c_uint32, u32p]),
        "tv940_write_chip_block": (c.c_int32, [board, c.c_uint32, c.c_void_p, c.c_size_t, c.c_uint32]),
        "tv940_read_chip_block": (c.c_int32, [board, c.c_uint32, c.c_void_p, c.c_size_t, c.c_uint32]),
        "tv940_read_chip_block_via_driver": (
            c.c_int32, [board, c.c_uint32, c.c_void_p, c.c_size_t, c.c_uint32]),
        "tv940_write_user_register": (c.c_int32, [board, c.c_int32, c.c_uint32]),
        "tv940_read_user_register": (c.c_int32, [board, c.c_int32, u32p]),
        "tv940_write_port": (c.c_int32, [board, c.c_uint32, c.c_uint32]),
        "tv940_read_port": (c.c_int32, [board, c.c_uint32, u32p]),
        "tv940_set_clock": (c.c_int32, [board, c.c_float, c.c_float, c.POINTER(c.c_float)]),
        "tv940_load_configuration": (c.c_int32, [board, c.c_char_p]),
        "tv940_load_failure_line": (c.c_int32, [board, c.POINTER(c.c_uint64)]),
        "tv940_set_bus_width": (c.c_int32, [board, c.c_int32]),
        "tv940_get_bus_width": (c.c_int32, [board, c.POINTER(c.c_int32)]),
        "tv940_set_masks": (c.c_int32, [board, c.c_uint32, c.c_uint32]),
        "tv940_get_masks": (c.c_int32, [board, u32p, u32p]),
        "tv940_write_control_c008": (c.c_int32, [board, c.c_uint32]),
        "tv940_read_control_c008": (c.c_int32, [board, u32p]),
        "tv940_read_config_block": (c.c_int32, [board, c.c_void_p, c.c_size_t]),
        "tv940_get_io_base": (c.c_int32, [board, c.POINTER(c.c_uint16)]),
        "tv940_last_interrupt": (c.c_int32, [board, u32p, c.POINTER(c.c_uint64)]),
        "tv940_wait_interrupt": (c.c_int32, [board, c.c_uint32, u32p]),
        "tv940_trace_open": (c.c_void_p, [c.c_char_p, c.c_char_p, c.c_size_t]),
        "tv940_trace_next": (c.c_int32, [c.c_void_p, c.POINTER(TraceEvent), c.POINTER(c.c_int32)]),
        "tv940_trace_failure": (c.c_char_p, [c.c_void_p]),
        "tv940_trace_close": (None, [c.c_void_p]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib
