"""Loading the plugin descriptions that the host package's `load_plugin_data`
returns: the host contract, the keys of a description and what loading them
does, seen through registration and the plugin records of the trace."""

import gc
import sys
import threading
import weakref

import pytest

import tavo.plugins
from tavo import _tavo

from conftest import Host, decode, profiling

HERE = "tests/test_plugin_loading.py"


def watched(x=1):
    return x * 2


def other():
    return 0


def description(**changes):
    data = {"co_names": ["watched"], "path_fragment": HERE, "call_type": "p_call", "return_type": "p_return"}
    for key, value in changes.items():
        if value is KeyError:
            del data[key]
        else:
            data[key] = value
    return data


@pytest.fixture
def plugins(monkeypatch):
    """Sets what `load_plugin_data` returns; records the configs it is given."""
    given = []

    def install(*descriptions, result=None):
        def load_plugin_data(*args, **kwargs):
            given.append((args, kwargs))
            return list(descriptions) if result is None else result
        monkeypatch.setattr(tavo.plugins, "load_plugin_data", load_plugin_data)
        return given
    return install


def run(*calls, host=None):
    """Registers `host`, makes `calls` (default: watched()) and returns the
    decoded records of the main thread."""
    host = host or Host()
    with profiling(host) as profiler:
        for call in calls or [watched]:
            call()
    doc = decode(profiler.build_trace())
    return doc["frames_of_interest"]


def kinds(records):
    """Plugin records as their type, frame records of the watched functions
    as "co_name:event"."""
    return [r["type"] if r["type"] != "frame" else f'{r["co_name"]}:{r["event"]}' for r in records
            if r["type"] != "frame" or r["co_name"] in ("watched", "other", "r", "u", "n", "run")]


def assert_refused(exc, match, change):
    """After `change()`, registration fails with `exc` and changes nothing:
    the profiler already installed keeps recording and the host gets no
    `rust_profiler`."""
    sentinel = Host()
    _tavo.register_profiler(sentinel)
    host = Host({"threading": True})
    try:
        change()
        with pytest.raises(exc, match=match) as info:
            _tavo.register_profiler(host)
        watched()
    finally:
        sys.setprofile(None)
    assert not hasattr(host, "rust_profiler") and threading.getprofile() is None
    assert kinds(decode(sentinel.rust_profiler.build_trace())["frames_of_interest"]) == [
        "watched:call", "watched:return"]
    return info.value


# --- the host contract ------------------------------------------------------------


def load_raises(config):
    raise ValueError("boom")


@pytest.mark.parametrize("change, prefix, cause", [
    ("unimportable", "tavo.plugins should always be importable", "None in sys.modules"),
    ("missing", "load_plugin_data should exist", "load_plugin_data"),
    (5, "load_plugin_data should be callable", "'int' object is not callable"),
    (load_raises, "load_plugin_data should be callable", "boom"),
    (lambda config: (), "load_plugin_data should return a list", "tuple"),
    (lambda config: None, "load_plugin_data should return a list", "NoneType"),
    (lambda config: {"co_names": []}, "load_plugin_data should return a list", "dict"),
])
def test_host_contract_failures(monkeypatch, change, prefix, cause):
    def apply():
        if change == "unimportable":
            monkeypatch.setitem(sys.modules, "tavo.plugins", None)
        elif change == "missing":
            monkeypatch.delattr(tavo.plugins, "load_plugin_data")
        else:
            monkeypatch.setattr(tavo.plugins, "load_plugin_data", change)
    error = assert_refused(Exception, "^" + prefix.replace(".", r"\.") + ": ", apply)
    assert cause in str(error)  # the underlying error is described


class Listing(list):
    pass


class Description(dict):
    pass


@pytest.mark.parametrize("result", [[], Listing(), Listing([Description(description())])])
def test_list_and_dict_subclasses_are_accepted(plugins, result):
    plugins(result=result)
    expected = ["p_call", "watched:call", "watched:return", "p_return"] if result else [
        "watched:call", "watched:return"]
    assert kinds(run()) == expected


# --- the keys of a description ------------------------------------------------------


def not_iterable_after_one():
    yield "watched"
    raise LookupError("co_names broke")


def context_list(config):
    return []


def context_raises(config):
    raise ArithmeticError("no context")


@pytest.mark.parametrize("data, exc, match", [
    (["co_names", "watched"], TypeError, "cannot be converted to 'PyDict'"),
    (None, TypeError, "cannot be converted to 'PyDict'"),
    (description(co_names=KeyError), KeyError, "co_names"),
    (description(co_names=None), TypeError, None),
    (description(co_names=5), TypeError, None),
    (description(co_names=[1]), TypeError, None),
    (description(co_names=["watched", b"other"]), TypeError, None),
    (description(co_names=not_iterable_after_one()), LookupError, "co_names broke"),
    (description(path_fragment=KeyError), KeyError, "path_fragment"),
    (description(path_fragment=None), TypeError, None),
    (description(path_fragment=b"tests"), TypeError, None),
    (description(path_fragment="\ud800"), UnicodeEncodeError, None),
    (description(call_type=KeyError), KeyError, "call_type"),
    (description(call_type=None), TypeError, None),
    (description(call_type=1), TypeError, None),
    (description(return_type=KeyError), KeyError, "return_type"),
    (description(return_type=None), TypeError, None),
    (description(return_type=["end"]), TypeError, None),
    (description(subtype=None), TypeError, None),
    (description(subtype=3), TypeError, None),
    (description(events="call"), TypeError, "^Can't extract `str` to `Vec`$"),
    (description(events=5), TypeError, None),
    (description(events=["call", 2]), TypeError, None),
    (description(build_context=context_list), TypeError, "cannot be converted to 'PyDict'"),
    (description(build_context=context_raises), ArithmeticError, "no context"),
    (description(build_context=5), TypeError, None),
])
def test_refused_descriptions(plugins, data, exc, match):
    # a valid description first: what was loaded before the fault is dropped too
    error = assert_refused(exc, match, lambda: plugins(description(call_type="earlier"), data))
    assert type(error) is exc


@pytest.mark.parametrize("changes, expected", [
    ({"call": None, "process": None, "events": None, "build_context": None},
     ["p_call", "watched:call", "watched:return", "p_return"]),
    ({"events": ["return"]}, ["watched:call", "watched:return", "p_return"]),
    ({"events": ("call",)}, ["p_call", "watched:call", "watched:return"]),
    ({"events": []}, ["watched:call", "watched:return"]),
    ({"call": lambda *args: False}, ["watched:call", "watched:return"]),
    ({"call": 5}, ["watched:call", "watched:return"]),  # stored unchecked, fails at the event
    ({"process": 5}, ["watched:call", "watched:return"]),
    ({"path_fragment": "elsewhere/"}, ["watched:call", "watched:return"]),
    ({"path_fragment": ""}, ["p_call", "watched:call", "watched:return", "p_return"]),
])
def test_accepted_descriptions(plugins, changes, expected):
    plugins(description(**changes))
    assert kinds(run()) == expected


def test_plugin_record_keys(plugins):
    plugins(description(subtype="sub", process=lambda frame, event, arg, ctx: {"event": event}),
            description(co_names=["watched"], call_type="plain", return_type="plain_end"))
    records = [r for r in run() if r["type"] != "frame"]
    keys = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]
    assert [(r["type"], list(r)) for r in records] == [
        ("p_call", keys + ["subtype", "event"]), ("plain", keys),
        ("plain_end", keys), ("p_return", keys + ["subtype", "event"])]
    assert records[0]["subtype"] == "sub" and records[0]["event"] == "call"
    assert records[0]["frame_id"] == records[3]["frame_id"]


def test_config_is_handed_over_and_empty_co_names_still_builds_the_context(plugins):
    built = []
    given = plugins({"co_names": [], "build_context": lambda config: built.append(config) or {}},
                    description())
    host = Host({"x": 1})
    assert kinds(run(host=host)) == ["p_call", "watched:call", "watched:return", "p_return"]
    assert given == [((host.config,), {})] and given[0][0][0] is host.config
    assert len(built) == 1 and built[0] is host.config


def test_keys_are_read_afresh_for_each_name(plugins):
    data = description()

    def names():
        yield "watched"
        data.update(call_type="changed", events=["call"])
        yield "other"

    data["co_names"] = names()
    plugins(data)
    assert kinds(run(watched, other)) == [
        "p_call", "watched:call", "watched:return", "p_return", "changed", "other:call", "other:return"]


@pytest.mark.parametrize("broken", [False, True])
def test_plugin_callables_are_released(plugins, broken):
    """With the profiler; at once when a later description is refused."""
    class Predicate:
        def __call__(self, *args):
            return True

    loaded = [description(call=Predicate(), process=Predicate())] + [description(subtype=None)] * broken
    released = [weakref.ref(loaded[0]["call"]), weakref.ref(loaded[0]["process"])]
    plugins(result=loaded)
    host = Host()
    if broken:
        with pytest.raises(TypeError):
            _tavo.register_profiler(host)
    else:
        with profiling(host):
            pass
    loaded.clear()
    gc.collect()
    assert all((ref() is None) is broken for ref in released)
    del host
    gc.collect()
    assert all(ref() is None for ref in released)


def test_co_names_text_is_taken_letter_by_letter(plugins):
    plugins(description(co_names="run", path_fragment="/home/u/app/"))
    namespace = {"__name__": "letters"}
    exec(compile("def r(): pass\ndef u(): pass\ndef n(): pass\ndef run(): pass\n",
                 "/home/u/app/letters.py", "exec"), namespace)
    calls = [namespace[name] for name in ("r", "u", "n", "run")]
    assert kinds(run(*calls)) == [
        "p_call", "r:call", "r:return", "p_return", "p_call", "u:call", "u:return", "p_return",
        "p_call", "n:call", "n:return", "p_return", "run:call", "run:return"]


def test_one_context_per_description_shared_by_its_processors(plugins):
    contexts = []

    def build_context(config):
        contexts.append({"calls": 0})
        return contexts[-1]

    def count(frame, event, arg, context):
        context["calls"] += 1
        return True

    def process(frame, event, arg, context):
        return {"calls": context["calls"], "context": id(context)}

    shared = dict(co_names=["watched", "other"], build_context=build_context, call=count, process=process)
    plugins(description(**shared), description(**shared, call_type="b_call", return_type="b_return"))
    records = [r for r in run(watched, other) if r["type"] != "frame"]
    assert len(contexts) == 2
    assert [(r["type"], r["calls"], r["context"]) for r in records] == [
        ("p_call", 1, id(contexts[0])), ("b_call", 1, id(contexts[1])),
        ("b_return", 2, id(contexts[1])), ("p_return", 2, id(contexts[0])),
        ("p_call", 3, id(contexts[0])), ("b_call", 3, id(contexts[1])),
        ("b_return", 4, id(contexts[1])), ("p_return", 4, id(contexts[0]))]
    assert contexts == [{"calls": 4}, {"calls": 4}]


def test_processors_of_one_name_run_in_load_order(plugins):
    plugins(description(call_type="first", return_type="first_end"),
            description(co_names=["watched", "watched"], call_type="second", return_type="second_end"))
    assert kinds(run()) == ["first", "second", "second", "watched:call",
                            "watched:return", "second_end", "second_end", "first_end"]


@pytest.mark.parametrize("change", ["append", "clear"])
def test_list_changed_while_loading(plugins, change):
    listing = []

    def build_context(config):
        if change == "append":
            listing.append(description(call_type="appended", return_type="appended_end"))
        else:
            listing.clear()
        return {}

    listing += [description(build_context=build_context),
                description(call_type="later", return_type="later_end")]
    plugins(result=listing)
    expected = {"append": ["p_call", "later", "watched:call", "watched:return", "later_end", "p_return"],
                "clear": ["p_call", "watched:call", "watched:return", "p_return"]}
    assert kinds(run()) == expected[change]
