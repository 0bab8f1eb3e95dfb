"""Registering the native profiler: the module's entry points, the profiler
type, installation on the calling thread and on later threads, and building the
profiler from the host object and its configuration."""

import importlib
import pathlib
import sys
import threading
import time
import types

import msgpack
import pytest

import tavo.db
import tavo.plugins
import tavo.serialize
from tavo import _tavo

from conftest import Host, decode, profiling, records_of


def marker(x=1):
    return x + 1


def marker_events(profiler):
    return [r["event"] for r in records_of(profiler.build_trace(), co_name="marker")]


def assert_refused(host, exc, match=None, before=None):
    """Registering `host` fails with `exc`, and nothing changes: the profiler
    already installed on this thread keeps recording, no threading hook is set
    and the host gets no `rust_profiler`."""
    sentinel = Host()
    _tavo.register_profiler(sentinel)
    try:
        if before is not None:
            before()
        with pytest.raises(exc, match=match) as info:
            _tavo.register_profiler(host)
        marker()
    finally:
        sys.setprofile(None)
    assert threading.getprofile() is None
    assert not hasattr(host, "rust_profiler")
    assert marker_events(sentinel.rust_profiler) == ["call", "return"]
    return info.value


@pytest.fixture
def store_calls(monkeypatch):
    calls = []
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite",
                        lambda *args, **kwargs: calls.append((args, kwargs)))
    return calls


# --- the module and its type -------------------------------------------------


def test_module_functions_and_profiler_type(host):
    assert _tavo.__doc__ == ""
    assert "TavoProfiler" not in vars(_tavo)
    assert _tavo.register_profiler(host) is None
    sys.setprofile(None)
    cls = type(host.rust_profiler)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("tavo._tavo", "TavoProfiler", "TavoProfiler")
    for args, kwargs in [((), {}), ((host,), {}), ((), {"config": {}})]:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls(*args, **kwargs)


@pytest.mark.parametrize("owner, name, signature", [
    (_tavo, "register_noop_profiler", "()"),
    (_tavo, "register_profiler", "(profiler)"),
    ("type", "save_request_in_db", "($self)"),
    ("type", "build_trace", "($self)"),
    ("type", "register_threading_profiler", "($self, _frame, _event, _arg)"),
])
def test_docstrings_carry_only_the_signature(host, owner, name, signature):
    if owner == "type":
        with profiling(host) as profiler:
            pass
        owner = type(profiler)
    function = getattr(owner, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None  # nothing after the signature line


def test_importing_twice_gives_the_same_module(monkeypatch):
    assert importlib.import_module("tavo._tavo") is _tavo
    monkeypatch.delitem(sys.modules, "tavo._tavo")
    assert importlib.import_module("tavo._tavo") is _tavo


@pytest.mark.parametrize("call, match", [
    (lambda p: _tavo.register_profiler(), r"register_profiler\(\).*'profiler'"),
    (lambda p: _tavo.register_profiler(Host(), Host()), r"register_profiler\(\)"),
    (lambda p: _tavo.register_profiler(prof=Host()), r"register_profiler\(\).*'profiler'"),
    (lambda p: _tavo.register_profiler(Host(), prof=1), r"register_profiler\(\)"),
    (lambda p: _tavo.register_profiler(Host(), profiler=Host()), r"register_profiler\(\)"),
    (lambda p: _tavo.register_noop_profiler(1), r"register_noop_profiler\(\)"),
    (lambda p: p.build_trace(1), r"build_trace\(\)"),
    (lambda p: p.save_request_in_db(None), r"save_request_in_db\(\)"),
    (lambda p: p.register_threading_profiler(1, 2), r"register_threading_profiler\(\).*'_arg'"),
    (lambda p: p.register_threading_profiler(1, 2, 3, 4), r"register_threading_profiler\(\)"),
    (lambda p: p.register_threading_profiler(1, 2, 3, arg=4), r"register_threading_profiler\(\)"),
])
def test_argument_errors(host, call, match):
    with profiling(host) as profiler:
        pass
    with pytest.raises(TypeError, match=match):
        call(profiler)


# --- installation --------------------------------------------------------------


@pytest.mark.parametrize("host", [{"config": {}}, object(), types.SimpleNamespace(**vars(Host()))])
def test_non_callable_host_is_refused(host):
    error = assert_refused(host, TypeError, "^profiler object is not callable$")
    assert type(error) is TypeError


def test_noop_profiler_records_nothing(engine):
    with profiling(Host()) as profiler:
        assert _tavo.register_noop_profiler() is None
        assert marker(4) == 5
    assert marker_events(profiler) == []


def test_second_registration_replaces_the_first():
    first, second = Host(), Host()
    _tavo.register_profiler(first)
    _tavo.register_profiler(profiler=second)
    marker()
    old = first.rust_profiler
    _tavo.register_profiler(first)  # the same host again: a fresh profiler
    assert first.rust_profiler is not old
    # a replaced profiler still records once installed again on this thread
    assert old.register_threading_profiler(_frame=None, _event=None, _arg=None) is None
    marker()
    sys.setprofile(None)
    assert marker_events(second.rust_profiler) == ["call", "return"]
    assert marker_events(old) == ["call", "return"]
    assert marker_events(first.rust_profiler) == []


def worker():
    return marker(10)


class Worker(threading.Thread):
    def run(self):
        worker()


@pytest.mark.parametrize("config", [
    {"threading": True}, {"threading": 1}, {"threading": "yes"}, {"threading": None}, {"threading": False}, {}])
def test_threading_hook(monkeypatch, config):
    received, first_events = [], []
    real_setprofile = threading.setprofile

    def capture(hook):
        if hook is None:  # the clean-up
            return real_setprofile(None)
        received.append(hook)

        def once(frame, event, arg):
            first_events.append(event)
            return hook(frame, event, arg)
        real_setprofile(once)

    monkeypatch.setattr(threading, "setprofile", capture)
    with profiling(Host(config)) as profiler:
        thread = Worker()
        thread.start()
        thread.join()
    doc = decode(profiler.build_trace())
    assert not [r for r in doc["frames_of_interest"] if r["co_name"] in ("run", "worker", "marker")]
    if config.get("threading") is not True:
        assert (received, first_events, doc["frames"]) == ([], [], {})
        return
    assert [(h.__self__, h.__name__) for h in received] == [(profiler, "register_threading_profiler")]
    assert len(first_events) == 1  # the hook replaced itself at the thread's first event
    records = doc["frames"][thread.native_id]
    assert [(r["co_name"], r["event"]) for r in records] == [
        ("run", "call"), ("worker", "call"), ("marker", "call"),
        ("marker", "return"), ("worker", "return"), ("run", "return")]
    assert {r["thread"] for r in records} == {thread.name}


class ConfigReadOnce(Host):
    """`config` can be read once; the second read raises."""

    config = property(lambda self: self.read_config(), lambda self, value: None)

    def read_config(self):
        self.config_reads = getattr(self, "config_reads", 0) + 1
        if self.config_reads > 1:
            raise RuntimeError("config read twice")
        return {"threading": True}


def refuse_setprofile(hook):
    if hook is not None:
        raise RuntimeError("setprofile refused")


@pytest.mark.parametrize("host, setprofile, message", [
    (ConfigReadOnce(), threading.setprofile, "config read twice"),
    (Host({"threading": True}), refuse_setprofile, "setprofile refused"),
])
def test_failure_after_installation_leaves_the_profiler_installed(monkeypatch, host, setprofile, message):
    monkeypatch.setattr(threading, "setprofile", setprofile)
    try:
        with pytest.raises(RuntimeError, match=message):
            _tavo.register_profiler(host)
        marker()
    finally:
        sys.setprofile(None)
    assert threading.getprofile() is None
    assert marker_events(host.rust_profiler) == ["call", "return"]


class ThreadingKeyRaises(dict):
    def __getitem__(self, key):
        raise RuntimeError("no item access")


def test_threading_lookup_error_is_discarded():
    host = Host(ThreadingKeyRaises(threading=True))
    with profiling(host) as profiler:
        assert threading.getprofile() is None
        marker()
    assert marker_events(profiler) == ["call", "return"]


# --- building the profiler from the host object -------------------------------


class Index:
    def __index__(self):
        return 7


class Failing:
    def __str__(self):
        raise ValueError("no text form")


class NotText:
    def __str__(self):
        return 5


class RaisingAttribute(Host):
    def __init__(self, name):
        super().__init__()
        self.raising = name

    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "raising"):
            raise LookupError(f"reading {name}")
        return object.__getattribute__(self, name)


class ReadOnlyHost(Host):
    def __setattr__(self, name, value):
        if name == "rust_profiler":
            raise AttributeError("read-only host")
        super().__setattr__(name, value)


def host_with(**changes):
    host = Host()
    for name, value in changes.items():
        if value is AttributeError:
            delattr(host, name)
        else:
            setattr(host, name, value)
    return host


@pytest.mark.parametrize("host, exc, match", [
    (host_with(config=AttributeError), AttributeError, "config"),
    (host_with(config=[("threading", True)]), TypeError, "cannot be converted to 'PyDict'"),
    (host_with(config=types.MappingProxyType({})), TypeError, "cannot be converted to 'PyDict'"),
    (host_with(config=None), TypeError, "cannot be converted to 'PyDict'"),
    (host_with(db_path=AttributeError), AttributeError, "db_path"),
    (host_with(db_path=Failing()), ValueError, "no text form"),
    (host_with(db_path=NotText()), TypeError, "__str__"),
    (host_with(one_trace_per_test=AttributeError), AttributeError, "one_trace_per_test"),
    (host_with(one_trace_per_test=1), TypeError, None),
    (host_with(one_trace_per_test=None), TypeError, None),
    (host_with(trace_id=AttributeError), AttributeError, "trace_id"),
    (host_with(trace_id=5), TypeError, None),
    (host_with(trace_id=b"trc_x"), TypeError, None),
    (host_with(source=AttributeError), AttributeError, "source"),
    (host_with(source=None), TypeError, None),
    (Host({"filters": {"include_frames": "src/"}}), TypeError, "^Can't extract `str` to `Vec`$"),
    (Host({"filters": {"ignore_frames": "src/"}}), TypeError, "^Can't extract `str` to `Vec`$"),
    (Host({"filters": {"include_frames": 5}}), TypeError, None),
    (Host({"filters": {"ignore_frames": ["a", 1]}}), TypeError, None),
    (Host({"filters": {"include_frames": None}}), TypeError, None),
    (Host({"sqlite_busy_timeout": -1}), OverflowError, None),
    (Host({"sqlite_busy_timeout": 2**64}), OverflowError, None),
    (Host({"sqlite_busy_timeout": None}), TypeError, None),
    (Host({"sqlite_busy_timeout": 1.5}), TypeError, None),
    (Host({"sqlite_busy_timeout": "60"}), TypeError, None),
    (Host({"threading": True, "sqlite_busy_timeout": -1}), OverflowError, None),
    (ReadOnlyHost({"threading": True}), AttributeError, "read-only host"),
] + [(RaisingAttribute(name), LookupError, f"reading {name}")
     for name in ("config", "db_path", "one_trace_per_test", "trace_id", "source")])
def test_construction_failures(host, exc, match):
    error = assert_refused(host, exc, match)
    assert type(error) is exc


def test_host_reads_in_order_with_timestamp_last(monkeypatch):
    log = []

    class Logging(Host):
        def __getattribute__(self, name):
            if name in ("config", "db_path", "one_trace_per_test", "trace_id", "source"):
                log.append((name, time.time()))
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            log.append(("set " + name, time.time()))
            object.__setattr__(self, name, value)

    def slow_load(config):
        time.sleep(0.02)
        log.append(("load_plugin_data", time.time()))
        return []

    monkeypatch.setattr(tavo.plugins, "load_plugin_data", slow_load)
    host = Logging()
    log.clear()
    with profiling(host) as profiler:
        pass
    assert [name for name, _ in log] == ["config", "load_plugin_data", "db_path", "one_trace_per_test",
                                         "trace_id", "source", "set rust_profiler", "config"]
    timestamp = decode(profiler.build_trace())["timestamp"]
    assert timestamp >= log[5][1] >= log[1][1]  # after plugin loading and the last host read


@pytest.mark.parametrize("config, timeout", [
    ({}, 60), ({"sqlite_busy_timeout": 0}, 0), ({"sqlite_busy_timeout": 2**64 - 1}, 2**64 - 1),
    ({"sqlite_busy_timeout": True}, 1), ({"sqlite_busy_timeout": Index()}, 7),
])
def test_store_call_gets_db_path_text_and_timeout(store_calls, config, timeout):
    host = Host(config, db_path=pathlib.Path("/data/traces") / "run.sqlite3")
    with profiling(host) as profiler:
        pass
    profiler.save_request_in_db()
    [(args, kwargs)] = store_calls
    assert args == ("/data/traces/run.sqlite3", host.trace_id)
    assert list(kwargs) == ["timeout", "msgpack"]
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int
    assert decode(kwargs["msgpack"])["trace_id"] == host.trace_id


def test_settings_are_copied_at_registration(store_calls):
    config = {"sqlite_busy_timeout": 5, "filters": {"ignore_frames": []}}
    host = Host(config, db_path="first.sqlite3", trace_id="trc_first", source="first")
    with profiling(host) as profiler:
        host.db_path, host.trace_id, host.source = "second.sqlite3", "trc_second", "second"
        config["sqlite_busy_timeout"] = 9
        config["filters"]["ignore_frames"].append("test_registration")
        marker()
    profiler.save_request_in_db()
    [(args, kwargs)] = store_calls
    assert args == ("first.sqlite3", "trc_first") and kwargs["timeout"] == 5
    doc = decode(kwargs["msgpack"])
    assert doc["meta"]["source"] == "first"
    assert [r["event"] for r in records_of(doc, co_name="marker")] == ["call", "return"]


@pytest.mark.parametrize("filters", [["include_frames"], 5, "text", None, {}, {"other": ["x"]}])
def test_filters_that_cannot_be_subscripted_count_as_absent(filters):
    host = Host({"filters": filters})
    with profiling(host) as profiler:
        marker()
    assert marker_events(profiler) == ["call", "return"]


@pytest.mark.parametrize("flag, serializer", [
    (True, "light"), (1, "full"), ("yes", "full"), (None, "full"), (False, "full"), ("absent", "full")])
def test_lightweight_repr_chooses_the_serializer(monkeypatch, flag, serializer):
    monkeypatch.setattr(tavo.serialize, "dump_msgpack", lambda obj: msgpack.packb("full"))
    monkeypatch.setattr(tavo.serialize, "dump_msgpack_lightweight_repr", lambda obj: msgpack.packb("light"))
    host = Host({} if flag == "absent" else {"lightweight_repr": flag})
    with profiling(host) as profiler:
        marker()
    records = records_of(profiler.build_trace(), co_name="marker")
    assert [(r["arg"], r["locals"]) for r in records] == [(serializer, serializer)] * 2


class NativeIdRaises:
    @property
    def native_id(self):
        raise KeyError("native id")


@pytest.mark.parametrize("main_thread, expected", [
    (types.SimpleNamespace, None),
    (lambda: types.SimpleNamespace(native_id=None), None),
    (lambda: types.SimpleNamespace(native_id=200), 200),
    (lambda: types.SimpleNamespace(native_id=2**64 - 1), 2**64 - 1),
    (lambda: types.SimpleNamespace(native_id="200"), TypeError),
    (lambda: types.SimpleNamespace(native_id=-1), OverflowError),
    (NativeIdRaises, KeyError),
    (lambda: 1 / 0, ZeroDivisionError),
])
def test_main_thread_id(monkeypatch, host, main_thread, expected):
    with monkeypatch.context() as patch:
        def patch_main_thread():
            patch.setattr(threading, "main_thread", main_thread)
        if isinstance(expected, type):
            assert_refused(host, expected, before=patch_main_thread)
            return
        patch_main_thread()
        _tavo.register_profiler(host)
        sys.setprofile(None)
    assert decode(host.rust_profiler.build_trace())["main_thread_id"] == expected


def _before_restore():
    return 1


def _after_restore():
    return 2


def test_a_saved_and_restored_profile_function_keeps_recording(host):
    # Code that saves the profile function and puts it back later installs the
    # native profiler object as a Python profile function.
    with profiling(host) as profiler:
        saved = sys.getprofile()
        assert saved is profiler
        sys.setprofile(None)
        _before_restore()
        sys.setprofile(saved)
        _after_restore()
        _after_restore()
    records = records_of(profiler.build_trace())
    names = [(r["co_name"], r["event"]) for r in records]
    assert "_before_restore" not in {name for name, _ in names}
    assert names.count(("_after_restore", "call")) == 2
    assert names.count(("_after_restore", "return")) == 2
    calls = [r["frame_id"] for r in records if r["co_name"] == "_after_restore" and r["event"] == "call"]
    returns = [r["frame_id"] for r in records if r["co_name"] == "_after_restore" and r["event"] == "return"]
    assert calls == returns and None not in calls
