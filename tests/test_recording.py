"""Frame event records as the profiler writes them for real profiled code:
byte layout, frame ids, call sites, qualified names, paths, serializer output
and error reporting. Documents are read back with the independent msgpack
package; raw record bytes are sliced out of the document with its Unpacker."""

import builtins
import inspect
import logging
import os
import re
import subprocess
import sys
import threading
import time
import types
from pathlib import Path
from typing import NamedTuple

import msgpack
import pytest

import tavo.db
import tavo.plugins
import tavo.serialize
from conftest import Host, decode, profiling
from tavo import _tavo

# Every test here runs on both engines.
pytestmark = pytest.mark.usefixtures("engine")

KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
        "thread_native_id", "timestamp", "type", "user_code_call_site"]
LOG_FORMAT = ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
              "    event: %s\n    frame locals: %s\n")
ULID_RE = re.compile(r"[0-7][0-9A-HJKMNP-TV-Z]{25}")
CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


# ---------------------------------------------------------------- helpers

class Record(NamedTuple):
    value: dict     # decoded
    raw: bytes      # the record's own bytes inside the document
    fields: list    # (key, raw bytes of the value), in written order

    def field(self, key):
        return dict(self.fields)[key]


def _slice_values(unpacker, data, count):
    out = []
    for _ in range(count):
        start = unpacker.tell()
        unpacker.skip()
        out.append(data[start:unpacker.tell()])
    return out


def raw_lists(document):
    """{"frames_of_interest": [record bytes], "frames": {native id: [record bytes]}}."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(document)
    out = {"frames_of_interest": [], "frames": {}}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            out[key] = _slice_values(unpacker, document, unpacker.read_array_header())
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                thread = unpacker.unpack()
                out["frames"][thread] = _slice_values(unpacker, document, unpacker.read_array_header())
        else:
            unpacker.skip()
    return out


def parse_record(raw):
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(raw)
    fields = []
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        fields.append((key, _slice_values(unpacker, raw, 1)[0]))
    assert unpacker.tell() == len(raw)
    return Record(decode(raw), raw, fields)


def all_records(document):
    lists = raw_lists(document)
    raws = list(lists["frames_of_interest"])
    for thread_raws in lists["frames"].values():
        raws += thread_raws
    return [parse_record(raw) for raw in raws]


def frame_records(document, co_names=None):
    """Frame records of every buffer, optionally only those of some functions."""
    return [r for r in all_records(document) if r.value.get("type") == "frame"
            and (co_names is None or r.value["co_name"] in co_names)]


def line_of(func, text):
    """The line number of the first line of `func` containing `text`."""
    lines, first = inspect.getsourcelines(func)
    return first + next(i for i, line in enumerate(lines) if text in line)


def call_site_bytes(frame_id, line):
    return (b"\x82" + msgpack.packb("call_frame_id") + msgpack.packb(frame_id)
            + msgpack.packb("line_number") + msgpack.packb(line))


def expected_path(filename, line):
    path, cwd = Path(filename), Path.cwd()
    return f"{path.relative_to(cwd) if path.is_relative_to(cwd) else path}:{line}"


def ulid_millis(text):
    value = 0
    for char in text[:10]:
        value = value * 32 + CROCKFORD.index(char)
    return value


def user_module(filename, source, name="user_mod"):
    """Runs `source` as a module whose code lives in `filename` (recorded as user
    code), unprofiled; returns its namespace."""
    namespace = {"__name__": name}
    exec(compile(source, str(filename), "exec"), namespace)
    return namespace


def tavo_warnings(caplog):
    return [r for r in caplog.records if r.name == "tavo"]


# ---------------------------------------------------------------- profiled code

def leaf(value):
    doubled = value * 2
    return doubled


def branch(value):
    total = leaf(value)
    return total + 1


def start_profiling_here(host):
    _tavo.register_profiler(host)
    marker = "inside"
    return 42


def poisoned(poison):
    return "fine"


def fragile_inner():
    return 1


def fragile_middle(fail_here):
    value = fragile_inner()
    return value


def fragile_outer():
    fragile_middle(True)
    fragile_inner()
    return 0


def via_library(library_call):
    return library_call(callee)


def callee():
    return 10


def counter():
    yield 1
    yield 2


def consume():
    return list(counter())


def raises_inside():
    local_value = "x"
    raise ValueError("boom")


def catches():
    try:
        raises_inside()
    except ValueError:
        return "caught"


def explodes(explode, shown=None):
    return "survived"


def uses_builtins_and_exceptions(items):
    size = len(items)
    try:
        {}["missing"]
    except KeyError:
        pass
    sorted(items)
    return size


def snapshot_target(probe):
    after = probe
    return after


# ---------------------------------------------------------------- record layout

def test_records_have_the_fixed_byte_layout(host):
    before = time.time()
    with profiling(host) as profiler:
        assert branch(3) == 7
        document = profiler.build_trace()
    after = time.time()
    records = frame_records(document, {"branch", "leaf"})
    assert [(r.value["co_name"], r.value["event"]) for r in records] == [
        ("branch", "call"), ("leaf", "call"), ("leaf", "return"), ("branch", "return")]
    for r in records:
        assert r.raw.startswith(bytes.fromhex("8c a4 70 61 74 68"))
        assert [key for key, _ in r.fields] == KEYS
        assert r.field("type") == b"\xa5frame"
        assert r.field("event") == msgpack.packb(r.value["event"])
        assert r.field("thread") == msgpack.packb(threading.current_thread().name)
        assert r.field("thread_native_id") == msgpack.packb(threading.get_native_id())
        stamp = r.field("timestamp")
        assert stamp[0] == 0xcb and len(stamp) == 9
        assert before - 0.01 <= r.value["timestamp"] <= after + 0.01
        frame_id = r.value["frame_id"]
        assert r.field("frame_id")[:1] == b"\xbe" and frame_id.startswith("frm_")
        assert ULID_RE.fullmatch(frame_id[4:]) and not set("ILOU") & set(frame_id[4:])
        assert int(before * 1000) - 1 <= ulid_millis(frame_id[4:]) <= int(after * 1000) + 1
        assert r.value["qualname"] == f"{__name__}.{r.value['co_name']}"
    branch_call, leaf_call, leaf_return, branch_return = records
    assert branch_call.value["frame_id"] == branch_return.value["frame_id"]
    assert leaf_call.value["frame_id"] == leaf_return.value["frame_id"] != branch_call.value["frame_id"]
    # The test function was called before profiling began: no enclosing frame.
    assert branch_call.field("user_code_call_site") == b"\xc0"
    assert branch_return.field("user_code_call_site") == b"\xc0"
    site = call_site_bytes(branch_call.value["frame_id"], line_of(branch, "leaf(value)"))
    assert leaf_call.field("user_code_call_site") == site
    assert leaf_return.field("user_code_call_site") == site
    assert leaf_call.field("arg") == b"\xc0" and leaf_call.value["locals"] == {"value": 3}
    assert leaf_return.value["arg"] == 6 and leaf_return.value["locals"] == {"value": 3, "doubled": 6}
    assert leaf_call.value["path"] == expected_path(__file__, leaf.__code__.co_firstlineno)
    assert leaf_return.value["path"] == expected_path(__file__, line_of(leaf, "return doubled"))


def test_return_without_recorded_call_has_nil_frame_id():
    host = Host()
    try:
        assert start_profiling_here(host) == 42
        document = host.rust_profiler.build_trace()
    finally:
        sys.setprofile(None)
    [record] = frame_records(document, {"start_profiling_here"})
    assert record.value["event"] == "return" and record.value["arg"] == 42
    assert len(record.fields) == 12 and record.raw[0] == 0x8c
    assert record.field("frame_id") == b"\xc0"
    assert record.field("user_code_call_site") == b"\xc0"
    assert record.value["locals"]["marker"] == "inside"


class FakeThread:
    name = "fake-thread"


@pytest.mark.parametrize("native_id, encoded", [
    ("absent", b"\xc0"), (None, b"\xc0"), (5, b"\x05"), (200, b"\xcc\xc8"),
    (70000, b"\xce\x00\x01\x11\x70"), (2**40, b"\xcf\x00\x00\x01\x00\x00\x00\x00\x00"),
])
def test_thread_native_id_forms(monkeypatch, native_id, encoded):
    fake = FakeThread()
    if native_id != "absent":
        fake.native_id = native_id
    with monkeypatch.context() as patch:
        patch.setattr(threading, "current_thread", lambda: fake)
        with profiling(Host({"threading": True})) as profiler:
            leaf(1)
            document = profiler.build_trace()
    records = frame_records(document, {"leaf"})
    assert len(records) == 2
    for r in records:
        assert r.field("thread_native_id") == encoded and r.value["thread"] == "fake-thread"
    # With threading on, a thread without a native id lands among the main records.
    elsewhere = [r for r in decode(document)["frames"].get(native_id, []) if r["co_name"] == "leaf"]
    assert elsewhere == ([] if native_id in ("absent", None) else [r.value for r in records])


# ---------------------------------------------------------------- serializer output

@pytest.mark.parametrize("fixed", [
    b"\x90", b"\x93\x01\x02\x03", b"\xc0", b"\xd4\x01\x02", b"\xdc\x00\x01\x05",
    b"\x82\xa1a\x91\xc3\xa1b\xc4\x01\x00",
])
@pytest.mark.parametrize("container", [bytes, list, bytearray])
def test_arg_and_locals_are_the_serializer_bytes_verbatim(host, monkeypatch, fixed, container):
    monkeypatch.setattr(tavo.serialize, "dump_msgpack", lambda obj: container(fixed))
    with profiling(host) as profiler:
        assert leaf(2) == 4
        document = profiler.build_trace()
    records = frame_records(document, {"leaf"})
    assert [r.value["event"] for r in records] == ["call", "return"]
    for r in records:
        assert r.field("arg") == fixed and r.field("locals") == fixed


def test_lightweight_repr_serializes_arg_then_locals(monkeypatch):
    seen = []

    def lightweight(obj):
        seen.append(dict(obj) if isinstance(obj, dict) else obj)
        return msgpack.packb(len(seen) - 1)

    def full(obj):
        raise AssertionError("the full serializer is not used with lightweight_repr")

    monkeypatch.setattr(tavo.serialize, "dump_msgpack_lightweight_repr", lightweight)
    monkeypatch.setattr(tavo.serialize, "dump_msgpack", full)
    with profiling(Host({"lightweight_repr": True})) as profiler:
        leaf(5)
        document = profiler.build_trace()
    call, ret = frame_records(document, {"leaf"})
    assert call.value["locals"] == call.value["arg"] + 1 and ret.value["locals"] == ret.value["arg"] + 1
    assert seen[call.value["arg"]] is None and seen[call.value["locals"]] == {"value": 5}
    assert seen[ret.value["arg"]] == 10 and seen[ret.value["locals"]] == {"value": 5, "doubled": 10}


@pytest.mark.parametrize("bad, error, message", [
    (b"", None, None),
    (b"\x92\x01", None, None),
    (b"\x01\x02", None, None),
    ("\x90", TypeError, "Can't extract `str` to `Vec`"),
    ([0x93, 1, 2, 256], OverflowError, "out of range integral type conversion attempted"),
    (3.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
])
def test_serializer_output_that_is_not_one_value_drops_the_record(host, monkeypatch, caplog, bad,
                                                                   error, message):
    real = tavo.serialize.dump_msgpack
    monkeypatch.setattr(tavo.serialize, "dump_msgpack",
                        lambda obj: bad if isinstance(obj, dict) and "poison" in obj else real(obj))
    caplog.set_level(logging.WARNING, logger="tavo")
    with profiling(host) as profiler:
        assert poisoned(1) == "fine"
        leaf(1)
        document = profiler.build_trace()
    assert frame_records(document, {"poisoned"}) == []
    assert [r.value["event"] for r in frame_records(document, {"leaf"})] == ["call", "return"]
    warnings = tavo_warnings(caplog)
    assert [(w.args[1], w.args[2]) for w in warnings] == [("poisoned", "call"), ("poisoned", "return")]
    for w in warnings:
        assert w.levelno == logging.WARNING and isinstance(w.exc_info[1], Exception)
        if error is not None:
            assert type(w.exc_info[1]) is error and str(w.exc_info[1]) == message


def test_failed_record_keeps_frame_bookkeeping(host, monkeypatch, caplog):
    real = tavo.serialize.dump_msgpack
    failures = []

    def fails_once(obj):
        if isinstance(obj, dict) and obj.get("fail_here") is True and not failures:
            failures.append(obj)
            raise RuntimeError("serializer failed once")
        return real(obj)

    monkeypatch.setattr(tavo.serialize, "dump_msgpack", fails_once)
    caplog.set_level(logging.WARNING, logger="tavo")
    with profiling(host) as profiler:
        fragile_outer()
        document = profiler.build_trace()
    records = frame_records(document, {"fragile_outer", "fragile_middle", "fragile_inner"})
    assert [(r.value["co_name"], r.value["event"]) for r in records] == [
        ("fragile_outer", "call"),
        ("fragile_inner", "call"), ("fragile_inner", "return"),
        ("fragile_middle", "return"),
        ("fragile_inner", "call"), ("fragile_inner", "return"),
        ("fragile_outer", "return")]
    outer_call, inner_call, _, middle_return, second_inner, _, outer_return = records
    middle_id = middle_return.value["frame_id"]
    assert middle_id is not None and middle_id != outer_call.value["frame_id"]
    # The middle frame's call record was dropped, but the frame was pushed.
    assert inner_call.field("user_code_call_site") == call_site_bytes(
        middle_id, line_of(fragile_middle, "fragile_inner()"))
    assert middle_return.field("user_code_call_site") == call_site_bytes(
        outer_call.value["frame_id"], line_of(fragile_outer, "fragile_middle(True)"))
    # ... and popped again at its return.
    assert second_inner.field("user_code_call_site") == call_site_bytes(
        outer_call.value["frame_id"], line_of(fragile_outer, "    fragile_inner()"))
    assert outer_return.value["frame_id"] == outer_call.value["frame_id"]
    assert [(w.args[1], w.args[2]) for w in tavo_warnings(caplog)] == [("fragile_middle", "call")]


def test_locals_are_a_snapshot_never_written_through(host, monkeypatch):
    real = tavo.serialize.dump_msgpack
    received = []

    def meddling(obj):
        if hasattr(obj, "__setitem__") and "probe" in obj:
            received.append(type(obj))
            obj["probe"] = "overwritten"
            obj["injected"] = True
        return real(obj)

    monkeypatch.setattr(tavo.serialize, "dump_msgpack", meddling)
    with profiling(host) as profiler:
        result = snapshot_target("original")
        profiler.build_trace()
    assert result == "original"
    assert received and all(kind is dict for kind in received)


# ---------------------------------------------------------------- call sites, generators, exceptions

def test_call_site_skips_filtered_library_frames(host):
    library = user_module("/usr/lib/python3.12/tavo_fake_library.py",
                          "def library_call(callback):\n    return callback() + 1\n", "fake_library")
    with profiling(host) as profiler:
        assert via_library(library["library_call"]) == 11
        document = profiler.build_trace()
    assert frame_records(document, {"library_call"}) == []
    records = frame_records(document, {"via_library", "callee"})
    assert [(r.value["co_name"], r.value["event"]) for r in records] == [
        ("via_library", "call"), ("callee", "call"), ("callee", "return"), ("via_library", "return")]
    site = call_site_bytes(records[0].value["frame_id"], line_of(via_library, "library_call(callee)"))
    assert records[1].field("user_code_call_site") == site
    assert records[2].field("user_code_call_site") == site
    assert records[2].value["arg"] == 10 and records[3].value["arg"] == 11


def test_generator_resumptions_pair_their_frame_ids(host):
    with profiling(host) as profiler:
        assert consume() == [1, 2]
        document = profiler.build_trace()
    records = frame_records(document, {"counter"})
    assert [r.value["event"] for r in records] == ["call", "return"] * 3
    assert [r.value["arg"] for r in records[1::2]] == [1, 2, None]
    ids = [r.value["frame_id"] for r in records]
    assert ids[0::2] == ids[1::2] and len(set(ids)) == 3
    [consume_call] = [r for r in frame_records(document, {"consume"}) if r.value["event"] == "call"]
    for r in records[0::2]:
        assert r.field("user_code_call_site") == call_site_bytes(
            consume_call.value["frame_id"], line_of(consume, "list(counter())"))


def test_frame_left_by_an_exception_returns_none(host):
    with profiling(host) as profiler:
        assert catches() == "caught"
        document = profiler.build_trace()
    call, ret = frame_records(document, {"raises_inside"})
    assert ret.value["event"] == "return" and ret.field("arg") == b"\xc0"
    assert ret.value["locals"] == {"local_value": "x"}
    assert ret.value["frame_id"] == call.value["frame_id"]
    assert [r.value["arg"] for r in frame_records(document, {"catches"})] == [None, "caught"]


def test_only_calls_and_returns_produce_records(host):
    with profiling(host) as profiler:
        assert uses_builtins_and_exceptions([3, 1, 2]) == 3
        document = profiler.build_trace()
    # C calls and exception events would show as extra events of this frame.
    assert {r.value["event"] for r in frame_records(document)} <= {"call", "return"}
    assert [r.value["event"] for r in frame_records(document, {"uses_builtins_and_exceptions"})] == [
        "call", "return"]


# ---------------------------------------------------------------- module frames and qualified names

def test_module_frame_locals_lack_builtins(host, tmp_path):
    code = compile("value = 41\nother = value + 1\n", str(tmp_path / "user_mod.py"), "exec")
    namespace = {"__name__": "user_mod", "__builtins__": builtins}
    with profiling(host) as profiler:
        exec(code, namespace)
        document = profiler.build_trace()
    call, ret = frame_records(document, {"<module>"})
    assert ret.value["qualname"] == "user_mod.<module>"
    assert "__builtins__" not in call.value["locals"] and call.value["locals"]["__name__"] == "user_mod"
    assert ret.value["locals"] == {"__name__": "user_mod", "value": 41, "other": 42}
    assert namespace["__builtins__"] is builtins


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("module_name, source, target, co_name, qualname", [
    ("shop.models", "class Order:\n    def save(self):\n        return 1\n",
     lambda ns: ns["Order"]().save, "save", "shop.models.Order.save"),
    ("shop.views", "def handler():\n    def inner():\n        return 2\n    return inner()\n",
     lambda ns: ns["handler"], "inner", "shop.views.handler.<locals>.inner"),
    (None, "def f():\n    return 3\n", lambda ns: ns["f"], "f", "None.f"),
    (Unprintable(), "def g():\n    return 4\n", lambda ns: ns["g"], "g",
     "<unprintable Unprintable object>.g"),
    ("shop", "", None, "<module>", "shop.<module>"),
    (None, "", None, "<module>", "None.<module>"),
])
def test_qualified_names(host, tmp_path, monkeypatch, module_name, source, target, co_name, qualname):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    filename = str(tmp_path / "shop_code.py")
    if target is None:
        code = compile("x = 1\n", filename, "exec")
        with profiling(host) as profiler:
            exec(code, {"__name__": module_name})
            document = profiler.build_trace()
    else:
        function = target(user_module(filename, source, module_name))
        with profiling(host) as profiler:
            function()
            document = profiler.build_trace()
    records = frame_records(document, {co_name})
    assert [r.value["event"] for r in records] == ["call", "return"]
    assert {r.value["qualname"] for r in records} == {qualname}
    assert bool(unraisable) == isinstance(module_name, Unprintable)


def test_code_run_with_globals_without_a_name_is_recorded(host, tmp_path, caplog):
    namespace = {}
    exec(compile("def nameless():\n    return 4\n", str(tmp_path / "anon.py"), "exec"), namespace)
    assert "__name__" not in namespace and namespace["nameless"].__module__ is None
    caplog.set_level(logging.WARNING, logger="tavo")
    with profiling(host) as profiler:
        assert namespace["nameless"]() == 4
        leaf(1)
        document = profiler.build_trace()
    # No module name, as the function's own __module__ says.
    assert [r.value["qualname"] for r in frame_records(document, {"nameless"})] == [
        "None.nameless"] * 2
    assert len(frame_records(document, {"leaf"})) == 2
    assert tavo_warnings(caplog) == []


def make_step(start):
    total = start * 10

    def step(x):
        late = x + total
        sys._getframe().f_locals["extra"] = late
        return late
    return step


def test_locals_keep_the_frames_order_cells_and_unbound_names(host):
    # Variables in the code's order, a cell and a free variable by their
    # contents, names not bound yet left out, a name set from outside last.
    # Recording makes no locals dict of its own: on 3.12 the one the program
    # makes (and keeps across events) sees all of step's variables at once.
    with profiling(host) as profiler:
        make_step(1)(1)
        document = profiler.build_trace()
    locals_seen = [(r.value["co_name"], list(r.value["locals"].items()))
                   for r in frame_records(document, {"make_step", "step"})]
    assert [(name, [k for k, _ in items]) for name, items in locals_seen] == [
        ("make_step", ["start"]), ("make_step", ["start", "step", "total"]),
        ("step", ["x", "total"]), ("step", ["x", "late", "total", "extra"])]
    assert dict(locals_seen[3][1]) == {"x": 1, "late": 11, "total": 10, "extra": 11}


def test_qualified_name_follows_each_frames_globals(host, tmp_path):
    # Names are kept per code object after its first record: one code object
    # run under other globals, or after its module is renamed, is named anew.
    code = compile("x = 1\n", str(tmp_path / "shared.py"), "exec")
    namespace = user_module(str(tmp_path / "mod.py"), PROBE, "first")
    probe = namespace["probe"]
    other = types.FunctionType(probe.__code__, {"__name__": "second"})
    with profiling(host) as profiler:
        for name in ("one", "two", "one"):
            exec(code, {"__name__": name})
        probe()
        other()
        namespace["__name__"] = "renamed"
        probe()
        document = profiler.build_trace()
    qualnames = [r.value["qualname"] for r in frame_records(document, {"<module>", "probe"})]
    assert qualnames[::2] == ["one.<module>", "two.<module>", "one.<module>",
                              "first.probe", "second.probe", "renamed.probe"]
    assert qualnames[::2] == qualnames[1::2]
    # Renamed while its frame runs: the return is named anew.
    renaming = user_module(str(tmp_path / "renaming.py"),
                           "def probe():\n    globals()['__name__'] = 'later'\n", "early")
    with profiling(host) as profiler:
        renaming["probe"]()
        document = profiler.build_trace()
    assert [r.value["qualname"] for r in frame_records(document, {"probe"})] == [
        "early.probe", "later.probe"]


@pytest.mark.parametrize("replace", ["attribute", "module"])
def test_serializer_replaced_while_recording_is_called(host, monkeypatch, replace):
    fake = types.ModuleType("tavo.serialize")
    fake.dump_msgpack = fake.dump_msgpack_lightweight_repr = lambda value: msgpack.packb("replaced")
    with profiling(host) as profiler:
        leaf(1)
        if replace == "attribute":
            monkeypatch.setattr(tavo.serialize, "dump_msgpack", fake.dump_msgpack)
        else:
            monkeypatch.setitem(sys.modules, "tavo.serialize", fake)
        leaf(2)
        monkeypatch.undo()
        leaf(3)
        document = profiler.build_trace()
    returns = [r.value["arg"] for r in frame_records(document, {"leaf"}) if r.value["event"] == "return"]
    assert returns == [2, "replaced", 6]


# ---------------------------------------------------------------- paths

PROBE = "def probe():\n    return 1\n"


@pytest.mark.parametrize("filename, shown", [
    ("{cwd}/app/views.py", "app/views.py"),
    ("{cwd}ject/x.py", "{cwd}ject/x.py"),
    ("<stdin>", "<stdin>"),
    ("rel/mod.py", "rel/mod.py"),
    ("{cwd}/bad\udcff.py", "bad\ufffd.py"),
])
def test_path_is_relative_to_the_working_directory(host, in_tmp_cwd, filename, shown):
    cwd = os.getcwd()
    filename, shown = filename.format(cwd=cwd), shown.format(cwd=cwd)
    probe = user_module(filename, PROBE)["probe"]
    with profiling(host) as profiler:
        probe()
        document = profiler.build_trace()
    call, ret = frame_records(document, {"probe"})
    assert (call.value["path"], ret.value["path"]) == (f"{shown}:1", f"{shown}:2")


def test_lone_surrogates_in_names_are_replaced(host, in_tmp_cwd):
    probe = user_module(str(in_tmp_cwd / "names.py"), PROBE, "surrogates")["probe"]
    probe.__code__ = probe.__code__.replace(co_name="pro\udcffbe")
    with profiling(host) as profiler:
        probe()
        document = profiler.build_trace()
    records = frame_records(document, {"pro\ufffdbe"})
    assert [r.value["event"] for r in records] == ["call", "return"]
    assert records[0].value["qualname"] == "surrogates.probe"


@pytest.mark.parametrize("size", [31, 32, 300, 70000])
def test_long_texts_take_their_sized_forms(host, in_tmp_cwd, size):
    """Path, name and qualified name past each str size limit, written bytes
    as the msgpack package writes them."""
    name, module, filename = "p" * size, "m" * size, f"/{'d' * size}/mod.py"
    probe = user_module(filename, PROBE, module)["probe"]
    probe.__code__ = probe.__code__.replace(co_name=name)
    with profiling(host) as profiler:
        probe()
        document = profiler.build_trace()
    records = frame_records(document, {name})
    assert [r.value["event"] for r in records] == ["call", "return"]
    for r, line in zip(records, (1, 2)):
        assert r.field("path") == msgpack.packb(f"{filename}:{line}")
        assert r.field("co_name") == msgpack.packb(name)
        assert r.field("qualname") == msgpack.packb(f"{module}.probe")


def test_path_when_the_working_directory_is_gone(host, in_tmp_cwd):
    gone = in_tmp_cwd / "gone"
    gone.mkdir()
    filename = str(gone / "mod.py")
    probe = user_module(filename, PROBE)["probe"]
    os.chdir(gone)
    gone.rmdir()
    with profiling(host) as profiler:
        probe()
        document = profiler.build_trace()
    call, ret = frame_records(document, {"probe"})
    assert (call.value["path"], ret.value["path"]) == (f"{filename}:1", f"{filename}:2")


# ---------------------------------------------------------------- error reporting

def _raise_on_explode(monkeypatch):
    real = tavo.serialize.dump_msgpack

    def serializer(obj):
        if isinstance(obj, dict) and "explode" in obj:
            raise RuntimeError("serializer exploded")
        return real(obj)

    monkeypatch.setattr(tavo.serialize, "dump_msgpack", serializer)


def test_error_is_logged_with_the_fixed_format(host, monkeypatch, caplog):
    assert len(LOG_FORMAT) == 101
    _raise_on_explode(monkeypatch)
    caplog.set_level(logging.WARNING, logger="tavo")
    shown = []

    class Spied:
        def __repr__(self):
            shown.append(self)
            return "Spied()"

    with profiling(host) as profiler:
        assert explodes(1, Spied()) == "survived"
        leaf(2)
        document = profiler.build_trace()
    warnings = tavo_warnings(caplog)
    assert [w.args[2] for w in warnings] == ["call", "return"]
    for w in warnings:
        assert w.levelno == logging.WARNING and w.msg == LOG_FORMAT
        assert w.args[:2] == (explodes.__code__.co_filename, "explodes")
        # The variables by name and type: reporting runs none of their code.
        assert w.args[3] == "{'explode': <int>, 'shown': <Spied>}"
        assert type(w.exc_info[1]) is RuntimeError and str(w.exc_info[1]) == "serializer exploded"
        assert w.getMessage() == LOG_FORMAT % w.args
    assert "Traceback" in caplog.text and "RuntimeError: serializer exploded" in caplog.text
    assert shown == []
    assert frame_records(document, {"explodes"}) == []
    assert len(frame_records(document, {"leaf"})) == 2


class _Collect(logging.Handler):
    def __init__(self, fail=False):
        super().__init__()
        self.records, self.fail = [], fail

    def emit(self, record):
        self.records.append(record)
        if self.fail:
            raise RuntimeError("handler broke")


@pytest.mark.parametrize("level, fail, expected", [
    (logging.ERROR, False, 0), (logging.WARNING, True, 2),
])
def test_logging_configuration_never_breaks_the_program(host, monkeypatch, capsys, level, fail,
                                                        expected):
    _raise_on_explode(monkeypatch)
    logger = logging.getLogger("tavo")
    handler = _Collect(fail)
    old_level, old_propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(level)
    logger.propagate = False
    try:
        with profiling(host) as profiler:
            assert explodes(1) == "survived"
            leaf(3)
            document = profiler.build_trace()
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        logger.propagate = old_propagate
    assert len(handler.records) == expected
    assert capsys.readouterr().err == ""
    assert [r.value["arg"] for r in frame_records(document, {"leaf"})] == [None, 6]


# ---------------------------------------------------------------- interrupts

class Stop(BaseException):
    """Not an Exception: the program's own, like KeyboardInterrupt."""


class _Interrupting(logging.Handler):
    def emit(self, record):
        raise Stop


def tick():
    return None


def survives_interrupt():
    try:
        leaf(1)
        # The interpreter's next check point after leaf(1)'s events, at the
        # latest: an interrupt met while they were handled is raised there.
        tick()
    except Stop:
        return leaf(2)


@pytest.mark.parametrize("event", ["call", "return"])
@pytest.mark.parametrize("site", ["serializer", "log handler", "predicate", "process", "store"])
def test_interrupt_stops_the_event_and_reaches_the_program(monkeypatch, site, event):
    fired = []

    def stop_at_leaf_1(values, seen, error=Stop):
        if seen == event and values.get("value") == 1 and not fired:
            fired.append(seen)
            raise error

    def dump(obj, real=tavo.serialize.dump_msgpack):
        if isinstance(obj, dict):  # leaf's locals hold "doubled" at its return
            stop_at_leaf_1(obj, "return" if "doubled" in obj else "call",
                           Stop if site == "serializer" else RuntimeError("an event error"))
        return real(obj)

    def plugin_callable(frame, seen, arg, context):
        if site == "store":  # the save at the end-of-test marker is interrupted
            return {"type": "end_test"} if seen == event and frame.f_locals["value"] == 1 else {}
        stop_at_leaf_1(frame.f_locals, seen)
        return True if site == "predicate" else {}

    if site in ("serializer", "log handler"):
        monkeypatch.setattr(tavo.serialize, "dump_msgpack", dump)
        monkeypatch.setattr(logging.getLogger("tavo"), "handlers", [_Interrupting()])
        monkeypatch.setattr(logging.getLogger("tavo"), "propagate", False)
    else:
        monkeypatch.setattr(tavo.db, "save_trace_in_sqlite",
                            lambda *args, **kwargs: stop_at_leaf_1({"value": 1}, event))
        monkeypatch.setattr(tavo.plugins, "load_plugin_data", lambda config: [{
            "co_names": ["leaf"], "path_fragment": Path(__file__).name, "call_type": "c",
            "return_type": "r", "call" if site == "predicate" else "process": plugin_callable}])
    with profiling(Host(one_trace_per_test=site == "store")) as profiler:
        assert survives_interrupt() == 4
        leaf(3)
        document = profiler.build_trace()
    records = frame_records(document, {"survives_interrupt", "leaf"})
    # The frame stack went on right: leaf(2) is called from the frame that
    # caught the interrupt, and no frame returned twice.
    outer, second = records[0].value, next(r.value for r in records if r.value["locals"] == {"value": 2})
    assert outer["event"] == "call" and outer["co_name"] == "survives_interrupt"
    assert second["user_code_call_site"]["call_frame_id"] == outer["frame_id"]
    returns = [r.value["frame_id"] for r in records if r.value["event"] == "return"]
    assert len(returns) == len(set(returns))
    assert [r.value["locals"].get("value") for r in records][-2:] == [3, 3]


def test_ctrl_c_during_serialization_stops_the_program(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text("import signal, tavo\n"
                      "class Loud:\n"
                      "    def __repr__(self):\n"
                      "        signal.raise_signal(signal.SIGINT)  # KeyboardInterrupt here\n"
                      "        return 'Loud()'\n"
                      "def work(value):\n"
                      "    return value\n"
                      "with tavo.profile(None, config={'values': 'repr'}):\n"
                      "    while True:\n"
                      "        work(Loud())\n")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and done.stderr.rstrip().endswith("KeyboardInterrupt")


def step(native, reinstall):
    if reinstall:
        native.register_threading_profiler(None, None, None)
    return reinstall


@pytest.mark.parametrize("kind", ["frame", "plugin"])
def test_a_return_never_carries_an_earlier_frames_id(monkeypatch, kind, engine):
    # A recorded frame of `step` is freed after its return; the next frame of
    # `step`, whose call is not recorded, tends to get the same address. Its
    # return must not carry the freed frame's id.
    if engine == "monitoring":
        pytest.skip("the call goes unrecorded by clearing the thread's profile function")
    monkeypatch.setattr(tavo.plugins, "load_plugin_data", lambda config: [{
        "co_names": ["step"], "path_fragment": os.path.basename(__file__),
        "call_type": "watched_call", "return_type": "watched_return"}])
    host = Host()
    with profiling(host) as native:
        for _ in range(20):
            step(native, False)
            sys.setprofile(None)
            step(native, True)
        document = native.build_trace()
    records = [r.value for r in all_records(document)]
    if kind == "frame":
        ours = [r for r in records if r["type"] == "frame" and r["co_name"] == "step"]
    else:
        ours = [r for r in records if r["type"] in ("watched_call", "watched_return")]
    assert len(ours) == 60
    for call, first_return, late_return in zip(ours[0::3], ours[1::3], ours[2::3]):
        assert call["frame_id"] == first_return["frame_id"] is not None
        assert late_return["frame_id"] != call["frame_id"]
