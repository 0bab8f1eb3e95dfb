"""Plugin processing: which processors run for an event, what their records
hold, and how they are ordered and buffered, observed through real profiling."""

import collections.abc
import logging
import pathlib
import re
import sys
import threading
import time

import pytest

import tavo.db
import tavo.plugins
import tavo.serialize
from conftest import Host, decode, profiling
from tavo import _tavo

# Every test here runs on both engines.
pytestmark = pytest.mark.usefixtures("engine")

THIS_FILE = pathlib.Path(__file__).name
FRAME_ID = re.compile(r"frm_[0-9A-HJKMNP-TV-Z]{26}")
BASE_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


def watched(x):
    return x * 2


def caller(x):
    return watched(x)


def plugin(**overrides):
    data = {"co_names": ["watched"], "path_fragment": THIS_FILE,
            "call_type": "w_call", "return_type": "w_return"}
    data.update(overrides)
    return data


@pytest.fixture
def load(monkeypatch):
    """load(*plugin_data): what tavo.plugins.load_plugin_data will return."""
    def install(*plugins):
        monkeypatch.setattr(tavo.plugins, "load_plugin_data", lambda config: list(plugins))
    return install


@pytest.fixture
def tavo_warnings(caplog):
    caplog.set_level(logging.WARNING, logger="tavo")
    return lambda: [r for r in caplog.records if r.name == "tavo"]


def is_plugin(record):
    return "qualname" not in record


def plugin_records(document):
    return [r for r in document["frames_of_interest"] if is_plugin(r)]


def profile(host, fn, *args):
    with profiling(host) as profiler:
        fn(*args)
    return decode(profiler.build_trace())


def sequence(document, co_name="watched"):
    """Plugin record types and "frame:<event>" of `co_name`'s frame records, in buffer order."""
    out = []
    for r in document["frames_of_interest"]:
        if is_plugin(r):
            out.append(r["type"])
        elif r["co_name"] == co_name:
            out.append(f"frame:{r['event']}")
    return out


class Recorder:
    """A plugin callable that notes (co_name, event, arg, context) and answers `result`."""

    def __init__(self, result=True):
        self.seen, self.result = [], result

    def __call__(self, frame, event, arg, context):
        self.seen.append((frame.f_code.co_name, event, arg, context))
        if isinstance(self.result, Exception):
            raise self.result
        return self.result(event) if callable(self.result) else self.result


class ReadOnlyMapping(collections.abc.Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


# ---------------------------------------------------------------- matching

def test_no_plugins_no_plugin_records(load):
    load()
    document = profile(Host(), watched, 1)
    assert plugin_records(document) == []
    assert sequence(document) == ["frame:call", "frame:return"]


def test_path_fragment_mismatch_never_calls_the_processor(load):
    predicate, process = Recorder(), Recorder({})
    load(plugin(path_fragment="no/such/place.py", call=predicate, process=process))
    document = profile(Host(), watched, 1)
    assert predicate.seen == [] and process.seen == []
    assert sequence(document) == ["frame:call", "frame:return"]


def test_callables_get_frame_event_arg_and_one_shared_context(load):
    shared = {"n": 0}

    def process(frame, event, arg, context):
        context["n"] += 1
        return {"n": context["n"]}

    predicate = Recorder()
    load(plugin(co_names=["caller", "watched"], call=predicate, process=process,
                build_context=lambda config: shared))
    document = profile(Host(), caller, 3)
    assert [(name, event, arg) for name, event, arg, _ in predicate.seen] == [
        ("caller", "call", None), ("watched", "call", None),
        ("watched", "return", 6), ("caller", "return", 6)]
    assert all(context is shared for *_, context in predicate.seen)
    assert [r["n"] for r in plugin_records(document)] == [1, 2, 3, 4]
    assert shared["n"] == 4


@pytest.mark.parametrize("answer, types, warnings", [
    (True, ["w_call", "w_return"], 0),
    (False, [], 0),
    (None, [], 2),
    (1, [], 2),
    (ValueError("predicate broke"), [], 2),
])
def test_predicate_answers(load, tavo_warnings, answer, types, warnings):
    predicate = Recorder(answer)
    load(plugin(call=predicate))
    document = profile(Host(), watched, 1)
    assert [r["type"] for r in plugin_records(document)] == types
    assert len(tavo_warnings()) == warnings
    assert [event for _, event, _, _ in predicate.seen] == ["call", "return"]
    # The frame itself is recorded whatever the plugin does.
    assert [s for s in sequence(document) if s.startswith("frame:")] == ["frame:call", "frame:return"]


@pytest.mark.parametrize("events, types", [
    (["return"], ["w_return"]),
    (["call"], ["w_call"]),
    (["call", "return"], ["w_call", "w_return"]),
    ([], []),
])
def test_events_list_limits_records_not_predicate_calls(load, events, types):
    predicate = Recorder()
    load(plugin(call=predicate, events=events))
    document = profile(Host(), watched, 1)
    assert [r["type"] for r in plugin_records(document)] == types
    assert [event for _, event, _, _ in predicate.seen] == ["call", "return"]


# ---------------------------------------------------------------- record contents

@pytest.mark.parametrize("subtype, extra", [
    (None, None),
    ("db", None),
    ("db", {"query": "select 1", "rows": [1, 2]}),
    (None, {"thread": "renamed-thread", "extra": True}),
])
def test_record_keys_in_order(load, subtype, extra):
    options = {}
    if subtype is not None:
        options["subtype"] = subtype
    if extra is not None:
        options["process"] = lambda frame, event, arg, context: dict(extra)
    load(plugin(**options))
    document = profile(Host(), watched, 1)
    records = plugin_records(document)
    assert [r["type"] for r in records] == ["w_call", "w_return"]
    expected_keys = BASE_KEYS + (["subtype"] if subtype else [])
    expected_keys += [k for k in (extra or {}) if k not in expected_keys]
    for record in records:
        assert list(record) == expected_keys
        assert FRAME_ID.fullmatch(record["frame_id"])
        assert isinstance(record["timestamp"], float)
        assert record["thread_native_id"] == threading.get_native_id()
        assert record["thread"] == (extra or {}).get("thread", threading.current_thread().name)
        if subtype:
            assert record["subtype"] == subtype
        for key, value in (extra or {}).items():
            assert record[key] == value


def test_call_and_return_records_carry_the_callers_call_site(load):
    # The watched function is recorded too, so at its return its own frame is
    # on top of the stack: the return record must still point at the caller.
    load(plugin())
    document = profile(Host(), caller, 1)
    [caller_call] = [r for r in document["frames_of_interest"]
                     if not is_plugin(r) and r["co_name"] == "caller" and r["event"] == "call"]
    call_record, return_record = plugin_records(document)
    assert (call_record["type"], return_record["type"]) == ("w_call", "w_return")
    expected = {"call_frame_id": caller_call["frame_id"],
                "line_number": caller.__code__.co_firstlineno + 1}
    assert call_record["user_code_call_site"] == expected
    assert return_record["user_code_call_site"] == expected


@pytest.mark.parametrize("result, types, warnings", [
    ({"type": "renamed", "extra": 1}, ["renamed", "renamed"], 0),
    (ReadOnlyMapping({"extra": 2}), ["w_call", "w_return"], 0),
    ({"type": 5}, [], 2),
    (None, [], 2),
    ([("type", "pairs")], [], 2),
    (42, [], 2),
    (RuntimeError("process broke"), [], 2),
])
def test_process_results(load, tavo_warnings, result, types, warnings):
    load(plugin(process=Recorder(result)))
    document = profile(Host(), watched, 1)
    records = plugin_records(document)
    assert [r["type"] for r in records] == types
    assert len(tavo_warnings()) == warnings
    if isinstance(result, (dict, ReadOnlyMapping)):
        assert all(r["extra"] == result["extra"] for r in records)
    assert sequence(document).count("frame:call") == 1


def test_process_type_end_test_saves_the_trace(load, monkeypatch):
    saved = []
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite",
                        lambda *args, **kwargs: saved.append(decode(kwargs["msgpack"])))
    load(plugin(call_type="plain", return_type="plain",
                process=Recorder(lambda event: {"type": "end_test"} if event == "return" else {})))
    host = Host(one_trace_per_test=True)
    with profiling(host) as profiler:
        watched(1)
        assert len(saved) == 1
        caller(2)
    assert len(saved) == 2
    for document in saved:
        assert sequence(document) == ["plain", "frame:call", "frame:return", "end_test"]
        assert document["trace_id"] == host.trace_id
    assert sequence(saved[1], "caller") == ["frame:call", "plain", "end_test"]
    # After the second save only the caller's return is left.
    rest = decode(profiler.build_trace())
    assert sequence(rest, "caller") == ["frame:return"]


def test_process_type_start_test_starts_a_new_trace(load):
    load(plugin(call_type="plain", return_type="plain",
                process=Recorder(lambda event: {"type": "start_test"} if event == "call" else {})))
    host = Host(one_trace_per_test=True)
    document = profile(host, caller, 1)
    assert document["trace_id"] != host.trace_id
    first = document["frames_of_interest"][0]
    assert is_plugin(first) and first["type"] == "start_test"
    # The caller's call came before the start marker and went with the old trace.
    assert [r["co_name"] for r in document["frames_of_interest"] if not is_plugin(r)][:2] == [
        "watched", "watched"]


# ---------------------------------------------------------------- frame ids and order

def test_call_and_return_share_a_frame_id(load):
    load(plugin())
    with profiling(Host()) as profiler:
        watched(1)
        watched(2)
    ids = [r["frame_id"] for r in plugin_records(decode(profiler.build_trace()))]
    assert len(ids) == 4 and all(FRAME_ID.fullmatch(i) for i in ids)
    assert ids[0] == ids[1] and ids[2] == ids[3] and ids[0] != ids[2]


def starts_inside(host):
    _tavo.register_profiler(host)
    return host.rust_profiler


def test_return_without_call_gets_a_fresh_frame_id(load):
    load(plugin(co_names=["starts_inside"]))
    host = Host()
    try:
        profiler = starts_inside(host)
    finally:
        sys.setprofile(None)
    records = decode(profiler.build_trace())["frames_of_interest"]
    [frame_return] = [r for r in records if not is_plugin(r) and r["co_name"] == "starts_inside"]
    [plugin_return] = [r for r in records if is_plugin(r)]
    assert frame_return["event"] == "return" and frame_return["frame_id"] is None
    assert plugin_return["type"] == "w_return"
    assert FRAME_ID.fullmatch(plugin_return["frame_id"])


@pytest.mark.parametrize("first_fails", [False, True])
def test_processors_of_one_name_run_in_load_order(load, tavo_warnings, first_fails):
    first = plugin(call_type="first_call", return_type="first_return",
                   call=Recorder(KeyError("first") if first_fails else True))
    second = plugin(call_type="second_call", return_type="second_return")
    load(first, second)
    document = profile(Host(), watched, 1)
    if first_fails:
        expected = ["second_call", "frame:call", "frame:return", "second_return"]
    else:
        # Call: plugin records in load order, then the frame record; return:
        # the frame record, then the plugin records in reverse.
        expected = ["first_call", "second_call", "frame:call",
                    "frame:return", "second_return", "first_return"]
    assert sequence(document) == expected
    assert len(tavo_warnings()) == (2 if first_fails else 0)


def test_plugin_records_for_library_frames(load):
    namespace = {}
    # Called twice from library code: watched code is never switched off, even
    # in a left-out file.
    exec(compile("def libfunc(x):\n    return x + 1\ndef twice(x):\n    return libfunc(libfunc(x))\n",
                 "/usr/lib/python3.12/fake/lib.py", "exec"), namespace)
    load(plugin(co_names=["libfunc"], path_fragment="fake/lib.py",
                call_type="lib_call", return_type="lib_return"))
    document = profile(Host(), namespace["twice"], 1)
    records = document["frames_of_interest"]
    assert not any(r.get("co_name") in ("libfunc", "twice") for r in records)
    plugins = plugin_records(document)
    assert [r["type"] for r in plugins] == ["lib_call", "lib_return"] * 2
    assert plugins[0]["frame_id"] == plugins[1]["frame_id"] != plugins[2]["frame_id"]


@pytest.mark.parametrize("lightweight, via", [(True, "lightweight"), (False, "full")])
def test_serializer_choice(load, monkeypatch, lightweight, via):
    def tagging(original, tag):
        def dump(obj):
            if isinstance(obj, dict) and "user_code_call_site" in obj and "frame_id" in obj:
                obj = dict(obj, via=tag)
            return original(obj)
        return dump

    monkeypatch.setattr(tavo.serialize, "dump_msgpack",
                        tagging(tavo.serialize.dump_msgpack, "full"))
    monkeypatch.setattr(tavo.serialize, "dump_msgpack_lightweight_repr",
                        tagging(tavo.serialize.dump_msgpack_lightweight_repr, "lightweight"))
    load(plugin())
    document = profile(Host({"lightweight_repr": lightweight}), watched, 1)
    assert [r["via"] for r in plugin_records(document)] == [via, via]


# ---------------------------------------------------------------- threads

def test_plugin_releasing_the_interpreter_lock_does_not_deadlock(load):
    rounds = 200

    def yielding(frame, event, arg, context):
        time.sleep(0)
        return True

    def process(frame, event, arg, context):
        time.sleep(0)
        return {"n": frame.f_locals["x"]}

    load(plugin(call=yielding, process=process))
    outcome = {}

    def loop():
        for i in range(rounds):
            watched(i)

    def scenario():
        host = Host({"threading": True})
        with profiling(host) as profiler:
            other = threading.Thread(target=loop)
            other.start()
            loop()
            other.join()
        outcome["document"] = decode(profiler.build_trace())
        outcome["threads"] = (threading.get_native_id(), other.native_id)

    runner = threading.Thread(target=scenario, daemon=True)
    runner.start()
    runner.join(timeout=120)
    assert not runner.is_alive(), "profiling with a lock-releasing plugin hung"
    document = outcome["document"]
    for native_id in outcome["threads"]:
        records = [r for r in document["frames"][native_id] if is_plugin(r)]
        assert [r["type"] for r in records] == ["w_call", "w_return"] * rounds
        assert [r["n"] for r in records] == [i for i in range(rounds) for _ in (0, 1)]
        calls, returns = records[0::2], records[1::2]
        assert [r["frame_id"] for r in calls] == [r["frame_id"] for r in returns]
        assert all(r["thread_native_id"] == native_id for r in records)
