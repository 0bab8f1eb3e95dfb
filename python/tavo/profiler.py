"""The host profiler object handed to the native engine, and the enable /
disable / context-manager API around it.

    with tavo.profile(db_path="tavo.sqlite3") as p:
        work()
    # the trace is now saved under p.trace_id

With ``db_path=None`` nothing is written: the trace document (MessagePack
bytes) is kept in ``p.trace`` instead.
"""

import os
import sys

from tavo import serialize
from tavo.utils import new_trace_id

DEFAULT_DB_PATH = "tavo.sqlite3"

_enabled = None  # the Profiler currently installed, if any


def make_config(config=None):
    """The full profiler configuration: defaults overridden by ``config``.

    Keys: "filters" ({"include_frames": [str], "ignore_frames": [str]}),
    "sqlite_busy_timeout" (seconds, int), "threading" (bool: also profile
    threads started while enabled), "lightweight_repr" (bool: keep value
    descriptions short), "values" ("safe": objects are described without running
    their code; "repr": by their repr()), "value_budget" (most encoded bytes per
    value, int). Other keys (such as "pytest") are passed on as given."""
    merged = {
        "filters": {"include_frames": [], "ignore_frames": []},
        "sqlite_busy_timeout": 60,
        "threading": False,
        "lightweight_repr": False,
        "values": "safe",
        "value_budget": serialize.DEFAULT_BUDGET,
    }
    for key, value in (config or {}).items():
        if key == "filters":
            merged["filters"] = {**merged["filters"], **value}
        else:
            merged[key] = value
    for name in ("include_frames", "ignore_frames"):
        fragments = merged["filters"][name]
        if isinstance(fragments, str) or not all(isinstance(f, str) for f in fragments):
            raise TypeError(f'config["filters"]["{name}"] must be a list of strings')
        merged["filters"][name] = list(fragments)
    timeout = merged["sqlite_busy_timeout"]
    if isinstance(timeout, bool) or not isinstance(timeout, int) or timeout < 0:
        raise TypeError('config["sqlite_busy_timeout"] must be a non-negative int (seconds)')
    for name in ("threading", "lightweight_repr"):
        if not isinstance(merged[name], bool):
            raise TypeError(f'config["{name}"] must be True or False')
    serialize.check_settings(merged["values"], merged["value_budget"])
    return merged


class Profiler:
    """A tracing profiler for the calling thread (and, with config
    ``{"threading": True}``, the threads it starts).

    ``enable()`` installs it, ``disable()`` removes it and saves the trace into
    the SQLite database at ``db_path``. Both must be called from the same thread.
    """

    def __init__(self, db_path=DEFAULT_DB_PATH, *, config=None, source="context-manager",
                 one_trace_per_test=False):
        self.config = make_config(config)
        # Absolute, so that a program changing directory still saves here.
        self.db_path = None if db_path is None else os.path.abspath(os.fspath(db_path))
        self.source = str(source)
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = new_trace_id()
        self.rust_profiler = None  # the native profiler, set at registration
        self.trace = None  # the document, when db_path is None
        self.enabled = False

    def __call__(self, *args, **kwargs):
        # The native engine does the recording; calling the host object does nothing.
        return None

    def enable(self):
        global _enabled
        if _enabled is not None:
            raise RuntimeError("a tavo profiler is already enabled")
        # Import everything the engine calls into before profiling starts.
        import tavo.db, tavo.git, tavo.plugins, tavo.serialize  # noqa: E401,F401

        try:
            from tavo import _tavo
        except ImportError as exc:
            raise ImportError(f"tavo's native module is not available: {exc}") from exc
        previous = serialize.configure(self.config["values"], self.config["value_budget"])
        try:
            _tavo.register_profiler(self)
        except BaseException:
            serialize.configure(**previous)
            raise
        self._previous_value_settings = previous
        self.enabled = True
        _enabled = self
        return self

    def disable(self):
        """Stop profiling and save the trace. Returns the trace document
        (MessagePack bytes) when db_path is None, else None.

        With one_trace_per_test, each test's trace was saved when the test
        ended; what was recorded after the last test is dropped."""
        global _enabled
        if not self.enabled:
            return None
        import threading

        if self.config["threading"]:
            threading.setprofile_all_threads(None)
        else:
            sys.setprofile(None)
            threading.setprofile(None)
        self.enabled = False
        _enabled = None
        serialize.configure(**self._previous_value_settings)
        if self.one_trace_per_test:
            self.rust_profiler.build_trace()
            return None
        if self.db_path is None:
            self.trace = self.rust_profiler.build_trace()
            return self.trace
        self.rust_profiler.save_request_in_db()
        return None

    def __enter__(self):
        return self.enable()

    def __exit__(self, *exc_info):
        self.disable()
        return False


def profile(db_path=DEFAULT_DB_PATH, *, config=None, source="context-manager"):
    """A Profiler to use as a context manager: ``with tavo.profile() as p: ...``."""
    return Profiler(db_path, config=config, source=source)
