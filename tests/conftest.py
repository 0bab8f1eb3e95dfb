"""Shared helpers: a host profiler object, registration that always cleans up,
and decoding of trace documents with the independent msgpack decoder."""

import contextlib
import os
import signal
import sys
import threading

import msgpack
import pytest

from tavo import _tavo

# A suite started in the background by a shell without job control inherits SIGINT
# ignored, and so would every program its tests start: those that check how an
# interrupt ends a program need it at its default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The engine the Host objects of a test use: "profile" unless the test asks for
# the `engine` fixture, which runs it on each engine.
ENGINES = ("profile", "monitoring")
engine_in_use = "profile"


class Host:
    """A minimal host profiler object, as the host package hands to the module."""

    def __init__(self, config=None, *, db_path="unused.sqlite3", one_trace_per_test=False,
                 trace_id="trc_01HF7YAT00AAAAAAAAAAAAAAAA", source="tests"):
        self.config = {} if config is None else config
        if engine_in_use != "profile" and type(self.config) is dict and "engine" not in self.config:
            self.config = {**self.config, "engine": engine_in_use}
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args):
        return None


@contextlib.contextmanager
def profiling(host):
    """Registers `host` on this thread for the block; yields the native profiler."""
    _tavo.register_profiler(host)
    try:
        yield host.rust_profiler
    finally:
        _tavo.unregister_profiler()
        sys.setprofile(None)
        threading.setprofile(None)


def decode(document):
    return msgpack.unpackb(document, strict_map_key=False, raw=False)


def records_of(document, *, co_name=None, kind=None):
    """The records of a decoded or encoded document's frames_of_interest, filtered."""
    doc = decode(document) if isinstance(document, bytes) else document
    out = []
    for record in doc["frames_of_interest"]:
        if co_name is not None and record.get("co_name") != co_name:
            continue
        if kind is not None and record.get("type") != kind:
            continue
        out.append(record)
    return out


@pytest.fixture
def host():
    return Host()


@pytest.fixture(params=ENGINES)
def engine(request):
    """Runs the test once per engine: the Host objects it makes use that engine."""
    global engine_in_use
    engine_in_use = request.param
    try:
        yield request.param
    finally:
        engine_in_use = "profile"


@pytest.fixture(params=[signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def ending_signal(request):
    """The signals that end a process by default, at which tavo saves first."""
    if signal.getsignal(request.param) is signal.SIG_IGN:
        pytest.skip(f"this run ignores {request.param.name} (nohup), as do the programs it starts")
    return request.param


@pytest.fixture(autouse=True)
def _no_profiler_left_behind():
    yield
    _tavo.unregister_profiler()
    sys.setprofile(None)
    threading.setprofile(None)


@pytest.fixture
def in_tmp_cwd(tmp_path):
    old = os.getcwd()
    os.chdir(tmp_path)
    try:
        yield tmp_path
    finally:
        os.chdir(old)


from postgres_server import postgres, postgres_url, store_location  # noqa: E402,F401
