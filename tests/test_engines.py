"""The two engines: the same records from the same program, installing and
stopping, tool ids, and running beside other tools of the monitoring API."""

import asyncio
import re
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

import tavo
from conftest import ENGINES, Host, decode, profiling, records_of
from tavo import _tavo

ID = re.compile(rb"(frm|trc)_[0-9A-Z]{26}")


def plain(value):
    return value + 1


def numbers():
    yield 1
    try:
        yield 2
    except ValueError:
        yield 3
    return 4


def fails():
    raise KeyError("k")


async def waits():
    await asyncio.sleep(0)
    return plain(1)


def program():
    plain(1)
    gen = numbers()
    next(gen), next(gen), gen.throw(ValueError("v"))
    with pytest.raises(StopIteration):
        next(gen)
    closed = numbers()
    next(closed)
    closed.close()
    with pytest.raises(KeyError):
        fails()
    asyncio.run(waits())
    exec(compile("plain(2)\nclass Body:\n    x = plain(3)\n", __file__ + "-module", "exec"),
         {"plain": plain, "__name__": "generated"})
    worker = threading.Thread(target=plain, args=(5,), name="worker")
    worker.start()
    worker.join()
    del worker  # its native id differs from run to run


def normalised_records(engine):
    """Every record the program gives on `engine`, ids numbered by first use and
    times zeroed, as MessagePack bytes."""
    with tavo.profile(None, config={"engine": engine, "threading": True}) as profiler:
        program()
    doc = decode(profiler.trace)
    records = doc["frames_of_interest"] + [r for rs in doc["frames"].values() for r in rs]
    packed = msgpack.packb([{**r, "timestamp": 0, "thread_native_id": 0} for r in records])
    ids = {}
    return ID.sub(lambda m: b"id_%027d" % ids.setdefault(m.group(0), len(ids)), packed)


def test_both_engines_give_the_same_records():
    on_profile, on_monitoring = (normalised_records(engine) for engine in ENGINES)
    records = decode(on_profile)
    kinds = {(r.get("co_name"), r.get("event"), r["type"]) for r in records}
    # What the program does is all there: resumes, throw(), close(), an exception,
    # a coroutine, module code, a class body and a thread started while profiling.
    assert {("numbers", "call", "frame"), (None, None, "exception"), ("waits", "return", "frame"),
            ("<module>", "call", "frame"), ("Body", "return", "frame")} <= kinds
    assert sum(r.get("co_name") == "plain" and r["thread"] != "MainThread" for r in records) == 2
    assert on_monitoring == on_profile


@pytest.mark.parametrize("engine", ENGINES)
def test_unregister_stops_the_engine_and_frees_what_it_holds(engine):
    _tavo.unregister_profiler()  # nothing installed: nothing to do
    host = Host({"engine": engine})
    _tavo.register_profiler(host)
    plain(1)
    _tavo.unregister_profiler()
    plain(2)
    _tavo.unregister_profiler()
    assert [r["locals"]["value"] for r in records_of(host.rust_profiler.build_trace(), co_name="plain")
            if r["event"] == "call"] == [1]
    assert sys.getprofile() is None and sys.monitoring.get_tool(4) is None


def test_a_new_profiler_records_code_an_earlier_one_switched_off():
    # The first profiler leaves this file out, so the interpreter stops reporting
    # `plain`; the second records it.
    with profiling(Host({"engine": "monitoring", "filters": {"ignore_frames": [__file__]}})):
        plain(1)
    with profiling(Host({"engine": "monitoring"})) as second:
        plain(2)
    assert len(records_of(second.build_trace(), co_name="plain")) == 2


@pytest.fixture
def taken_tool_ids():
    taken = []

    def take(*tools):
        for tool in tools:
            sys.monitoring.use_tool_id(tool, f"other {tool}")
            taken.append(tool)
    yield take
    for tool in taken:
        sys.monitoring.free_tool_id(tool)


def test_a_taken_tool_id_is_left_alone(taken_tool_ids):
    profiler_id = sys.monitoring.PROFILER_ID
    taken_tool_ids(4, 3)
    with profiling(Host({"engine": "monitoring"})) as native:
        assert sys.monitoring.get_tool(profiler_id) == "tavo"
        plain(1)
    assert len(records_of(native.build_trace(), co_name="plain")) == 2
    taken_tool_ids(profiler_id)
    with pytest.raises(RuntimeError, match=rf"tool id 4, 3 or {profiler_id} \(PROFILER_ID\), and all are "
                                           rf"in use \(by \['other 4', 'other 3', 'other {profiler_id}'\]\)"):
        _tavo.register_profiler(Host({"engine": "monitoring"}))
    assert sys.monitoring.get_tool(4) == "other 4"


def test_past_the_budget_another_tools_switched_off_events_stay_off(taken_tool_ids):
    # Switching tavo's events back on after a budget would switch the other
    # tool's on too: with another tool present, tavo counts them instead.
    seen = []

    def on_start(code, offset):
        seen.append(code.co_name)
        return sys.monitoring.DISABLE

    with tavo.profile(None, config={"engine": "monitoring", "buffer_budget": 4096}) as p:
        taken_tool_ids(sys.monitoring.COVERAGE_ID)
        sys.monitoring.register_callback(sys.monitoring.COVERAGE_ID, sys.monitoring.events.PY_START,
                                         on_start)
        sys.monitoring.set_events(sys.monitoring.COVERAGE_ID, sys.monitoring.events.PY_START)
        for i in range(200):
            plain(i)
        p.rust_profiler.build_trace()  # the buffers empty: recording resumes
        plain(0)
        sys.monitoring.set_events(sys.monitoring.COVERAGE_ID, 0)
    assert seen.count("plain") == 1
    assert "uncounted_after_budget" not in p.losses


def test_the_program_profiles_itself_under_tavo(engine):
    # tavo.profile() claims a tool id with either engine (the profile engine
    # for its exception records), not the one the standard library's profiler
    # asks for when the program starts it.
    import cProfile
    import pstats

    with tavo.profile(None, config={"engine": engine}) as p:
        own = cProfile.Profile()
        own.enable()
        plain(1)
        own.disable()
    assert len(records_of(p.trace, co_name="plain")) == 2
    assert any(name == "plain" for _, _, name in pstats.Stats(own).stats)
    assert [sys.monitoring.get_tool(i) for i in (sys.monitoring.PROFILER_ID, 3, 4)] == [None] * 3


@pytest.mark.parametrize("engine, error, message", [
    ("other", ValueError, 'config\\["engine"\\] must be "profile" or "monitoring"'),
    ("monitoring", RuntimeError, "needs sys.monitoring"),
])
def test_an_engine_that_cannot_run_is_an_error(monkeypatch, engine, error, message):
    monkeypatch.delattr(sys, "monitoring")
    with pytest.raises(error, match=message):
        _tavo.register_profiler(Host({"engine": engine}))


def test_beside_cprofile():
    import cProfile
    import pstats

    # cProfile holds the profilers' tool id when tavo starts.
    other = cProfile.Profile()
    other.enable()
    try:
        with profiling(Host({"engine": "monitoring"})) as native:
            assert sys.monitoring.get_tool(4) == "tavo"
            plain(1)
    finally:
        other.disable()
    assert len(records_of(native.build_trace(), co_name="plain")) == 2
    assert any(name == "plain" for _, _, name in pstats.Stats(other).stats)


def test_beside_coverage_on_its_monitoring_core(tmp_path):
    script = tmp_path / "covered.py"
    script.write_text(textwrap.dedent("""\
        import tavo
        def half(value):
            if value > 1:
                return value // 2
            return value
        with tavo.profile(None, config={"engine": "monitoring"}) as p:
            half(4)
        print(sum(r.get("co_name") == "half" for r in __import__("msgpack").unpackb(p.trace)["frames_of_interest"]))
        """))
    env = {**__import__("os").environ, "COVERAGE_CORE": "sysmon"}
    run = subprocess.run([sys.executable, "-m", "coverage", "run", "--data-file", str(tmp_path / "cov"),
                          str(script)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout) == (0, "2\n"), run.stderr
    report = subprocess.run([sys.executable, "-m", "coverage", "report", "-m", "--data-file",
                             str(tmp_path / "cov")], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    # Every line ran but the one that half(4) skips.
    assert re.search(r"covered\.py\s+8\s+1\s+88%\s+5\b", report.stdout), report.stdout
