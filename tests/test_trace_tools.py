"""Reading traces: exception records, calls with durations (show, --summary), naming a
trace (last, prefixes), exports checked against their formats' rules, find, and test
outcomes. Most checks use one known program: two threads, a test boundary, a recursive
function and a call that raises."""

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import types

import msgpack
import pytest

from tavo import Profiler, db, traceformat

PROGRAM = textwrap.dedent("""\
    import threading

    class Boom(Exception):
        pass

    class Loud(Exception):
        def __str__(self):
            raise RuntimeError("__str__ must not run for plain arguments")

    def fact(n):
        return 1 if n <= 1 else n * fact(n - 1)

    def fail(x):
        raise Boom(f"bad {x}")

    def guarded():
        try:
            fail(7)
        except Boom:
            pass
        try:
            raise_loud()
        except Loud:
            return "caught"

    def raise_loud():
        raise Loud("plain", 1)

    def worker():
        return fact(4)

    def main():
        thread = threading.Thread(target=worker, name="helper")
        thread.start()
        thread.join()
        return guarded()
""")
# A function named and placed like pytest's per-test protocol, so the test-boundary
# plugin marks a test around what it runs.
RUNNER = "def runtestprotocol(item, work):\n    return work()\n"
TEST_NAME = "tests/test_known.py::test_it"


def load(path, name):
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def record_known_program(tmp_path, **config):
    (tmp_path / "program.py").write_text(PROGRAM)
    (tmp_path / "_pytest").mkdir(exist_ok=True)
    (tmp_path / "_pytest" / "runner.py").write_text(RUNNER)
    program = load(tmp_path / "program.py", "program")
    runner = load(tmp_path / "_pytest" / "runner.py", "known_runner")
    profiler = Profiler(None, config={"threading": True, "pytest": True, **config})
    with profiler:
        runner.runtestprotocol(types.SimpleNamespace(nodeid=TEST_NAME), program.main)
    return msgpack.unpackb(profiler.trace, strict_map_key=False, raw=False), profiler.trace


def all_records(document):
    yield from document["frames_of_interest"]
    for records in document["frames"].values():
        yield from records


@pytest.fixture(scope="module")
def known(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("known")
    document, blob = record_known_program(tmp)
    store = tmp / "traces.sqlite3"
    db.save_trace_in_sqlite(store, document["trace_id"], timeout=5, msgpack=blob)
    return types.SimpleNamespace(document=document, blob=blob, store=store,
                                 trace_id=document["trace_id"], tmp=tmp)


def tavo(*args, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


# Exception records -----------------------------------------------------------------

def test_exception_record_follows_the_raising_return(known):
    records = known.document["frames_of_interest"]
    [index] = [i for i, r in enumerate(records)
               if r.get("co_name") == "fail" and r.get("event") == "return"]
    returned, raised = records[index], records[index + 1]
    assert len(returned) == 12 and returned["arg"] is None  # the frame record is unchanged
    assert raised == {
        "frame_id": returned["frame_id"], "timestamp": raised["timestamp"],
        "thread": "MainThread", "thread_native_id": returned["thread_native_id"],
        "user_code_call_site": returned["user_code_call_site"], "type": "exception",
        "subtype": None, "exception_type": "program.Boom", "message": "bad 7",
    }
    assert raised["timestamp"] >= returned["timestamp"]
    # Plain arguments give the text without running the class's own __str__.
    [loud] = [r for r in records if r.get("type") == "exception"
              and r["exception_type"] == "program.Loud"]
    assert loud["message"] == "('plain', 1)"
    # Calls that returned normally, on either thread, have none.
    kinds = [r["type"] for r in all_records(known.document)]
    assert kinds.count("exception") == 2


@pytest.mark.parametrize("config", [{"exceptions": False}, {"exceptions": True, "lightweight_repr": True}])
def test_exception_records_off_or_bounded(tmp_path, config):
    document, _ = record_known_program(tmp_path, **config)
    raised = [r for r in all_records(document) if r.get("type") == "exception"]
    if not config["exceptions"]:
        assert raised == []
        return
    assert {r["exception_type"] for r in raised} == {"program.Boom", "program.Loud"}
    assert all(len(r["message"]) <= 80 for r in raised)


def test_the_native_module_alone_writes_no_exception_record(host):
    from conftest import profiling

    def fail():
        raise ValueError("x")

    with profiling(host) as native:
        try:
            fail()
        except ValueError:
            pass
    document = msgpack.unpackb(native.build_trace(), strict_map_key=False, raw=False)
    assert all(r["type"] == "frame" for r in document["frames_of_interest"])


# Calls, durations and the summary ---------------------------------------------------

def frame(event, name, frame_id, at, arg=None):
    return {"path": "app.py:1", "co_name": name, "qualname": f"app.{name}", "event": event,
            "frame_id": frame_id, "arg": arg, "locals": {}, "thread": "T",
            "thread_native_id": 1, "timestamp": at, "type": "frame",
            "user_code_call_site": None}


def test_pairing_durations_and_recursion_counted_once():
    records = [frame("call", "main", "m", 0.0), frame("call", "fact", "f1", 1.0),
               frame("call", "fact", "f2", 2.0), frame("return", "fact", "f2", 5.0, 1),
               {"type": "exception", "frame_id": "f2", "exception_type": "E", "message": "m"},
               frame("return", "fact", "f1", 9.0, 2), frame("call", "open", "o", 9.5),
               frame("return", "main", "m", 10.0)]
    steps = list(traceformat.pair_calls(records))
    returns = [s.call for s in steps if s.kind == "return"]
    assert [(c.frame_id, c.duration) for c in returns] == [("f2", 3.0), ("f1", 8.0), ("o", None),
                                                           ("m", 10.0)]
    assert returns[0].raised == ("E", "m") and returns[1].raised is None
    assert not returns[2].finished  # "open" never returned: closed when main returned
    summary = traceformat.CallTotals()
    for step in steps:
        summary.add(step)
    rows = {t.name: (t.calls, t.total, t.own, t.raised) for t in summary.rows()}
    assert rows["app.fact"] == (2, 8.0, 8.0, 1)  # 8, not 8 + 3
    assert rows["app.main"] == (1, 10.0, 2.0, 0)


def test_show_prints_durations_outcomes_threads_and_summary(known):
    lines = tavo("show", known.trace_id, "--db", known.store, cwd=known.tmp).stdout.splitlines()
    assert "main thread (MainThread):" in lines
    assert any(line.startswith("thread helper (") for line in lines)
    [fail_return] = [line for line in lines if "<- program.fail" in line]
    assert "raised program.Boom: bad 7  [" in fail_return and "returned" not in fail_return
    assert all(line.rstrip().endswith(("s]", "(no return recorded)"))
               for line in lines if line.lstrip().startswith("<- "))
    table = tavo("show", known.trace_id, "--db", known.store, "--summary",
                 cwd=known.tmp).stdout.splitlines()
    header = next(i for i, line in enumerate(table) if line.startswith("FUNCTION"))
    assert table[header].split() == ["FUNCTION", "CALLS", "TOTAL", "OWN", "RAISED"]
    rows = {line.split()[0]: line.split() for line in table[header + 1:]}
    assert rows["program.fact"][1] == "4" and rows["program.fail"][-1] == "1"


# Naming a trace ---------------------------------------------------------------------

def test_last_and_unique_prefixes(tmp_path, known):
    store = tmp_path / "two.sqlite3"
    ids = ["trc_01AAAAAAAAAAAAAAAAAAAAAAAA", "trc_01AABBBBBBBBBBBBBBBBBBBBBB"]
    for trace_id in ids:
        db.save_trace_in_sqlite(store, trace_id, timeout=5, msgpack=known.blob)
    for name, expected in (("last", ids[1]), ("trc_01AAA", ids[0]), ("trc_01AAB", ids[1])):
        shown = tavo("show", name, "--db", store, cwd=tmp_path)
        assert shown.returncode == 0 and shown.stdout.startswith(f"trace {expected}")
    for name, fragment in (("trc_01AA", "matches 2 traces"), ("trc_9", "no trace trc_9")):
        result = tavo("export", name, "--format", "json", "--db", store, cwd=tmp_path)
        assert result.returncode == 1 and result.stdout == ""
        [line] = result.stderr.splitlines()
        assert line.startswith("tavo: ") and fragment in line


@pytest.mark.parametrize("command", [["show", "last"], ["show", "last", "--json"],
                                     ["export", "last", "--format", "chrome"], ["find", "fact"]])
def test_a_damaged_document_is_one_line_error(tmp_path, known, command):
    store = tmp_path / "cut.sqlite3"
    db.save_trace_in_sqlite(store, "trc_cut", timeout=5, msgpack=known.blob[:len(known.blob) // 2])
    result = tavo(*command, "--db", store, cwd=tmp_path)
    assert "Traceback" not in result.stderr and "cannot be " in result.stderr
    assert result.stderr.count("\n") == 1 and (result.returncode == 1 or command[0] == "find")


# Exports ----------------------------------------------------------------------------

def check_trace_events(data):
    """The trace-event JSON object format: metadata, begin/end pairs nested per thread
    in time order, instant events with a scope."""
    assert isinstance(data, dict) and isinstance(data["traceEvents"], list)
    assert data.get("displayTimeUnit", "ms") in ("ms", "ns")
    stacks, last_ts = {}, {}
    for event in data["traceEvents"]:
        assert isinstance(event["name"], str) and event["ph"] in "BEiMX"
        assert all(isinstance(event[k], int) for k in ("pid", "tid"))
        assert isinstance(event.get("args", {}), dict)
        if event["ph"] == "M":
            assert event["name"] in ("process_name", "thread_name", "thread_sort_index")
            continue
        key = (event["pid"], event["tid"])
        assert isinstance(event["ts"], (int, float)) and event["ts"] >= last_ts.get(key, 0)
        last_ts[key] = event["ts"]
        if event["ph"] == "B":
            stacks.setdefault(key, []).append(event["name"])
        elif event["ph"] == "E":
            assert stacks[key].pop() == event["name"]
        elif event["ph"] == "i":
            assert event["s"] in ("g", "p", "t")
    assert all(not stack for stack in stacks.values())


def check_evented_profile(data):
    """The evented-profile file format: a shared frame table, and per profile open and
    close events in time order, each close matching the innermost open frame."""
    assert data["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    assert isinstance(data["version"], str)
    frames = data["shared"]["frames"]
    for entry in frames:
        assert isinstance(entry["name"], str) and set(entry) <= {"name", "file", "line", "col"}
        assert isinstance(entry.get("file", ""), str) and isinstance(entry.get("line", 0), int)
    assert 0 <= data.get("activeProfileIndex", 0) < len(data["profiles"])
    for profile in data["profiles"]:
        assert profile["type"] == "evented" and isinstance(profile["name"], str)
        assert profile["unit"] in ("none", "nanoseconds", "microseconds", "milliseconds",
                                   "seconds", "bytes")
        at, stack = profile["startValue"], []
        for event in profile["events"]:
            assert event["type"] in ("O", "C") and 0 <= event["frame"] < len(frames)
            assert at <= event["at"] <= profile["endValue"]
            at = event["at"]
            if event["type"] == "O":
                stack.append(event["frame"])
            else:
                assert stack.pop() == event["frame"]
        assert stack == []


@pytest.mark.parametrize("fmt", ["chrome", "speedscope", "json"])
def test_exports_follow_their_formats(known, fmt):
    out = known.tmp / f"export.{fmt}.json"
    result = tavo("export", known.trace_id[:12], "--format", fmt, "-o", out, "--db",
                  known.store, cwd=known.tmp)
    assert result.returncode == 0, result.stderr
    data = json.loads(out.read_text())
    if fmt == "chrome":
        check_trace_events(data)
        events = data["traceEvents"]
        names = {e["args"]["name"] for e in events if e["name"] == "thread_name"}
        assert names == {"MainThread", "helper"}
        assert [e["name"] for e in events if e["ph"] == "i"] == ["start_test", "end_test"]
        assert sum(e["name"] == "program.fact" and e["ph"] == "B" for e in events) == 4
        [fail_end] = [e for e in events if e["name"] == "program.fail" and e["ph"] == "E"]
        assert fail_end["args"]["raised"] == {"type": "program.Boom", "message": "bad 7"}
        [fact_begin] = [e for e in events if e["ph"] == "B" and e["args"]["arguments"] == {"n": 2}]
        assert fact_begin["args"]["path"].endswith("program.py:10")
    elif fmt == "speedscope":
        check_evented_profile(data)
        assert sorted(p["name"] for p in data["profiles"]) == ["MainThread", "helper"]
        assert {"program.fact", "program.fail"} <= {f["name"] for f in data["shared"]["frames"]}
    else:
        shown = tavo("show", "last", "--json", "--db", known.store, cwd=known.tmp).stdout
        assert data == json.loads(shown) and out.read_text() == shown


# find -------------------------------------------------------------------------------

def test_find_with_argument_and_label_filters(tmp_path, known):
    store = tmp_path / "find.sqlite3"
    other = dict(known.document, frames_of_interest=[
        {**r, "test_name": "other::test"} if r.get("type") == "start_test" else r
        for r in known.document["frames_of_interest"]])
    db.save_trace_in_sqlite(store, "trc_01AAAAAAAAAAAAAAAAAAAAAAAA", timeout=5, msgpack=known.blob)
    db.save_trace_in_sqlite(store, "trc_01BBBBBBBBBBBBBBBBBBBBBBBB", timeout=5,
                            msgpack=msgpack.packb(other))

    def find(*args):
        result = tavo("find", *args, "--db", store, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()

    [line] = find("fact", "--arg", "n=2", "--label", "tests/*")
    assert line.startswith(TEST_NAME) and "program.fact(n=2)" in line
    assert "from program.fact (" in line and "program.py:11)" in line and "returned 2" in line
    assert len(find("program.fact")) == len(find("[fz]a*t")) == 8  # 4 calls in each trace
    assert find("fact", "--arg", "n=9") == [] and find("nothing*") == []
    [raised] = [json.loads(line) for line in find("f?il", "--label", "other*", "--json")]
    assert raised["label"] == "other::test" and raised["caller"] == "program.guarded"
    assert raised["raised"] == {"type": "program.Boom", "message": "bad 7"}
    assert raised["arguments"] == {"x": 7} and "returned" not in raised
    bad = tavo("find", "fact", "--arg", "n", "--db", store, cwd=tmp_path)
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1


# Test outcomes ----------------------------------------------------------------------

OUTCOME_SUITE = textwrap.dedent("""\
    import pytest

    @pytest.fixture
    def broken():
        raise RuntimeError("setup")

    def test_passes():
        pass

    def test_fails():
        assert False

    def test_skips():
        pytest.skip("not here")

    def test_errors(broken):
        pass
""")


def test_outcomes_are_stored_with_each_trace_and_listed(tmp_path):
    (tmp_path / "test_outcomes.py").write_text(OUTCOME_SUITE)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--tavo",
                    "--tavo-db", "t.sqlite3", "test_outcomes.py"], cwd=tmp_path, env=env,
                   capture_output=True, timeout=300)
    stored = {t["label"].split("::")[1]: t["outcome"] for t in db.list_traces(tmp_path / "t.sqlite3")}
    assert stored == {"test_passes": "passed", "test_fails": "failed", "test_skips": "skipped",
                      "test_errors": "error"}
    listing = tavo("traces", "--db", "t.sqlite3", cwd=tmp_path).stdout.splitlines()
    assert listing[0].split()[-2:] == ["OUTCOME", "LABEL"]
    assert all(row.split()[-2] == stored[row.split("::")[1]] for row in listing[1:])


def test_a_store_without_the_outcome_column_is_read_and_extended(tmp_path, known):
    import sqlite3

    store = tmp_path / "old.sqlite3"
    with sqlite3.connect(store) as conn:
        # The table as stores made before outcomes were kept have it.
        conn.execute("CREATE TABLE traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT"
                     " NOT NULL, saved_at REAL NOT NULL, source TEXT, records INTEGER, size"
                     " INTEGER NOT NULL, label TEXT, msgpack BLOB NOT NULL, dropped_records"
                     " INTEGER, losses TEXT)")
        conn.execute("INSERT INTO traces (trace_id, saved_at, size, msgpack) VALUES (?, 0, 1, ?)",
                     ("trc_old", known.blob))
    assert [t["outcome"] for t in db.list_traces(store)] == [None]
    db.save_trace_in_sqlite(store, "trc_new", timeout=5, msgpack=known.blob)
    assert db.set_outcome(store, TEST_NAME, "passed", timeout=5)
    assert [t["outcome"] for t in db.list_traces(store)] == [None, "passed"]
