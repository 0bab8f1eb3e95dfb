"""Which frames are recorded: the fixed path rules, the configured include /
ignore fragments and the check of the caller for attrs-generated methods.

Functions are compiled with chosen file names, so the profiler sees exactly
those paths."""

import _thread
import sys
import time

import pytest

from tavo import _tavo

from conftest import Host, decode, profiling


def compiled(filename, source):
    namespace = {"__name__": "filtered"}
    exec(compile(source, filename, "exec"), namespace)
    return namespace


def function_at(filename, name="target"):
    return compiled(filename, f"def {name}(*args):\n    return len(args)\n")[name]


def events_of(document, name):
    doc = decode(document) if isinstance(document, bytes) else document
    return [r["event"] for r in doc["frames_of_interest"] if r["co_name"] == name]


def recorded(filename, include=(), ignore=()):
    """Whether a function compiled at `filename` gets frame records."""
    target = function_at(filename)
    host = Host({"filters": {"include_frames": list(include), "ignore_frames": list(ignore)}})
    with profiling(host) as profiler:
        target()
    events = events_of(profiler.build_trace(), "target")
    assert events in ([], ["call", "return"])  # a call and its return go together
    return events == ["call", "return"]


OWN_FRAGMENTS = ["/tavo/config.py", "/tavo/db.py", "/tavo/django_schema.py", "/tavo/filters/",
                 "/tavo/generate_tests/", "/tavo/git.py", "/tavo/__init__.py", "/tavo/__main__.py",
                 "/tavo/middleware.py", "/tavo/profiler.py", "/tavo/pytest_plugin.py",
                 "/tavo/serialize.py", "/tavo/utils.py", "/tavo/version.py"]


@pytest.mark.parametrize("filename, expected", [
    ("/usr/lib/python3.12/json/decoder.py", False),
    ("/home/u/mylib/python/x.py", False),  # "lib/python" anywhere
    ("/venv/lib64/python3.12/x.py", True),
    ("/opt/site-packages/x.py", False),
    ("/home/u/app/site-packages-notes/x.py", True),
    ("/home/u/app/site-packages", True),
    ("/home/u/project/tavo/db.py", False),
    ("/home/u/project/tavo/dbx.py", True),
    ("/home/u/project/tavo/config.pyc", False),
    ("/home/u/project/Tavo/db.py", True),  # case-sensitive
    ("/home/u/project/tavo/plugins.py", True),  # not in the own-package list
    ("tavo/db.py", True),  # needs the leading slash
    ("<frozen x>", False),
    ("<frozen importlib._bootstrap>", False),
    ("<frozenx>", True),
    ("<string>", False),
    ("/home/u/<string>/x.py", False),
    ("<strin>", True),
    ("<stdin>", True),
    ("<pytest match expression>", False),
    ("<pytest match expression>x", True),
    ("x<pytest match expression>", True),
    ("<attrs generated init x>", False),
    ("<attrs generated", False),
    ("<attrs generate", True),
    ("x<attrs generated init>", True),
    ("", True),
    ("/home/u/prøject/x.py", True),
] + [(f"/home/u/project{fragment}x.py" if fragment.endswith("/") else f"/home/u/project{fragment}", False)
     for fragment in OWN_FRAGMENTS])
def test_fixed_rules(filename, expected):
    assert recorded(filename) is expected


@pytest.mark.parametrize("filename, include, ignore, expected", [
    ("/venv/lib/python3.12/site-packages/mylib/core.py", ["site-packages/mylib"], [], True),
    ("/venv/lib/python3.12/site-packages/other/core.py", ["site-packages/mylib"], [], False),
    ("/home/u/project/tavo/db.py", ["/tavo/"], [], True),
    ("<string>", ["<string>"], [], True),
    ("<frozen x>", ["<frozen"], [], True),
    ("<pytest match expression>", ["pytest"], [], True),
    ("<attrs generated init x>", ["attrs"], [], True),
    ("/app/main.py", [], ["/app/"], False),
    ("/app/main.py", ["main.py"], ["/app/"], True),
    ("/app/main.py", [], ["/APP/"], True),
    ("/app/main.py", [], ["nothing", "main"], False),  # every fragment is tried
    ("/usr/lib/python3.12/json/decoder.py", ["nothing", "json/"], [], True),
    ("/usr/lib/python3.12/json/decoder.py", [""], [], True),
    ("<string>", [""], ["<string>"], True),
    ("/home/u/app/x.py", [], [""], False),
    ("/home/u/app/x.py", ["x.py"], [""], True),
    ("/home/u/prøject/x.py", [], ["prø"], False),  # compared as UTF-8 bytes
    ("/home/u/project/x.py", [], ["prø"], True),
])
def test_configured_fragments(filename, include, ignore, expected):
    assert recorded(filename, include, ignore) is expected


def test_ignore_list_is_copied_at_registration():
    target = function_at("/home/u/app/x.py")
    ignore = []
    with profiling(Host({"filters": {"ignore_frames": ignore}})) as profiler:
        ignore.append("/app/")
        target()
    assert events_of(profiler.build_trace(), "target") == ["call", "return"]


def test_each_profiler_decides_a_code_object_afresh():
    target = function_at("/home/u/app/cached.py")
    ignoring = Host({"filters": {"ignore_frames": ["/app/"]}})
    plain = Host()
    with profiling(ignoring) as first:
        target()
    with profiling(plain) as second:
        target()
    # back to the first profiler, after the second one has seen the code
    first.register_threading_profiler(None, None, None)
    target()
    sys.setprofile(None)
    with profiling(Host({"filters": {"include_frames": ["cached"], "ignore_frames": ["/app/"]}})) as third:
        target()
    assert events_of(first.build_trace(), "target") == []
    assert events_of(second.build_trace(), "target") == ["call", "return"]
    assert events_of(third.build_trace(), "target") == ["call", "return"]


ATTRS_MAKE = "/venv/lib/python3.12/site-packages/attr/_make.py"


def caller_at(filename, name="caller"):
    return compiled(filename, f"def {name}(fn, *rest):\n    return fn(*rest)\n")[name]


@pytest.mark.parametrize("chain, expected", [
    ([ATTRS_MAKE], False),
    (["attr/_make.py"], False),
    (["/home/u/app/attr/_make.py"], False),
    (["/home/u/app/attr/make.py"], True),
    (["/home/u/app/attrs/_make.py"], True),
    (["/home/u/app/attr/_make.pyc"], True),
    (["/home/u/app/main.py"], True),
    ([ATTRS_MAKE, ""], False),  # an empty caller file: its own caller decides
    (["/home/u/app/main.py", ""], True),
    ([ATTRS_MAKE, "", ""], True),  # only one level is skipped
    ([ATTRS_MAKE, "/home/u/app/main.py"], True),
])
def test_attrs_generated_callers(chain, expected):
    """`chain` lists the callers' files, outermost first; the last one calls
    the target."""
    target = function_at("/home/u/app/model.py")
    callers = [caller_at(filename, f"caller{depth}") for depth, filename in enumerate(chain)]
    with profiling(Host()) as profiler:
        callers[0](*callers[1:], target)
    assert events_of(profiler.build_trace(), "target") == (["call", "return"] if expected else [])


def test_attrs_check_follows_the_caller_of_each_call():
    target = function_at("/home/u/app/model.py")
    generated = caller_at(ATTRS_MAKE)
    with profiling(Host()) as profiler:
        generated(target)
        target(1)
        generated(target)
    doc = decode(profiler.build_trace())
    assert [(r["event"], r["locals"]) for r in doc["frames_of_interest"] if r["co_name"] == "target"] == [
        ("call", {"args": [1]}), ("return", {"args": [1]})]


def test_frame_without_caller_is_kept():
    """The first frame of a thread started with _thread has no caller: it
    registers the profiler, and its own return event is recorded."""
    host = Host()
    namespace = compiled("", "def first():\n    register(host)\n    return 7\n")
    namespace.update(register=_tavo.register_profiler, host=host)
    threads = _thread._count()
    _thread.start_new_thread(namespace["first"], ())
    deadline = time.monotonic() + 30
    while (not hasattr(host, "rust_profiler") or _thread._count() > threads) and time.monotonic() < deadline:
        time.sleep(0.005)
    assert _thread._count() == threads
    [record] = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    assert (record["co_name"], record["event"], record["frame_id"], record["arg"]) == ("first", "return", None, 7)


ANNOTATED = """\
def target(a: int) -> "list[int]":
    return [a]
class Point:
    x: int
    y: "Point"
class Own:
    def __annotate__(format):
        return {"z": int}
def read():
    return target.__annotations__, Point.__annotations__, Own.__annotate__(1)
"""


def test_the_interpreters_annotation_functions_are_generated_code(engine):
    # From 3.14 on the interpreter evaluates annotations through functions it
    # generates in the program's file; one the program defines is its own.
    namespace = compiled("/project/annotated.py", ANNOTATED)
    with profiling(Host()) as profiler:
        namespace["read"]()
    names = [r["qualname"] for r in decode(profiler.build_trace())["frames_of_interest"]
             if r.get("event") == "call" and r["path"].startswith("/project/annotated.py:")]
    assert names == ["filtered.read", "filtered.Own.__annotate__"]
