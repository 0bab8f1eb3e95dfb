"""Small helpers used while a program is being profiled.

This module is one of tavo's own files, so the native filter never records
its frames: the plugin callables that run during profiling live here.
"""

import logging
import os
import sys
import time

# Crockford's base32: no I, L, O or U.
ULID_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_ulid(timestamp_ms=None):
    """Return a 26-character ULID: a 48-bit millisecond timestamp followed by
    80 random bits, in Crockford base32 (so ids sort by creation time)."""
    if timestamp_ms is None:
        timestamp_ms = time.time_ns() // 1_000_000
    if not 0 <= timestamp_ms < 1 << 48:
        raise ValueError("ULID timestamp must fit in 48 bits")
    value = (timestamp_ms << 80) | int.from_bytes(os.urandom(10), "big")
    chars = []
    for _ in range(26):
        chars.append(ULID_ALPHABET[value & 31])
        value >>= 5
    return "".join(reversed(chars))


def new_trace_id():
    return "trc_" + new_ulid()


def ulid_timestamp_ms(ulid):
    """The millisecond timestamp encoded in the first 10 characters of a ULID."""
    value = 0
    for char in ulid[:10]:
        value = value * 32 + ULID_ALPHABET.index(char)
    return value


def pytest_test_name(frame, event, arg, context):
    """Test-boundary plugin: name the test that pytest's runtestprotocol runs."""
    item = frame.f_locals.get("item")
    nodeid = getattr(item, "nodeid", None)
    return {"test_name": nodeid if isinstance(nodeid, str) else None}


def run_script_as_main(path: str) -> None:
    """Run a script file as Python itself would: in a fresh __main__ module,
    with an absolute __file__ and sys.argv left as given."""
    import runpy

    if not os.path.isfile(path):  # a directory or zip file with a __main__.py
        runpy.run_path(path, run_name="__main__")
        return
    import builtins
    import importlib.machinery
    import io
    import types

    path = os.path.abspath(path)
    with io.open_code(path) as file:
        code = compile(file.read(), path, "exec")
    module = types.ModuleType("__main__")
    module.__dict__.update(__file__=path, __builtins__=builtins, __cached__=None, __spec__=None,
                           __loader__=importlib.machinery.SourceFileLoader("__main__", path))
    saved_main = sys.modules["__main__"]
    sys.modules["__main__"] = module
    try:
        exec(code, module.__dict__)
    finally:
        sys.modules["__main__"] = saved_main


# Tool ids of the interpreter's monitoring API that no standard tool claims.
_EXCEPTION_TOOL_IDS = (4, 3)


def watch_exceptions(callback):
    """Hand every frame unwind (code, offset, exception) to ``callback``: the
    engine writes the exception record of a recorded call from it. Returns the
    tool id used, or None (with a warning) when every candidate id is taken."""
    monitoring = sys.monitoring
    for tool in _EXCEPTION_TOOL_IDS:
        try:
            monitoring.use_tool_id(tool, "tavo")
        except ValueError:
            continue
        monitoring.register_callback(tool, monitoring.events.PY_UNWIND, callback)
        monitoring.set_events(tool, monitoring.events.PY_UNWIND)
        return tool
    logging.getLogger("tavo").warning(
        "no free sys.monitoring tool id (tried %s): exceptions are not recorded",
        ", ".join(map(str, _EXCEPTION_TOOL_IDS)))
    return None


def unwatch_exceptions(tool):
    monitoring = sys.monitoring
    monitoring.set_events(tool, 0)
    monitoring.register_callback(tool, monitoring.events.PY_UNWIND, None)
    monitoring.free_tool_id(tool)
