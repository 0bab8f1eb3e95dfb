"""The trace document (build_trace) and its hand-over to the host store
(save_request_in_db), checked byte by byte with the independent msgpack package."""

import logging
import pathlib
import struct
import sys
import threading
import time
import types

import msgpack
import pytest

import tavo.db
import tavo.git
import tavo.plugins
import tavo.version
from conftest import Host, decode, profiling
from tavo import _tavo

# Every test here runs on both engines.
pytestmark = pytest.mark.usefixtures("engine")

THIS_FILE = pathlib.Path(__file__).name
DOCUMENT_KEYS = [
    b"\xb1command_line_args",
    b"\xb2current_commit_sha",
    b"\xa6frames",
    b"\xb2frames_of_interest",
    b"\xaemain_thread_id",
    b"\xa4meta",
    b"\xa9timestamp",
    b"\xa8trace_id",
]


# ---------------------------------------------------------------- helpers

def marker(label):
    return label


def raw_map(data):
    """The entries of the MessagePack map in `data` as (raw key, raw value)
    byte pairs, in their order; `data` must hold exactly that one map."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    entries = []
    for _ in range(unpacker.read_map_header()):
        start = unpacker.tell()
        unpacker.skip()
        middle = unpacker.tell()
        unpacker.skip()
        entries.append((data[start:middle], data[middle:unpacker.tell()]))
    assert unpacker.tell() == len(data), "bytes after the document's map"
    return entries


def raw_fields(document):
    """The document's values as raw bytes, by key text; checks header and key bytes."""
    assert document[0] == 0x88
    entries = raw_map(document)
    assert [key for key, _ in entries] == DOCUMENT_KEYS
    return {key[1:]: value for key, value in entries}  # all keys are fixstr


def summary(records, names=("marker",)):
    """Readable digest of records: "name:event:label" for frame records of
    `names`, the type of plugin records; other records are left out."""
    out = []
    for r in records:
        if "co_name" not in r:
            out.append(r["type"])
        elif r["co_name"] in names:
            label = r["locals"].get("label", "")
            out.append(f"{r['co_name']}:{r['event']}:{label}".rstrip(":"))
    return out


def marks(*labels):
    return [f"marker:{event}:{label}" for label in labels for event in ("call", "return")]


_REAL = object()


def register(host, monkeypatch, main_native_id=_REAL):
    """Registers `host` with threading.main_thread() reporting `main_native_id`
    (when given) and leaves the profiler installed on this thread."""
    with monkeypatch.context() as m:
        if main_native_id is not _REAL:
            m.setattr(threading, "main_thread",
                      lambda: types.SimpleNamespace(native_id=main_native_id))
        _tavo.register_profiler(host)
    return host.rust_profiler


class Store:
    """Stands in for tavo.db.save_trace_in_sqlite: keeps every call; raises
    `fail` from the first `fail_times` calls, after running `during`."""

    def __init__(self, fail=None, fail_times=1, during=None):
        self.calls, self.fail, self.fail_times, self.during = [], fail, fail_times, during

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail is not None and len(self.calls) <= self.fail_times:
            if self.during is not None:
                self.during()
            raise self.fail

    def document(self, index=-1):
        return decode(self.calls[index][1]["msgpack"])


@pytest.fixture
def store(monkeypatch):
    s = Store()
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", s)
    return s


def with_plugins(monkeypatch, *plugins):
    monkeypatch.setattr(tavo.plugins, "load_plugin_data", lambda config: [dict(p) for p in plugins])


def boundary_plugin(co_name, call_type, return_type):
    return {"co_names": [co_name], "path_fragment": THIS_FILE,
            "call_type": call_type, "return_type": return_type}


def begin_test():
    return None


def finish_test():
    return None


# ---------------------------------------------------------------- document bytes

def test_document_layout_and_meta(monkeypatch):
    monkeypatch.setattr(tavo.version, "__version__", "9.8.7-doc")
    host = Host(source="layout-src")
    with profiling(host) as profiler:
        marker("x")
    document = profiler.build_trace()
    assert document.startswith(b"\x88\xb1command_line_args")
    fields = raw_fields(document)
    assert fields[b"meta"] == (b"\x83\xa7version\xa99.8.7-doc\xa6source\xaalayout-src"
                               b"\xb4use_frame_boundaries\xc3")
    assert fields[b"main_thread_id"] == msgpack.packb(threading.main_thread().native_id)
    assert summary(decode(document)["frames_of_interest"]) == marks("x")


@pytest.mark.parametrize("argv, expected", [
    ([], b"\x90"),
    (["prog", "-v", "é"], b"\x93\xa4prog\xa2-v\xa2\xc3\xa9"),
    (["a" * 40], b"\x91\xd9\x28" + b"a" * 40),
])
def test_command_line_args_read_at_build_time(monkeypatch, argv, expected):
    profiler = register(Host(), monkeypatch)
    sys.setprofile(None)
    monkeypatch.setattr(sys, "argv", argv)
    assert raw_fields(profiler.build_trace())[b"command_line_args"] == expected


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("argv, expected", [
    (["prog", pathlib.Path("/tmp/in"), b"caf\xc3\xa9", 5, Unprintable(), "undecoded\udcff"],
     ["prog", "/tmp/in", "café", "5", "<unprintable Unprintable object>", "undecoded\ufffd"]),
    (None, []),  # deleted
    ("prog --flag", []),
    (("prog", "--flag"), []),
])
def test_command_line_args_of_any_form_never_fail_the_build(monkeypatch, argv, expected):
    with profiling(Host()) as profiler:
        marker("kept")
    if argv is None:
        monkeypatch.delattr(sys, "argv")
    else:
        monkeypatch.setattr(sys, "argv", argv)
    document = decode(profiler.build_trace())
    assert document["command_line_args"] == expected
    assert summary(document["frames_of_interest"]) == marks("kept")


@pytest.mark.parametrize("commit, expected", [
    (None, b"\xc0"),
    ("abc123", b"\xa6abc123"),
    ("f" * 40, b"\xd9\x28" + b"f" * 40),
])
def test_commit_sha(monkeypatch, commit, expected):
    profiler = register(Host(), monkeypatch)
    sys.setprofile(None)
    monkeypatch.setattr(tavo.git, "COMMIT_SHA", commit)
    assert raw_fields(profiler.build_trace())[b"current_commit_sha"] == expected


@pytest.mark.parametrize("native_id, expected", [
    (5, b"\x05"),
    (127, b"\x7f"),
    (200, b"\xcc\xc8"),
    (300, b"\xcd\x01\x2c"),
    (70000, b"\xce\x00\x01\x11\x70"),
    (1 << 40, b"\xcf\x00\x00\x01\x00\x00\x00\x00\x00"),
    (None, b"\xc0"),
])
def test_main_thread_id_smallest_form(monkeypatch, native_id, expected):
    profiler = register(Host(), monkeypatch, main_native_id=native_id)
    sys.setprofile(None)
    assert raw_fields(profiler.build_trace())[b"main_thread_id"] == expected


def test_timestamp_fixed_at_creation_and_equal_across_builds(monkeypatch):
    before = time.time()
    profiler = register(Host(), monkeypatch)
    after = time.time()
    sys.setprofile(None)
    first = raw_fields(profiler.build_trace())[b"timestamp"]
    second = raw_fields(profiler.build_trace())[b"timestamp"]
    assert first == second
    assert len(first) == 9 and first[0] == 0xCB
    assert before <= struct.unpack(">d", first[1:])[0] <= after


@pytest.mark.parametrize("trace_id, header", [
    ("trc_" + "0123456789ABCDEFGHJKMNPQRS", b"\xbe"),
    ("trc_" + "X" * 36, b"\xd9\x28"),
])
def test_trace_id_forms(monkeypatch, trace_id, header):
    profiler = register(Host(trace_id=trace_id), monkeypatch)
    sys.setprofile(None)
    assert raw_fields(profiler.build_trace())[b"trace_id"] == header + trace_id.encode()


def test_build_empties_buffers_and_keeps_trace_id():
    host = Host()
    with profiling(host) as profiler:
        marker("x")
    first = decode(profiler.build_trace())
    assert summary(first["frames_of_interest"]) == marks("x")
    again = profiler.build_trace()
    fields = raw_fields(again)
    assert fields[b"frames"] == b"\x80"
    assert fields[b"frames_of_interest"] == b"\x90"
    assert decode(again)["trace_id"] == first["trace_id"] == host.trace_id


def run_in_thread(target, *args):
    thread = threading.Thread(target=target, args=args)
    thread.start()
    thread.join()
    return thread


def test_other_threads_go_to_frames_under_their_native_id(monkeypatch):
    host = Host({"threading": True})
    profiler = register(host, monkeypatch)
    try:
        marker("main")
        worker = run_in_thread(marker, "worker")
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
    document = profiler.build_trace()
    frames = raw_map(raw_fields(document)[b"frames"])
    assert [key for key, _ in frames] == [msgpack.packb(worker.native_id)]
    decoded = decode(document)
    assert summary(decoded["frames"][worker.native_id]) == marks("worker")
    assert all(r["thread_native_id"] == worker.native_id for r in decoded["frames"][worker.native_id])
    assert summary(decoded["frames_of_interest"]) == marks("main")


def test_main_thread_records_go_to_frames_when_its_id_differs(monkeypatch):
    # main_thread() reports 200, so this thread's records are filed under its
    # own native id, written as the smallest uint.
    profiler = register(Host({"threading": True}), monkeypatch, main_native_id=200)
    marker("here")
    sys.setprofile(None)
    document = profiler.build_trace()
    fields = raw_fields(document)
    assert fields[b"main_thread_id"] == b"\xcc\xc8"
    own_id = threading.get_native_id()
    assert [key for key, _ in raw_map(fields[b"frames"])] == [msgpack.packb(own_id)]
    assert summary(decode(document)["frames"][own_id]) == marks("here")
    assert fields[b"frames_of_interest"] == b"\x90"


@pytest.mark.parametrize("breakage", ["commit_not_str", "version_missing", "version_not_str"])
@pytest.mark.parametrize("operation", ["build_trace", "save_request_in_db"])
def test_failed_host_lookup_leaves_buffers_intact(monkeypatch, store, breakage, operation):
    with profiling(Host()) as profiler:
        marker("kept")
    with monkeypatch.context() as m:
        if breakage == "commit_not_str":
            m.setattr(tavo.git, "COMMIT_SHA", b"abc")
            expected = pytest.raises(TypeError)
        elif breakage == "version_missing":
            m.delattr(tavo.version, "__version__")
            expected = pytest.raises(AttributeError)
        else:
            m.setattr(tavo.version, "__version__", 1)
            expected = pytest.raises(TypeError)
        with expected:
            getattr(profiler, operation)()
    assert store.calls == []
    assert summary(decode(profiler.build_trace())["frames_of_interest"]) == marks("kept")


# ---------------------------------------------------------------- saving

@pytest.mark.parametrize("config, timeout", [({}, 60), ({"sqlite_busy_timeout": 7}, 7)])
def test_store_call_arguments(store, tmp_path, config, timeout):
    db_path = tmp_path / "traces.sqlite3"
    host = Host(config, db_path=db_path)
    with profiling(host) as profiler:
        marker("saved")
    assert profiler.save_request_in_db() is None
    [(args, kwargs)] = store.calls
    assert args == (str(db_path), host.trace_id)
    assert type(args[0]) is str
    assert list(kwargs) == ["timeout", "msgpack"]
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int
    assert type(kwargs["msgpack"]) is bytes
    document = decode(kwargs["msgpack"])
    assert document["trace_id"] == host.trace_id
    assert summary(document["frames_of_interest"]) == marks("saved")


@pytest.mark.parametrize("first", ["save_request_in_db", "build_trace"])
def test_second_hand_over_is_empty_with_same_trace_id(store, first):
    host = Host()
    with profiling(host) as profiler:
        marker("once")
    getattr(profiler, first)()
    profiler.save_request_in_db()
    args, kwargs = store.calls[-1]
    assert args[1] == host.trace_id
    fields = raw_fields(kwargs["msgpack"])
    assert (fields[b"frames"], fields[b"frames_of_interest"]) == (b"\x80", b"\x90")
    assert fields[b"trace_id"] == msgpack.packb(host.trace_id)


def store_failure(monkeypatch, kind, during=None):
    """Breaks the host store in one of three ways; returns the expected error
    type and the Store (or None) that was installed."""
    if kind == "raises":
        failing = Store(fail=OSError("database is locked"), during=during)
        monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", failing)
        return OSError, failing
    if kind == "not_importable":
        monkeypatch.setitem(sys.modules, "tavo.db", None)
        return ImportError, None
    monkeypatch.delattr(tavo.db, "save_trace_in_sqlite")
    return AttributeError, None


@pytest.mark.parametrize("kind", ["raises", "not_importable", "no_store_function"])
@pytest.mark.parametrize("next_operation", ["save_request_in_db", "build_trace"])
def test_failed_store_puts_records_back_in_front(monkeypatch, kind, next_operation):
    host = Host()
    with profiling(host) as profiler:
        marker("a1")
        marker("a2")
        with monkeypatch.context() as m:
            error_type, failing = store_failure(m, kind)
            with pytest.raises(error_type) as raised:
                profiler.save_request_in_db()
        marker("b")
    if failing is not None:
        assert raised.value is failing.fail
    good = Store()
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", good)
    if next_operation == "build_trace":
        document = decode(profiler.build_trace())
    else:
        profiler.save_request_in_db()
        document = good.document()
    # The failing store ran (and was recorded) after the records were taken:
    # the put-back records come before its own.
    between = ["__call__:call", "__call__:return"] if kind == "raises" else []
    assert summary(document["frames_of_interest"], ("marker", "__call__")) == (
        marks("a1", "a2") + between + marks("b"))
    assert document["trace_id"] == host.trace_id


def test_failed_store_puts_each_threads_records_back(monkeypatch):
    ready, go, mid_done = threading.Event(), threading.Event(), threading.Event()
    mid = threading.Event()

    def worker():
        marker("t1")
        ready.set()
        mid.wait(10)
        marker("mid")
        mid_done.set()
        go.wait(10)
        marker("t2")

    def during():
        # Runs inside the store, after the document took the buffers.
        mid.set()
        mid_done.wait(10)

    host = Host({"threading": True})
    with profiling(host) as profiler:
        marker("a")
        thread = threading.Thread(target=worker)
        thread.start()
        assert ready.wait(10)
        with monkeypatch.context() as m:
            failing = Store(fail=RuntimeError("store down"), during=during)
            m.setattr(tavo.db, "save_trace_in_sqlite", failing)
            with pytest.raises(RuntimeError):
                profiler.save_request_in_db()
        go.set()
        thread.join(10)
    assert not thread.is_alive()
    assert failing.document()["frames"][thread.native_id]  # the failed document held them
    document = decode(profiler.build_trace())
    assert summary(document["frames"][thread.native_id]) == marks("t1", "mid", "t2")
    assert summary(document["frames_of_interest"]) == marks("a")


@pytest.mark.parametrize("reset_at", ["during_store", "after_failure"])
def test_test_boundary_drops_records_of_failed_save(monkeypatch, reset_at):
    with_plugins(monkeypatch, boundary_plugin("begin_test", "start_test", "begin_return"))
    host = Host(one_trace_per_test=True)
    failing = Store(fail=OSError("locked"), during=begin_test if reset_at == "during_store" else None)
    with profiling(host) as profiler:
        marker("old")
        with monkeypatch.context() as m:
            m.setattr(tavo.db, "save_trace_in_sqlite", failing)
            with pytest.raises(OSError):
                profiler.save_request_in_db()
        if reset_at == "after_failure":
            begin_test()
        marker("new")
    document = decode(profiler.build_trace())
    names = ("marker", "begin_test")
    assert summary(document["frames_of_interest"], names) == (
        ["start_test", "begin_test:call", "begin_test:return", "begin_return"] + marks("new"))
    assert document["trace_id"] != host.trace_id
    assert document["trace_id"].startswith("trc_") and len(document["trace_id"]) == 30


def test_failed_save_at_end_marker_is_logged_and_records_return(monkeypatch, caplog):
    with_plugins(monkeypatch, boundary_plugin("finish_test", "finish_call", "end_test"))
    host = Host(one_trace_per_test=True)
    error = OSError("database is locked")
    flaky = Store(fail=error)
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", flaky)
    with caplog.at_level(logging.WARNING, logger="tavo"):
        with profiling(host) as profiler:
            marker("a")
            finish_test()
            marker("b")
    warnings = [r for r in caplog.records if r.name == "tavo"]
    assert len(warnings) == 1 and warnings[0].levelno == logging.WARNING
    assert warnings[0].exc_info[1] is error
    assert summary(flaky.document(0)["frames_of_interest"], ("marker", "finish_test")) == (
        marks("a") + ["finish_call", "finish_test:call", "finish_test:return", "end_test"])
    profiler.save_request_in_db()
    assert len(flaky.calls) == 2
    assert summary(flaky.document()["frames_of_interest"], ("marker", "finish_test")) == (
        marks("a") + ["finish_call", "finish_test:call", "finish_test:return", "end_test"]
        + marks("b"))
    assert flaky.calls[1][0][1] == host.trace_id


def test_failed_save_at_end_marker_keeps_the_records_after_it(monkeypatch, caplog):
    # The marker is the call's plugin record; the frame's call record follows it.
    with_plugins(monkeypatch, boundary_plugin("finish_test", "end_test", "finish_return"))
    flaky = Store(fail=OSError("database is locked"))
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", flaky)
    with caplog.at_level(logging.WARNING, logger="tavo"):
        with profiling(Host(one_trace_per_test=True)) as profiler:
            marker("a")
            finish_test()
    assert len(flaky.calls) == 1
    document = decode(profiler.build_trace())
    assert summary(document["frames_of_interest"], ("marker", "finish_test")) == marks("a") + [
        "end_test", "finish_test:call", "finish_test:return", "finish_return"]


def test_end_marker_save_empties_buffers(store, monkeypatch):
    with_plugins(monkeypatch, boundary_plugin("finish_test", "finish_call", "end_test"))
    host = Host(one_trace_per_test=True)
    with profiling(host) as profiler:
        marker("a")
        finish_test()
        marker("b")
    [(args, kwargs)] = store.calls
    assert args[1] == host.trace_id
    assert summary(store.document()["frames_of_interest"], ("marker",)) == marks("a") + [
        "finish_call", "end_test"]
    document = decode(profiler.build_trace())
    assert summary(document["frames_of_interest"]) == marks("b")
    assert document["trace_id"] == host.trace_id
