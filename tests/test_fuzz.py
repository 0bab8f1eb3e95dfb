"""Randomised host input: configurations, host profiler objects, plugin
descriptions and their callables, serializer results and broken host modules.

Every generated case must end in one of two ways. Either registration raises an
ordinary exception of the class (and, where the message is fixed, the message)
that the module promises for that input, with nothing installed; or
registration succeeds, the profiled function returns its normal value without
raising, every failure met while handling an event shows up as one WARNING of
the "tavo" logger, and every trace document built afterwards decodes with the
independent msgpack package as exactly one value whose records are complete
maps. Each generated case also carries its own expected outcome (records,
warnings, settings), computed from the input alone, which the run must match.

Set TAVO_LONG_CHECKS=1 for many more examples per property.
"""

import atexit
import collections.abc
import logging
import math
import os
import pathlib
import re
import shutil
import sys
import tempfile
import threading
import types

import msgpack
import pytest
from hypothesis import HealthCheck, Phase, example, given, settings
from hypothesis import event as note
from hypothesis import strategies as st

import tavo.db
import tavo.plugins
import tavo.serialize
from tavo import _tavo

from conftest import Host

LONG = os.environ.get("TAVO_LONG_CHECKS") == "1"

FUZZ = settings(
    max_examples=1500 if LONG else 60,
    deadline=None,
    database=None,
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink],
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                           HealthCheck.data_too_large],
)

LOG_FORMAT = ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
              "    event: %s\n    frame locals: %s\n")
FRAME_KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
              "thread_native_id", "timestamp", "type", "user_code_call_site"]
PLUGIN_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]
DOCUMENT_KEYS = ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                 "main_thread_id", "meta", "timestamp", "trace_id"]
STR_TO_VEC = "Can't extract `str` to `Vec`"
OUT_OF_RANGE = "out of range integral type conversion attempted"
HOST_TRACE_ID = "trc_01HF7YAT00FUZZFUZZFUZZFUZZ"
ID_RE = re.compile(r"(frm|trc)_[0-9A-HJKMNP-TV-Z]{26}")
ABSENT = "<absent>"


FUZZ_TARGET_SOURCE = '''\
def fuzz_target(value):
    """The profiled user function of every case."""
    doubled = [value, value]
    return len(doubled) + value
'''


def load_fuzz_target():
    """fuzz_target, from a file in a temporary folder: where the clone lies (a
    path with "/tavo/" or "lib/python" in it) must not decide what is recorded.
    The file keeps this module's name, so "/tests/" and "test_fuzz" match it."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-"), "tests", "test_fuzz.py")
    path.parent.mkdir()
    path.write_text(FUZZ_TARGET_SOURCE)
    atexit.register(shutil.rmtree, path.parent.parent, ignore_errors=True)
    namespace = {"__name__": __name__}
    exec(compile(FUZZ_TARGET_SOURCE, str(path), "exec"), namespace)
    return namespace["fuzz_target"]


fuzz_target = load_fuzz_target()
TARGET_PATH = fuzz_target.__code__.co_filename
TARGET_RESULT = 42  # fuzz_target(40)

# ---------------------------------------------------------------- checking documents


def decode_one(document):
    """The single value of a trace document; fails unless the bytes hold exactly
    one MessagePack value with nothing after it."""
    assert isinstance(document, bytes)
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(document)
    values = list(unpacker)
    assert len(values) == 1, f"{len(values)} values in the document"
    assert unpacker.tell() == len(document), "trailing bytes after the document"
    return values[0]


def check_record(record):
    assert isinstance(record, dict), f"record is not a map: {record!r}"
    keys = list(record)
    if keys and keys[0] == "path":
        assert keys == FRAME_KEYS
        assert record["type"] == "frame"
        assert record["event"] in ("call", "return")
        assert isinstance(record["timestamp"], float)
        assert record["frame_id"] is None or ID_RE.fullmatch(record["frame_id"])
    else:
        assert keys[:6] == PLUGIN_KEYS, keys
        assert isinstance(record["type"], str)
        assert ID_RE.fullmatch(record["frame_id"])


def check_document(document):
    """Decodes `document` and checks its shape and every record in it."""
    doc = decode_one(document)
    assert isinstance(doc, dict) and list(doc) == DOCUMENT_KEYS
    assert isinstance(doc["frames_of_interest"], list)
    assert isinstance(doc["frames"], dict)
    for record in doc["frames_of_interest"]:
        check_record(record)
    for records in doc["frames"].values():
        for record in records:
            check_record(record)
    return doc


def target_records(doc):
    return [r for r in doc["frames_of_interest"]
            if list(r)[:1] == ["path"] and r["co_name"] == "fuzz_target"]


# ---------------------------------------------------------------- running a case


class Capture:
    """Stands in for the host store: keeps what each save received."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))

    def documents(self):
        return [kwargs["msgpack"] for _, kwargs in self.calls]


def clear_profile():
    sys.setprofile(None)
    threading.setprofile(None)


def run_registered(host):
    """Registers `host`, runs fuzz_target under it and always uninstalls.

    Returns (registration error or None, profile object installed after
    registration, fuzz_target's result)."""
    clear_profile()
    try:
        try:
            _tavo.register_profiler(host)
        except Exception as exc:  # noqa: BLE001 - the class is checked by the caller
            return exc, sys.getprofile(), None
        installed = sys.getprofile()
        return None, installed, fuzz_target(40)
    finally:
        # Inline: a Python call here would itself be recorded.
        sys.setprofile(None)
        threading.setprofile(None)


def tavo_warnings(caplog):
    return [r for r in caplog.records if r.name == "tavo"]


def check_warning(record, event, expected):
    """One reported event failure: logger, level, message, and the exception."""
    assert record.levelno == logging.WARNING
    assert record.msg == LOG_FORMAT
    assert record.args[0] == TARGET_PATH
    assert record.args[1] == "fuzz_target"
    assert record.args[2] == event
    assert record.args[3].startswith("{'value': <int>")  # the frame's variables, by type
    exc = record.exc_info[1]
    expected.check(exc)


class Expect:
    """An expected exception: this very instance, or a class and optionally an
    exact message or a fragment of it."""

    def __init__(self, cls=None, *, instance=None, message=None, fragment=None, prefix=None):
        self.cls, self.instance = cls, instance
        self.message, self.fragment, self.prefix = message, fragment, prefix

    def check(self, exc):
        assert isinstance(exc, Exception), f"{exc!r} is not an ordinary exception"
        if self.instance is not None:
            assert exc is self.instance, f"{exc!r} is not the exception raised by the host"
            return
        assert isinstance(exc, self.cls), f"{exc!r} is not a {self.cls.__name__}"
        if self.message is not None:
            assert str(exc) == self.message
        if self.fragment is not None:
            assert self.fragment in str(exc), f"{self.fragment!r} not in {str(exc)!r}"
        if self.prefix is not None:
            assert str(exc).startswith(self.prefix), f"{str(exc)!r} lacks {self.prefix!r}"

    def __repr__(self):
        return f"Expect({self.cls}, instance={self.instance!r}, message={self.message!r})"


# Exceptions a host object may raise: ordinary ones, of several kinds.
class HostFailure(Exception):
    pass


class Unprintable(Exception):
    """An exception whose text cannot be made."""

    def __str__(self):
        raise ValueError("no text for this exception")


RAISABLE = [ValueError, KeyError, RuntimeError, AttributeError, ZeroDivisionError, LookupError,
            HostFailure, Unprintable]


# ---------------------------------------------------------------- 1. configurations


class RaisingMapping(collections.abc.Mapping):
    """A "filters" value whose every lookup raises."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, key):
        raise self.exc

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class TextSequence(collections.abc.Sequence):
    """A sequence of texts that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return len(self.items)


class IterRaises(TextSequence):
    """A sequence whose iteration raises after its first item."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        yield from self.items[:1]
        raise self.exc


class Index:
    """An object usable as an integer index."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


FRAGMENTS = st.one_of(
    st.sampled_from(["", "/tests/", "test_fuzz", "fuzz_target", "nowhere-xyz", "/",
                     "tests/test_fuzz.py", "TEST_FUZZ", "\u00e9t\u00e9", "\ud800x"]),
    st.text(max_size=8),
)


def fragment_list():
    """(builder, expected error or None, fragments the filter will hold)."""
    texts = st.lists(FRAGMENTS, max_size=4)

    def valid(kind):
        def build(items):
            value = {"list": list, "tuple": tuple, "seq": TextSequence}[kind](items)
            if any("\ud800" in t for t in items):
                return value, Expect(UnicodeEncodeError), []
            return value, None, list(items)
        return texts.map(build)

    def bad_element(items_and_bad):
        items, bad = items_and_bad
        value = items + [bad]
        for item in items:
            if "\ud800" in item:
                return value, Expect(UnicodeEncodeError), []
        return value, Expect(TypeError), []

    return st.one_of(
        valid("list"), valid("tuple"), valid("seq"),
        texts.map(lambda items: ("".join(items) or "x", Expect(TypeError, message=STR_TO_VEC), [])),
        st.sampled_from([None, 0, 3.5, {"a": "b"}, {"x"}, b"abc", range(2)]).map(
            lambda v: (v, Expect(TypeError), [])),
        st.just(None).map(lambda _: ((t for t in ["x"]), Expect(TypeError), [])),
        st.tuples(st.lists(FRAGMENTS.filter(lambda t: "\ud800" not in t), max_size=2),
                  st.sampled_from([None, 1, b"x", ["nested"], 2.5])).map(bad_element),
        st.sampled_from(RAISABLE).map(
            lambda cls: (lambda exc: (IterRaises(["x", "y"], exc), Expect(instance=exc), []))(
                cls("iteration fails"))),
    )


def filters_value():
    """(value or ABSENT, expected error, include fragments, ignore fragments)."""
    lists = fragment_list()

    def as_dict(parts):
        include, ignore = parts
        value, error, inc, ign = {}, None, [], []
        if include is not None:
            value["include_frames"] = include[0]
            error, inc = include[1], include[2]
        if ignore is not None:
            value["ignore_frames"] = ignore[0]
            if error is None:
                error, ign = ignore[1], ignore[2]
        if error is not None:
            inc, ign = [], []
        return value, error, inc, ign

    return st.one_of(
        st.just((ABSENT, None, [], [])),
        st.tuples(st.none() | lists, st.none() | lists).map(as_dict),
        # Values that cannot be subscripted by text count as empty filters.
        st.sampled_from([None, 0, "include_frames", ["include_frames"], b"x", 1.5]).map(
            lambda v: (v, None, [], [])),
        st.sampled_from(RAISABLE).map(lambda cls: (RaisingMapping(cls("no")), None, [], [])),
    )


def timeout_value():
    """(value or ABSENT, expected error, expected stored timeout)."""
    def from_int(v):
        if v < 0 or v > 2**64 - 1:
            return v, Expect(OverflowError), None
        return v, None, v

    return st.one_of(
        st.just((ABSENT, None, 60)),
        st.integers(min_value=-(2**70), max_value=2**70).map(from_int),
        st.sampled_from([0, 1, 2**64 - 1, 2**64, -1, 2**63, -(2**63)]).map(from_int),
        st.booleans().map(lambda b: (b, None, int(b))),
        st.integers(min_value=-5, max_value=2**65).map(
            lambda v: (Index(v),) + from_int(v)[1:]),
        st.sampled_from([None, 1.0, "60", b"6", [60], {"s": 60}, 2.5e10, float("nan")]).map(
            lambda v: (v, Expect(TypeError), None)),
    )


FLAG_VALUES = st.one_of(st.just(ABSENT), st.booleans(), st.none(), st.integers(-2, 2),
                        st.sampled_from(["True", "", 1.0, [True], b"1"]))


def other_config_entries():
    reserved = {"filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "pytest"}
    values = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=5),
                       st.lists(st.integers(), max_size=2))
    return st.dictionaries(st.text(max_size=8).filter(lambda k: k not in reserved), values,
                           max_size=3)


def light_marker(obj):
    return msgpack.packb(["light", type(obj).__name__])


@FUZZ
@given(
    filters=filters_value(),
    timeout=timeout_value(),
    threading_flag=FLAG_VALUES,
    light_flag=FLAG_VALUES,
    others=other_config_entries(),
    config_kind=st.sampled_from(["dict", "dict-subclass", "list", "none", "mapping"]),
)
def test_random_configurations(caplog, filters, timeout, threading_flag, light_flag, others,
                               config_kind):
    filters_obj, filters_error, include, ignore = filters
    timeout_obj, timeout_error, timeout_stored = timeout
    config = dict(others)
    for key, value in (("filters", filters_obj), ("sqlite_busy_timeout", timeout_obj),
                       ("threading", threading_flag), ("lightweight_repr", light_flag)):
        if value is not ABSENT:
            config[key] = value

    class ConfigDict(dict):
        pass

    expected = filters_error or timeout_error
    if config_kind == "dict-subclass":
        config = ConfigDict(config)
    elif config_kind != "dict":
        config = {"list": list(config.items()), "none": None,
                  "mapping": types.MappingProxyType(config)}[config_kind]
        expected = Expect(TypeError, fragment="PyDict")

    host = Host({}, trace_id=HOST_TRACE_ID, db_path="fuzz.sqlite3")
    host.config = config
    store = Capture()
    caplog.clear()
    with pytest.MonkeyPatch.context() as mp, caplog.at_level(logging.WARNING, logger="tavo"):
        mp.setattr(tavo.serialize, "dump_msgpack_lightweight_repr", light_marker)
        mp.setattr(tavo.db, "save_trace_in_sqlite", store)
        clear_profile()
        try:
            try:
                _tavo.register_profiler(host)
            except Exception as exc:  # noqa: BLE001
                error, installed, result, hook = exc, sys.getprofile(), None, None
            else:
                error, installed = None, sys.getprofile()
                hook = threading.getprofile()
                result = fuzz_target(40)
        finally:
            sys.setprofile(None)
            threading.setprofile(None)

        note("refused" if expected is not None else "registered")
        if expected is not None:
            assert error is not None, f"registration accepted {config!r}"
            expected.check(error)
            assert installed is None
            assert not hasattr(host, "rust_profiler")
            return
        assert error is None, f"registration refused {config!r}: {error!r}"
        profiler = host.rust_profiler
        assert installed is profiler
        assert result == TARGET_RESULT
        assert tavo_warnings(caplog) == []

        threading_on = threading_flag is True
        light_on = light_flag is True
        if threading_on:
            assert getattr(hook, "__self__", None) is profiler
            assert hook.__name__ == "register_threading_profiler"
        else:
            assert hook is None

        profiler.save_request_in_db()
        assert len(store.calls) == 1
        (db_path, trace_id), kwargs = store.calls[0]
        assert (db_path, trace_id) == ("fuzz.sqlite3", HOST_TRACE_ID)
        assert list(kwargs) == ["timeout", "msgpack"]
        assert kwargs["timeout"] == timeout_stored
        doc = check_document(kwargs["msgpack"])
        assert doc["trace_id"] == HOST_TRACE_ID

        recorded = (any(f in TARGET_PATH for f in include)
                    or not any(f in TARGET_PATH for f in ignore))
        records = target_records(doc)
        if not recorded:
            assert records == []
        else:
            assert [r["event"] for r in records] == ["call", "return"]
            assert records[0]["frame_id"] == records[1]["frame_id"]
            if light_on:
                assert records[0]["arg"] == ["light", "NoneType"]
                assert records[1]["arg"] == ["light", "int"]
                assert records[1]["locals"] == ["light", "dict"]
            else:
                assert records[0]["arg"] is None
                assert records[1]["arg"] == TARGET_RESULT
                assert records[1]["locals"] == {"value": 40, "doubled": [40, 40]}

        again = check_document(profiler.build_trace())
        assert again["frames_of_interest"] == [] and again["frames"] == {}
        assert again["trace_id"] == HOST_TRACE_ID


# ---------------------------------------------------------------- 2. host profiler objects


class StrRaises:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


class StrNotText:
    def __str__(self):
        return 5


SURROGATE = "trc_\ud800"

WRONG = {
    "config": [None, [], "cfg", 5, types.MappingProxyType({}), RaisingMapping(KeyError("x"))],
    "one_trace_per_test": [1, 0, None, "yes", 1.0, [True]],
    "trace_id": [None, 5, b"trc", ["x"], SURROGATE],
    "source": [None, 7, b"src", ("x",), SURROGATE],
}
GOOD = {"config": {}, "db_path": "host.sqlite3", "one_trace_per_test": False,
        "trace_id": HOST_TRACE_ID, "source": "fuzz"}
ORDER = ["config", "db_path", "one_trace_per_test", "trace_id", "source"]


def good_attribute(name):
    """("ok", value) for one host attribute."""
    choices = [st.just(("ok", GOOD[name]))]
    if name == "db_path":
        choices.append(st.sampled_from([5, None, b"x", 2.5, ["p"], os.sep + "tmp"]).map(
            lambda v: ("ok", v)))
    elif name == "one_trace_per_test":
        choices.append(st.booleans().map(lambda b: ("ok", b)))
    elif name in ("trace_id", "source"):
        choices.append(st.text(max_size=40).map(lambda t: ("ok", t)))
    return st.one_of(choices)


def bad_attribute(name):
    """(mode, payload) that a correct host never has for one attribute."""
    choices = [st.just(("missing", None)),
               st.sampled_from(RAISABLE).map(lambda cls: ("raises", cls(f"{name} fails")))]
    if name == "db_path":
        choices.append(st.sampled_from(RAISABLE).map(
            lambda cls: ("wrong", StrRaises(cls("str fails")))))
        choices.append(st.just(("wrong", StrNotText())))
    else:
        choices.append(st.sampled_from(WRONG[name]).map(lambda v: ("wrong", v)))
    return st.one_of(choices)


def host_plan():
    """Every attribute good except a few (often none)."""
    def combine(parts):
        good, bad, broken = parts
        return {name: (bad[name] if name in broken else good[name]) for name in ORDER}

    return st.tuples(
        st.fixed_dictionaries({name: good_attribute(name) for name in ORDER}),
        st.fixed_dictionaries({name: bad_attribute(name) for name in ORDER}),
        st.lists(st.sampled_from(ORDER), max_size=2, unique=True),
    ).map(combine)


def raising_property(exc):
    def getter(self):
        raise exc
    return property(getter)


def build_host(plan, callable_host, rust_attr, second_config_read):
    namespace = {}
    if callable_host:
        namespace["__call__"] = lambda self, *args: None
    for name in ORDER:
        mode, payload = plan[name]
        if mode in ("ok", "wrong"):
            if name == "config" and second_config_read is not None:
                reads = []

                def config(self, payload=payload, reads=reads):
                    reads.append(1)
                    if len(reads) > 1:
                        raise second_config_read
                    return payload
                namespace[name] = property(config)
            else:
                namespace[name] = payload
        elif mode == "raises":
            namespace[name] = raising_property(payload)
    if rust_attr[0] == "raises":
        def __setattr__(self, key, value, exc=rust_attr[1]):
            raise exc
        namespace["__setattr__"] = __setattr__
    elif rust_attr[0] == "slots":
        namespace["__slots__"] = ()
    return type("FuzzHost", (), namespace)()


def expected_host_outcome(plan, callable_host, rust_attr, second_config_read):
    """(expected registration error or None, whether the callback is installed)."""
    if not callable_host:
        return Expect(TypeError, message="profiler object is not callable"), False
    for name in ORDER:
        mode, payload = plan[name]
        if mode == "missing":
            return Expect(AttributeError), False
        if mode == "raises":
            return Expect(instance=payload), False
        if name == "config" and mode == "wrong":
            return Expect(TypeError, fragment="PyDict"), False
        if name == "db_path" and mode == "wrong":
            if isinstance(payload, StrRaises):
                return Expect(instance=payload.exc), False
            return Expect(TypeError), False
        if name in ("one_trace_per_test", "trace_id", "source") and mode == "wrong":
            if payload == SURROGATE:
                return Expect(UnicodeEncodeError), False
            return Expect(TypeError), False
        if name in ("trace_id", "source") and any(0xD800 <= ord(c) <= 0xDFFF for c in payload):
            return Expect(UnicodeEncodeError), False
    if rust_attr[0] == "raises":
        return Expect(instance=rust_attr[1]), False
    if rust_attr[0] == "slots":
        return Expect(AttributeError), False
    if second_config_read is not None:
        return Expect(instance=second_config_read), True
    return None, True


@FUZZ
@given(
    plan=host_plan(),
    callable_host=st.sampled_from([True, True, True, False]),
    rust_attr=st.one_of(st.just(("ok", None)), st.just(("ok", None)), st.just(("slots", None)),
                        st.sampled_from(RAISABLE).map(lambda cls: ("raises", cls("no setattr")))),
    second_config_read=st.one_of(st.none(), st.none(), st.sampled_from(RAISABLE).map(
        lambda cls: cls("second read"))),
)
def test_random_host_objects(caplog, plan, callable_host, rust_attr, second_config_read):
    host = build_host(plan, callable_host, rust_attr, second_config_read)
    expected, installs = expected_host_outcome(plan, callable_host, rust_attr, second_config_read)
    note("registered" if expected is None else
          "refused after installing" if installs else "refused")
    store = Capture()
    caplog.clear()
    with pytest.MonkeyPatch.context() as mp, caplog.at_level(logging.WARNING, logger="tavo"):
        mp.setattr(tavo.db, "save_trace_in_sqlite", store)
        error, installed, result = run_registered(host)
        if expected is not None:
            assert error is not None, "registration accepted a host it should refuse"
            expected.check(error)
            if installs:
                # Failing after installation: the callback and rust_profiler stay.
                assert installed is not None and installed is host.rust_profiler
                profiler = host.rust_profiler
            else:
                assert installed is None
                assert getattr(host, "rust_profiler", None) is None
                return
        else:
            assert error is None, f"registration refused the host: {error!r}"
            assert installed is host.rust_profiler
            assert result == TARGET_RESULT
            profiler = host.rust_profiler
        assert tavo_warnings(caplog) == []
        profiler.save_request_in_db()
        (db_path, trace_id), kwargs = store.calls[0]
        assert db_path == str(plan["db_path"][1])
        assert trace_id == plan["trace_id"][1]
        doc = check_document(kwargs["msgpack"])
        assert doc["trace_id"] == plan["trace_id"][1]
        assert doc["meta"]["source"] == plan["source"][1]
        if expected is None:
            assert [r["event"] for r in target_records(doc)] == ["call", "return"]


# ---------------------------------------------------------------- 3. plugins


class Predicate:
    """A plugin's "call": gives `outcome` (or raises it) and remembers its calls."""

    def __init__(self, outcome):
        self.outcome = outcome
        self.calls = []

    def __call__(self, frame, event, arg, context):
        self.calls.append((frame.f_code.co_name, event, arg, context))
        if is_exception(self.outcome):
            raise self.outcome
        return self.outcome


class Process(Predicate):
    """A plugin's "process"."""


class PluginMapping(collections.abc.Mapping):
    """A mapping that is not a dict; optionally, every lookup raises."""

    def __init__(self, data, exc=None):
        self.data, self.exc = data, exc

    def __getitem__(self, key):
        if self.exc is not None:
            raise self.exc
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class ClassRaises:
    """An object on which an instance check raises."""

    def __init__(self, exc):
        self.exc = exc

    @property
    def __class__(self):
        raise self.exc


class BuildContext:
    def __init__(self, outcome):
        self.outcome = outcome
        self.calls = []

    def __call__(self, config):
        self.calls.append(config)
        if is_exception(self.outcome):
            raise self.outcome
        return self.outcome


class RaisingIterable:
    """co_names whose iteration raises after the names given."""

    def __init__(self, names, exc):
        self.names, self.exc = names, exc

    def __iter__(self):
        yield from self.names
        raise self.exc


def is_exception(value):
    # type() and not isinstance(): an instance check may itself raise (ClassRaises).
    return issubclass(type(value), BaseException)


def exception():
    return st.sampled_from(RAISABLE).map(lambda cls: cls("plugin fails"))


def optional(strategy):
    return st.one_of(st.just(ABSENT), st.none(), strategy)


TYPES = st.sampled_from(["start_test", "end_test", "start_test", "end_test", "kind-a", "",
                         "start_tests", "End_test"])
NAMES = st.sampled_from(["fuzz_target", "fuzz_target", "fuzz_target", "other", "fuzz_targe"])


def co_names_value(good):
    names = st.lists(NAMES, min_size=1, max_size=3) | st.just([])
    if good:
        return st.one_of(
            names, names.map(tuple), st.just("fuzz_target"),
            st.lists(NAMES, max_size=2).map(lambda n: dict.fromkeys(n, 1)))
    return st.one_of(
        st.just(ABSENT), st.none(),
        st.lists(NAMES, max_size=2).map(lambda n: n + [5]),
        st.sampled_from([7, 2.5, b"fuzz_target"]),
        st.tuples(st.lists(NAMES, max_size=2), exception()).map(
            lambda p: RaisingIterable(*p)),
    )


def process_value():
    extra = st.integers(-3, 3)
    anything = st.one_of(
        st.just(ABSENT), st.none(), st.just(5),
        exception().map(Process),
        st.none().map(lambda _: Process(None)),
        st.sampled_from([[("extra", 1)], "extra", 3, ("type", "x")]).map(Process),
        extra.map(lambda e: Process({"extra": e})),
        st.tuples(extra, TYPES | st.sampled_from([5, None, b"x", 1.5])).map(
            lambda p: Process({"extra": p[0], "type": p[1]})),
        st.tuples(extra, st.none() | TYPES).map(
            lambda p: Process(PluginMapping({"extra": p[0]} if p[1] is None
                                            else {"extra": p[0], "type": p[1]}))),
        exception().map(lambda exc: Process(PluginMapping({"extra": 1}, exc))),
        exception().map(lambda exc: Process(ClassRaises(exc))),
        st.just(None).map(lambda _: Process({})),
    )
    working = st.one_of(st.just(ABSENT), st.none(),
                        extra.map(lambda e: Process({"extra": e})))
    return st.integers(0, 9).flatmap(lambda i: working if i < 5 else anything)


def predicate_value():
    anything = st.one_of(
        st.just(ABSENT), st.none(), st.just(5),
        st.sampled_from([True, False, None, 1, 0, "yes", 1.0]).map(Predicate),
        exception().map(Predicate),
    )
    working = st.one_of(st.just(ABSENT), st.none(), st.just(True).map(Predicate))
    return st.integers(0, 9).flatmap(lambda i: working if i < 5 else anything)


KEY_VALUES = {
    # key: (values registration accepts, values it refuses)
    "path_fragment": (st.sampled_from(["test_fuzz", "", "nowhere-xyz", "/tests/"]),
                      st.sampled_from([ABSENT, None, 5, b"test_fuzz", "\ud800"])),
    "call_type": (TYPES, st.sampled_from([ABSENT, None, 5])),
    "return_type": (TYPES, st.sampled_from([ABSENT, None, b"x"])),
    "subtype": (st.sampled_from([ABSENT, "sub", ""]), st.sampled_from([None, 3])),
    # Any "call" and "process" loads; what they do is found out at events.
    "call": (predicate_value(), predicate_value()),
    "process": (process_value(), process_value()),
    "events": (st.one_of(st.just(ABSENT), st.none(), st.just(("return",)),
                         st.lists(st.sampled_from(["call", "return", "exception"]), max_size=3)),
               st.sampled_from(["call", "return", 5, ["call", 5]])),
    "build_context": (
        st.one_of(st.just(ABSENT), st.none(),
                  st.sampled_from([{}, {"k": 1}]).map(lambda c: BuildContext(dict(c)))),
        st.one_of(st.just("not callable"),
                  st.sampled_from([[], None, "ctx"]).map(BuildContext),
                  exception().map(BuildContext))),
}
KEYS = ["co_names"] + sorted(KEY_VALUES)


def description():
    """A plugin data dictionary plan: every key acceptable except a few."""
    good = st.fixed_dictionaries({"co_names": co_names_value(True),
                                  **{k: v[0] for k, v in KEY_VALUES.items()}})
    bad = st.fixed_dictionaries({"co_names": co_names_value(False),
                                 **{k: v[1] for k, v in KEY_VALUES.items()}})
    broken = st.one_of(st.just([]), st.just([]),
                       st.lists(st.sampled_from(KEYS), min_size=1, max_size=2, unique=True))
    return st.tuples(good, bad, broken).map(
        lambda p: {key: (p[1][key] if key in p[2] else p[0][key]) for key in KEYS})


def plugin_data_value():
    """(a builder of load_plugin_data's result or behaviour, its kind)."""
    element = st.integers(0, 9).flatmap(
        lambda i: description().map(lambda d: ("dict", d)) if i < 9 else
        st.sampled_from([5, None, "plugin", [1]]).map(lambda v: ("other", v)))
    as_list = (st.lists(element, min_size=1, max_size=3) | st.just([])).map(
        lambda els: ("list", els))
    others = st.one_of(
        st.lists(element, max_size=2).map(lambda els: ("list-subclass", els)),
        st.lists(element, max_size=2).map(lambda els: ("tuple", els)),
        st.sampled_from([None, {}, "plugins", 5]).map(lambda v: ("value", v)),
        exception().map(lambda exc: ("raises", exc)),
        st.just(("not-callable", None)),
        st.just(("missing", None)),
    )
    return st.integers(0, 9).flatmap(lambda i: as_list if i < 8 else others)


class PluginList(list):
    pass


def materialise(description_plan):
    """A plugin data dictionary from a plan (ABSENT keys left out)."""
    return {key: value for key, value in description_plan.items() if value is not ABSENT}


def is_text(value):
    return isinstance(value, str)


def has_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def expected_loading(elements):
    """(expected error or None, processors for fuzz_target in load order,
    build_context objects with the number of calls each must have had)."""
    processors, contexts = [], []
    for kind, value in elements:
        if kind != "dict":
            return Expect(TypeError, fragment="PyDict"), None, contexts
        data = value
        if data["co_names"] is ABSENT:
            return Expect(KeyError), None, contexts
        context = {}
        builder = data["build_context"]
        if builder not in (ABSENT, None):
            if not callable(builder):
                return Expect(TypeError), None, contexts
            contexts.append(builder)
            if is_exception(builder.outcome):
                return Expect(instance=builder.outcome), None, contexts
            if not isinstance(builder.outcome, dict):
                return Expect(TypeError, fragment="PyDict"), None, contexts
            context = builder.outcome
        names = data["co_names"]
        if names is None or isinstance(names, (int, float)):
            return Expect(TypeError), None, contexts
        if isinstance(names, RaisingIterable):
            names_list, tail_error = list(names.names), Expect(instance=names.exc)
        else:
            names_list, tail_error = list(names), None
        for name in names_list:
            if not is_text(name):
                return Expect(TypeError), None, contexts
            error = expected_processor_error(data)
            if error is not None:
                return error, None, contexts
            if name == "fuzz_target":
                processors.append((data, context))
        if tail_error is not None:
            return tail_error, None, contexts
    return None, processors, contexts


def expected_processor_error(data):
    fragment = data["path_fragment"]
    if fragment is ABSENT:
        return Expect(KeyError)
    if not is_text(fragment):
        return Expect(TypeError, fragment="PyString")
    if has_surrogate(fragment):
        return Expect(UnicodeEncodeError)
    for key in ("call_type", "return_type"):
        if data[key] is ABSENT:
            return Expect(KeyError)
        if not is_text(data[key]):
            return Expect(TypeError)
    if data["subtype"] is not ABSENT and not is_text(data["subtype"]):
        return Expect(TypeError)
    events = data["events"]
    if events not in (ABSENT, None):
        if isinstance(events, str):
            return Expect(TypeError, message=STR_TO_VEC)
        if not isinstance(events, (list, tuple)) or not all(is_text(e) for e in events):
            return Expect(TypeError)
    return None


def simulate_plugin_event(processors, event, one_trace, state):
    """The records one event hands to the buffers, in buffer order, and the
    failures it reports; updates `state` (buffer, saved traces, generation)."""
    items, failures, unraisable = [], [], []
    for data, _context in processors:
        if data["path_fragment"] not in TARGET_PATH:
            continue
        predicate = data["call"]
        if predicate not in (ABSENT, None):
            if not callable(predicate):
                failures.append(Expect(TypeError))
                continue
            outcome = predicate.outcome
            if is_exception(outcome):
                failures.append(Expect(instance=outcome))
                continue
            if type(outcome) is not bool:
                failures.append(Expect(TypeError))
                continue
            if not outcome:
                continue
        events = data["events"]
        if events not in (ABSENT, None) and event not in events:
            continue
        record_type = data["call_type"] if event == "call" else data["return_type"]
        subtype = None if data["subtype"] is ABSENT else data["subtype"]
        extra = None
        process = data["process"]
        if process not in (ABSENT, None):
            if not callable(process):
                failures.append(Expect(TypeError))
                continue
            outcome = process.outcome
            if is_exception(outcome):
                failures.append(Expect(instance=outcome))
                continue
            if isinstance(outcome, ClassRaises):
                unraisable.append(outcome.exc)
                failures.append(Expect(TypeError, fragment="Mapping"))
                continue
            if isinstance(outcome, PluginMapping):
                if outcome.exc is not None and outcome.data:
                    failures.append(Expect(instance=outcome.exc))
                    continue
                outcome = dict(outcome.data)
            if not isinstance(outcome, dict):
                failures.append(Expect(TypeError, fragment="Mapping"))
                continue
            extra = outcome.get("extra")
            record_type = outcome.get("type", record_type)
            if not is_text(record_type):
                failures.append(Expect(TypeError))
                continue
        items.append(("plugin", record_type, subtype, extra))
    items.append(("frame", event))
    if event == "return":
        items.reverse()
    push_items(items, one_trace, state)
    return failures, unraisable


def push_items(items, one_trace, state):
    if not one_trace:
        state["buffer"].extend(items)
        return
    flushed = 0
    for i, item in enumerate(items):
        kind = item[1] if item[0] == "plugin" else "frame"
        if kind == "end_test":
            state["buffer"].extend(items[flushed:i + 1])
            flushed = i + 1
            state["saved"].append((state["generation"], state["buffer"]))
            state["buffer"] = []
        elif kind == "start_test":
            state["buffer"].extend(items[flushed:i])
            flushed = i
            state["buffer"] = []
            state["generation"] += 1
    state["buffer"].extend(items[flushed:])


def signature(record):
    if list(record)[:1] == ["path"]:
        return ("frame", record["event"])
    return ("plugin", record["type"], record.get("subtype"), record.get("extra"))


def boundary_plugin_data():
    """Lists of working plugin descriptions for the profiled function whose
    records are often test boundaries."""
    markers = st.sampled_from(["start_test", "end_test", "other"])
    process = st.one_of(st.just(ABSENT), st.tuples(st.integers(-3, 3), markers).map(
        lambda p: Process({"extra": p[0], "type": p[1]})))
    plugin = st.fixed_dictionaries({
        "co_names": st.just(["fuzz_target"]),
        "path_fragment": st.sampled_from(["test_fuzz", ""]),
        "call_type": markers, "return_type": markers,
        "subtype": st.sampled_from([ABSENT, "sub"]),
        "call": st.sampled_from([ABSENT, True, True, False]).map(
            lambda v: v if v is ABSENT else Predicate(v)),
        "process": process,
        "events": st.sampled_from([ABSENT, None, ["call"], ["return"], ["call", "return"]]),
        "build_context": st.just(ABSENT),
    })
    return st.lists(plugin.map(lambda d: ("dict", d)), min_size=1, max_size=4).map(
        lambda els: ("list", els))


@FUZZ
@given(plan=plugin_data_value(), one_trace=st.booleans(), light=st.booleans())
# A host error whose text cannot be made still gets the fixed message.
@example(plan=("raises", Unprintable("x")), one_trace=False, light=False)
def test_random_plugins(caplog, plan, one_trace, light):
    check_plugin_case(caplog, plan, one_trace, light)


@FUZZ
@given(plan=boundary_plugin_data(), light=st.booleans())
def test_random_test_boundaries(caplog, plan, light):
    check_plugin_case(caplog, plan, True, light)


def check_plugin_case(caplog, plan, one_trace, light):
    kind, payload = plan
    elements = payload if kind in ("list", "list-subclass", "tuple") else []
    built = [materialise(v) if k == "dict" else v for k, v in elements]
    config = {"lightweight_repr": light}

    if kind == "list":
        load = lambda cfg: built  # noqa: E731
    elif kind == "list-subclass":
        load = lambda cfg: PluginList(built)  # noqa: E731
    elif kind == "tuple":
        load = lambda cfg: tuple(built)  # noqa: E731
    elif kind == "value":
        load = lambda cfg: payload  # noqa: E731
    elif kind == "raises":
        def load(cfg):
            raise payload
    elif kind == "not-callable":
        load = 5
    else:
        load = None

    if kind in ("list", "list-subclass"):
        expected, processors, contexts = expected_loading(elements)
    elif kind == "missing":
        expected, processors, contexts = (
            Expect(Exception, prefix="load_plugin_data should exist: "), None, [])
    elif kind in ("raises", "not-callable"):
        expected, processors, contexts = (
            Expect(Exception, prefix="load_plugin_data should be callable: "), None, [])
    else:
        expected, processors, contexts = (
            Expect(Exception, prefix="load_plugin_data should return a list: "), None, [])

    host = Host(config, one_trace_per_test=one_trace, trace_id=HOST_TRACE_ID)
    store = Capture()
    hooked = []
    caplog.clear()
    with pytest.MonkeyPatch.context() as mp, caplog.at_level(logging.WARNING, logger="tavo"):
        if load is None:
            mp.delattr(tavo.plugins, "load_plugin_data")
        else:
            mp.setattr(tavo.plugins, "load_plugin_data", load)
        mp.setattr(tavo.db, "save_trace_in_sqlite", store)
        mp.setattr(sys, "unraisablehook", lambda info: hooked.append(info.exc_value))
        error, installed, result = run_registered(host)

    for builder in contexts:
        assert builder.calls == [config]
    note(f"refused: {type(error).__name__}" if error is not None else "registered")
    if expected is not None:
        assert error is not None, "registration accepted plugin data it should refuse"
        expected.check(error)
        assert installed is None
        return
    assert error is None, f"registration refused the plugin data: {error!r}"
    assert result == TARGET_RESULT

    state = {"buffer": [], "saved": [], "generation": 0}
    failures, unraisable = [], []
    for event in ("call", "return"):
        f, u = simulate_plugin_event(processors, event, one_trace, state)
        failures += [(event, e) for e in f]
        unraisable += u

    # Failures: one warning each, in order; unraisable instance checks.
    warnings = tavo_warnings(caplog)
    note(f"plugin failures reported: {min(len(failures), 3)}")
    note(f"processors for the profiled function: {min(len(processors), 3)}")
    note(f"records: {min(len(state['buffer']) + sum(len(i) for _, i in state['saved']), 6)}")
    note(f"traces saved at end markers: {min(len(state['saved']), 2)}")
    assert len(warnings) == len(failures), [w.exc_info[1] for w in warnings]
    for record, (event, expect) in zip(warnings, failures):
        check_warning(record, event, expect)
    assert len(hooked) == len(unraisable)
    assert all(a is b for a, b in zip(hooked, unraisable))

    # Callables receive the frame, the event, the argument and their context.
    for data, context in processors:
        for key in ("call", "process"):
            fn = data[key]
            if isinstance(fn, Predicate):
                for co_name, event, arg, ctx in fn.calls:
                    assert co_name == "fuzz_target" and event in ("call", "return")
                    assert arg == (None if event == "call" else TARGET_RESULT)
                    assert ctx is context or (not context and ctx == {})

    # The saved traces and the final document hold what the buffers should.
    saved = store.documents()
    assert len(saved) == len(state["saved"])
    trace_ids = {}
    for document, (generation, items) in zip(saved, state["saved"]):
        doc = check_document(document)
        assert [signature(r) for r in doc["frames_of_interest"]] == items
        trace_ids.setdefault(generation, doc["trace_id"])
        assert trace_ids[generation] == doc["trace_id"]
    final = check_document(host.rust_profiler.build_trace())
    assert [signature(r) for r in final["frames_of_interest"]] == state["buffer"]
    trace_ids.setdefault(state["generation"], final["trace_id"])
    assert trace_ids[state["generation"]] == final["trace_id"]
    if 0 in trace_ids:
        assert trace_ids[0] == HOST_TRACE_ID
    assert len(set(trace_ids.values())) == len(trace_ids)
    for generation, trace_id in trace_ids.items():
        if generation:
            assert ID_RE.fullmatch(trace_id) and trace_id.startswith("trc_")


# ---------------------------------------------------------------- 4. serializer results


def msgpack_values():
    scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                        st.floats(allow_nan=False), st.text(max_size=10),
                        st.binary(max_size=10))
    return st.recursive(scalars, lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=5), inner, max_size=3)),
        max_leaves=6)


class LenRaises(collections.abc.Sequence):
    """A sequence of byte values whose length cannot be read."""

    def __init__(self, data):
        self.data = list(data)

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return self.data[index]

    def __iter__(self):
        return iter(self.data)


class IterFails(LenRaises):
    """A sequence of byte values whose iteration raises midway."""

    def __init__(self, data, exc, at):
        super().__init__(data)
        self.exc, self.at = exc, at

    def __len__(self):
        return len(self.data)

    def __iter__(self):
        yield from self.data[:self.at]
        raise self.exc


WRAPPERS = {
    "bytes": bytes, "bytearray": bytearray, "memoryview": lambda b: memoryview(bytes(b)),
    "list": list, "tuple": tuple, "len-raises": LenRaises,
}


def byte_payload():
    """(bytes, the value they hold if they are exactly one MessagePack value, or a
    marker that they are not)."""
    values = msgpack_values()
    one = values.map(lambda v: (msgpack.packb(v), ("value", v)))
    not_one = st.one_of(
        st.just((b"", "invalid")),
        st.tuples(values, st.integers(0, 10**6)).map(
            lambda p: (lambda b: (b[:p[1] % len(b)], "invalid"))(msgpack.packb(p[0]))),
        st.tuples(values, values).map(
            lambda p: (msgpack.packb(p[0]) + msgpack.packb(p[1]), "invalid")),
        st.just((b"\xc1", "invalid")),
        st.just((b"\x91\xc1", "invalid")),
        values.map(lambda v: (b"\xc1" + msgpack.packb(v), "invalid")),
        st.tuples(values, st.binary(min_size=1, max_size=3)).map(
            lambda p: (msgpack.packb(p[0]) + p[1], "invalid")),
    )
    return st.one_of(one, one, not_one)


def outcome():
    """A recipe for one serializer result: (kind, payload)."""
    valid = st.tuples(
        msgpack_values().map(lambda v: (msgpack.packb(v), ("value", v))),
        st.sampled_from(sorted(WRAPPERS))).map(lambda p: ("bytes", p))
    anything = st.one_of(
        st.tuples(byte_payload(), st.sampled_from(sorted(WRAPPERS))).map(
            lambda p: ("bytes", p)),
        st.text(max_size=5).map(lambda t: ("str", t)),
        exception().map(lambda exc: ("raises", exc)),
        st.sampled_from([None, 5, 2.5, {}, {1, 2}, object()]).map(lambda v: ("not-sequence", v)),
        st.tuples(st.sampled_from([256, -1, 2**70, -(2**70), 1000]), st.integers(0, 3)).map(
            lambda p: ("out-of-range", p)),
        st.tuples(st.sampled_from(["a", 1.5, None, b"x"]), st.integers(0, 3)).map(
            lambda p: ("not-int", p)),
        st.tuples(msgpack_values(), exception(), st.integers(0, 3)).map(
            lambda p: ("iter-fails", p)),
    )
    # Mostly results that work, so that events with several serializer calls
    # get through often enough to check the records they leave.
    return st.integers(0, 9).flatmap(lambda i: valid if i < 6 else anything)


def realise(recipe):
    """(the object the fake serializer returns, Expect or ("value", v))."""
    kind, payload = recipe
    if kind == "bytes":
        (data, meaning), wrapper = payload
        result = WRAPPERS[wrapper](data)
        if meaning == "invalid":
            return result, Expect(Exception)
        return result, meaning
    if kind == "str":
        return payload, Expect(TypeError, message=STR_TO_VEC)
    if kind == "raises":
        return payload, Expect(instance=payload)
    if kind == "not-sequence":
        name = type(payload).__qualname__
        return payload, Expect(TypeError,
                               message=f"'{name}' object cannot be converted to 'Sequence'")
    if kind in ("out-of-range", "not-int"):
        bad, at = payload
        items = list(msgpack.packb([1, 2, 3]))
        items.insert(min(at, len(items)), bad)
        if kind == "out-of-range":
            return items, Expect(OverflowError, message=OUT_OF_RANGE)
        return items, Expect(TypeError)
    value, exc, at = payload
    data = list(msgpack.packb(value))
    return IterFails(data, exc, min(at, len(data))), Expect(instance=exc)


class FakeSerializer:
    """Gives the prepared results in turn; plugin records, which must stay maps,
    get their real encoding instead of a prepared value."""

    def __init__(self, recipes):
        self.recipes = recipes
        self.log = []

    def __call__(self, obj):
        result, meaning = realise(self.recipes[len(self.log) % len(self.recipes)])
        self.log.append(obj)
        if isinstance(meaning, tuple) and isinstance(obj, dict) and "frame_id" in obj:
            return msgpack.packb(obj)
        if is_exception(result):
            raise result
        return result


def wrong_serializer(obj):
    raise AssertionError("the serializer not selected by lightweight_repr was called")


def serializer_role(obj):
    if isinstance(obj, dict) and "frame_id" in obj:
        return "plugin"
    if isinstance(obj, dict):
        return "locals"
    return "arg"


@FUZZ
@given(recipes=st.lists(outcome(), min_size=1, max_size=6), light=st.booleans(),
       with_plugin=st.booleans())
# A byte value too large for a machine integer is out of range like 256.
@example(recipes=[("out-of-range", (2**70, 0))], light=False, with_plugin=False)
def test_random_serializer_results(caplog, recipes, light, with_plugin):
    plugin = {"co_names": ["fuzz_target"], "path_fragment": "test_fuzz",
              "call_type": "fuzz_call", "return_type": "fuzz_return"}
    host = Host({"lightweight_repr": light}, trace_id=HOST_TRACE_ID)
    fake = FakeSerializer(recipes)
    caplog.clear()
    with pytest.MonkeyPatch.context() as mp, caplog.at_level(logging.WARNING, logger="tavo"):
        mp.setattr(tavo.plugins, "load_plugin_data",
                   lambda cfg: [dict(plugin)] if with_plugin else [])
        chosen, other = (("dump_msgpack_lightweight_repr", "dump_msgpack") if light
                         else ("dump_msgpack", "dump_msgpack_lightweight_repr"))
        mp.setattr(tavo.serialize, chosen, fake)
        mp.setattr(tavo.serialize, other, wrong_serializer)
        error, installed, result = run_registered(host)
        assert error is None, repr(error)
        assert result == TARGET_RESULT
        document = host.rust_profiler.build_trace()

    # Replay the serializer calls the two events must make, in order.
    calls, expected_roles, kept, failures = 0, [], [], []

    def next_outcome(obj_role):
        nonlocal calls
        expected_roles.append(obj_role)
        meaning = realise(recipes[calls % len(recipes)])[1]
        calls += 1
        if obj_role == "plugin" and isinstance(meaning, tuple):
            return ("record",)
        return meaning

    for event in ("call", "return"):
        items = []
        if with_plugin:
            meaning = next_outcome("plugin")
            if isinstance(meaning, Expect):
                failures.append((event, meaning))
            else:
                items.append(("plugin", "fuzz_call" if event == "call" else "fuzz_return"))
        arg = next_outcome("arg")
        if isinstance(arg, Expect):
            failures.append((event, arg))
            continue
        loc = next_outcome("locals")
        if isinstance(loc, Expect):
            failures.append((event, loc))
            continue
        items.append(("frame", event, arg[1], loc[1]))
        kept.extend(reversed(items) if event == "return" else items)

    assert [serializer_role(obj) for obj in fake.log] == expected_roles
    warnings = tavo_warnings(caplog)
    note(f"frame records kept: {sum(1 for k in kept if k[0] == 'frame')}")
    assert len(warnings) == len(failures), [w.exc_info[1] for w in warnings]
    for record, (event, expect) in zip(warnings, failures):
        check_warning(record, event, expect)

    doc = check_document(document)
    got = []
    for record in doc["frames_of_interest"]:
        if list(record)[:1] == ["path"]:
            got.append(("frame", record["event"], record["arg"], record["locals"]))
        else:
            got.append(("plugin", record["type"]))

    def same(a, b):
        if isinstance(a, float) and isinstance(b, float):
            return a == b or (math.isnan(a) and math.isnan(b))
        return a == b

    assert len(got) == len(kept), (got, kept)
    for g, k in zip(got, kept):
        assert len(g) == len(k) and all(same(x, y) for x, y in zip(g, k)), (g, k)


# ---------------------------------------------------------------- 5. host modules


class RaisingModule(types.ModuleType):
    """A module object on which every attribute access raises."""

    def __getattribute__(self, name):
        raise HostFailure(f"module attribute {name}")


def module_with_getattr(name, exc):
    module = types.ModuleType(name)

    def __getattr__(attribute):
        raise exc
    module.__getattr__ = __getattr__
    return module


def breakage():
    modules = ["tavo.serialize", "tavo.plugins", "tavo.db", "tavo.version", "tavo.git"]
    return st.one_of(
        st.tuples(st.sampled_from(modules), st.sampled_from(
            ["none", "empty-module", "raising-module", "getattr-raises"])),
        st.tuples(st.just("tavo.serialize"), st.sampled_from(["not-callable"])),
        st.tuples(st.just("tavo.plugins"), st.sampled_from(["not-callable", "returns-tuple"])),
        st.tuples(st.just("tavo.db"), st.sampled_from(["not-callable", "store-raises"])),
        st.tuples(st.just("tavo.version"), st.sampled_from(["wrong-type"])),
        st.tuples(st.just("tavo.git"), st.sampled_from(["wrong-type", "none-value"])),
        st.tuples(st.just("sys"), st.sampled_from(["argv-str", "argv-bad-item", "argv-empty"])),
    )


ATTRIBUTE = {"tavo.serialize": "dump_msgpack", "tavo.plugins": "load_plugin_data",
             "tavo.db": "save_trace_in_sqlite", "tavo.version": "__version__",
             "tavo.git": "COMMIT_SHA"}


def break_module(mp, module, how, exc):
    if module == "sys":
        mp.setattr(sys, "argv", {"argv-str": "prog --flag", "argv-bad-item": ["prog", 5],
                                 "argv-empty": []}[how])
        return
    real = sys.modules[module]
    attribute = ATTRIBUTE[module]
    if how == "none":
        mp.setitem(sys.modules, module, None)
    elif how == "empty-module":
        mp.setitem(sys.modules, module, types.ModuleType(module))
    elif how == "raising-module":
        mp.setitem(sys.modules, module, RaisingModule(module))
    elif how == "getattr-raises":
        mp.setitem(sys.modules, module, module_with_getattr(module, exc))
    elif how == "not-callable":
        mp.setattr(real, attribute, 5)
    elif how == "returns-tuple":
        mp.setattr(real, attribute, lambda cfg: ())
    elif how == "store-raises":
        def store(*args, **kwargs):
            raise exc
        mp.setattr(real, attribute, store)
    elif how == "wrong-type":
        mp.setattr(real, attribute, 5)
    elif how == "none-value":
        mp.setattr(real, attribute, None)
    # The parent package's attribute must not hide the broken module from
    # "import tavo.x" machinery either way: leave it as it is.


@FUZZ
@given(broken=breakage(), exc=exception())
def test_broken_host_modules(caplog, broken, exc):
    module, how = broken
    host = Host({}, trace_id=HOST_TRACE_ID)
    store = Capture()
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="tavo"):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(tavo.db, "save_trace_in_sqlite", store)
            break_module(mp, module, how, exc)
            error, installed, result = run_registered(host)
            warnings = tavo_warnings(caplog)
            if error is None:
                profiler = host.rust_profiler
                try:
                    document = profiler.build_trace()
                except Exception as build_exc:  # noqa: BLE001
                    document, build_error = None, build_exc
                else:
                    build_error = None
        # Repaired host: what the broken build left in the buffers is collected.
        if error is None:
            repaired = check_document(profiler.build_trace())

    if module == "tavo.plugins":
        assert error is not None
        assert installed is None
        if how == "none":
            Expect(Exception, prefix="tavo.plugins should always be importable: ").check(error)
        elif how in ("empty-module", "getattr-raises"):
            Expect(Exception, prefix="load_plugin_data should exist: ").check(error)
        elif how == "raising-module":
            assert str(error).startswith(("tavo.plugins should always be importable: ",
                                          "load_plugin_data should exist: ")), str(error)
        elif how == "not-callable":
            Expect(Exception, prefix="load_plugin_data should be callable: ").check(error)
        else:
            Expect(Exception, prefix="load_plugin_data should return a list: ").check(error)
        return

    assert error is None, repr(error)
    assert result == TARGET_RESULT
    if module == "tavo.serialize":
        # Every event of the recorded function fails and is reported.
        assert [w.args[2] for w in warnings] == ["call", "return"]
        for w in warnings:
            assert isinstance(w.exc_info[1], Exception)
        if how == "getattr-raises":
            assert warnings[0].exc_info[1] is exc
        assert build_error is None
        assert target_records(check_document(document)) == []
        assert target_records(repaired) == []
        return

    assert warnings == []
    if module in ("tavo.version", "tavo.git", "sys"):
        # Whatever the program made of sys.argv, the document is built.
        build_fails = module != "sys" and how != "none-value"
        if build_fails:
            # The build fails before touching the buffers: nothing is lost.
            assert document is None and isinstance(build_error, Exception)
            if how == "wrong-type":
                Expect(TypeError).check(build_error)
            elif how == "getattr-raises":
                assert build_error is exc
            assert [r["event"] for r in target_records(repaired)] == ["call", "return"]
        else:
            doc = check_document(document)
            assert [r["event"] for r in target_records(doc)] == ["call", "return"]
            if how == "none-value":
                assert doc["current_commit_sha"] is None
            else:
                assert doc["command_line_args"] == (["prog", "5"] if how == "argv-bad-item" else [])
        return

    # tavo.db: building works; saving fails once the document is built.
    assert module == "tavo.db" and build_error is None
    assert [r["event"] for r in target_records(check_document(document))] == ["call", "return"]
    with pytest.MonkeyPatch.context() as mp:
        break_module(mp, module, how, exc)
        clear_profile()
        _tavo.register_profiler(host)
        try:
            fuzz_target(40)
        finally:
            sys.setprofile(None)
            threading.setprofile(None)
        with pytest.raises(Exception) as raised:
            host.rust_profiler.save_request_in_db()
        if how in ("getattr-raises", "store-raises"):
            assert raised.value is exc
    # The records taken for the failed save are either gone or back in the
    # buffers, whole and once.
    left = target_records(check_document(host.rust_profiler.build_trace()))
    assert [r["event"] for r in left] in ([], ["call", "return"])
    assert store.calls == []
