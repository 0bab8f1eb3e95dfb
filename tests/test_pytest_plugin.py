"""The pytest plugin, run on a small sample suite in a subprocess."""

import importlib.metadata
import os
import re
import subprocess
import sys
import textwrap

import msgpack
import pytest

from tavo import db

SAMPLE_SUITE = textwrap.dedent("""\
    import os

    import pytest


    def square(x):
        return x * x


    def test_passes():
        assert square(3) == 9


    def test_fails():
        assert square(2) == 5


    @pytest.mark.parametrize("n", [1, 2])
    def test_param(n):
        assert square(n) == n * n


    def test_moves(tmp_path):
        os.chdir(tmp_path)  # and never changes back
        assert square(4) == 16
""")
NODE_IDS = {"test_sample.py::test_passes", "test_sample.py::test_fails",
            "test_sample.py::test_param[1]", "test_sample.py::test_param[2]",
            "test_sample.py::test_moves"}
OUTCOME = re.compile(r"^(PASSED|FAILED|ERROR) (\S+)", re.M)


def run_pytest(cwd, *args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-rA", "-p", "no:cacheprovider",
         f"--basetemp={cwd / 'basetemp'}", *map(str, args)],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
    )
    outcomes = set(OUTCOME.findall(result.stdout))
    return result, outcomes


@pytest.fixture
def suite(tmp_path):
    (tmp_path / "test_sample.py").write_text(SAMPLE_SUITE)
    return tmp_path


def test_plugin_does_nothing_without_the_option(suite):
    result, outcomes = run_pytest(suite, "-p", "tavo.pytest_plugin", "test_sample.py")
    assert result.returncode == 1
    assert {nodeid for _, nodeid in outcomes} == NODE_IDS
    assert ("FAILED", "test_sample.py::test_fails") in outcomes
    assert not (suite / "tavo.sqlite3").exists()
    helped = subprocess.run([sys.executable, "-m", "pytest", "-p", "tavo.pytest_plugin", "--help"],
                            cwd=suite, capture_output=True, text=True, timeout=300)
    assert "--tavo" in helped.stdout and "--tavo-db" in helped.stdout


def documents(db_path):
    traces = db.list_traces(db_path)
    return [(summary, db.decode_document(blob))
            for t in traces for summary, blob in db.load_traces(db_path, t["trace_id"])
            if summary["id"] == t["id"]]


def records_of(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return records


@pytest.fixture
def native():
    pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")


def test_one_trace_per_test_and_outcomes_unchanged(suite, native):
    plain, plain_outcomes = run_pytest(suite, "-p", "tavo.pytest_plugin", "test_sample.py")
    traced, traced_outcomes = run_pytest(suite, "-p", "tavo.pytest_plugin", "--tavo",
                                         "--tavo-db", "traces.sqlite3", "test_sample.py")
    assert traced.returncode == plain.returncode == 1, traced.stdout + traced.stderr
    assert traced_outcomes == plain_outcomes
    assert {nodeid for _, nodeid in traced_outcomes} == NODE_IDS

    stored = documents(suite / "traces.sqlite3")
    by_test = {}
    for summary, document in stored:
        assert summary["source"] == document["meta"]["source"] == "pytest"
        records = records_of(document)
        starts = [r for r in records if r.get("type") == "start_test"]
        ends = [r for r in records if r.get("type") == "end_test"]
        assert len(starts) == 1 and len(ends) == 1, [r.get("type") for r in records]
        assert summary["label"] == starts[0]["test_name"]
        by_test[starts[0]["test_name"]] = records
    assert set(by_test) == NODE_IDS
    assert len(stored) == len(NODE_IDS)  # one trace per test

    # Each test's trace holds that test's own calls.
    square_args = [r["locals"]["x"] for r in by_test["test_sample.py::test_param[2]"]
                   if r.get("co_name") == "square" and r.get("event") == "call"]
    assert square_args == [2]
    # Saved where asked even after a test changed directory.
    assert sorted(suite.rglob("*.sqlite3")) == [suite / "traces.sqlite3"]


FORKING_SUITE = """\
import os

def test_first():  # written at once; the next ones are stored while the test after runs
    pass

def word(i):
    return str(i) * 20

def test_records_much():
    for i in range(20000):
        word(i)

def test_forks_next():
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
"""


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_fork_while_a_trace_is_stored_warns_of_threads_only_as_without_tavo(tmp_path, native,
                                                                              engine):
    (tmp_path / "test_forking.py").write_text(FORKING_SUITE)
    plain, plain_outcomes = run_pytest(tmp_path, "test_forking.py")
    traced, traced_outcomes = run_pytest(tmp_path, "--tavo", "--tavo-engine", engine,
                                         "test_forking.py")
    assert plain.returncode == traced.returncode == 0, traced.stdout
    assert traced_outcomes == plain_outcomes
    assert "multi-threaded" not in plain.stdout + traced.stdout, traced.stdout
    assert sorted(t["label"] for t in db.list_traces(tmp_path / "tavo.sqlite3")
                  if t["role"] == "main") == sorted(nodeid for _, nodeid in plain_outcomes)


def test_entry_point_loads_the_plugin(suite, native):
    if not importlib.metadata.entry_points(group="pytest11", name="tavo"):
        pytest.skip("tavo is not installed with its pytest11 entry point")
    result, outcomes = run_pytest(suite, "--tavo", "test_sample.py")
    assert result.returncode == 1, result.stdout + result.stderr
    assert {nodeid for _, nodeid in outcomes} == NODE_IDS
    assert len(db.list_traces(suite / "tavo.sqlite3")) == len(NODE_IDS)



def test_a_pytest_session_inside_a_test_does_not_cut_its_trace(tmp_path, native):
    (tmp_path / "test_outer.py").write_text(textwrap.dedent("""\
        pytest_plugins = ["pytester"]

        def before(n):
            return n

        def test_outer(pytester):
            before(1)
            pytester.makepyfile(test_inner="def test_inner():\\n    pass\\n")
            pytester.inline_run("-p", "no:tavo").assertoutcome(passed=1)
            before(2)
    """))
    run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "test_outer.py")
    [(summary, document)] = documents(tmp_path / "tavo.sqlite3")
    assert summary["label"] == "test_outer.py::test_outer"
    assert [r["locals"]["n"] for r in records_of(document)
            if r.get("co_name") == "before" and r.get("event") == "call"] == [1, 2]


@pytest.mark.parametrize("spoil", [
    "open(DB, 'r+b').write(b'x' * 100)",  # no longer a database
    pytest.param("LOCK.execute('BEGIN IMMEDIATE')", marks=pytest.mark.skipif(
        os.environ.get("TAVO_LONG_CHECKS") != "1", reason="long check: waits for the lock")),
], ids=["damaged", "locked"])
def test_failed_saves_are_reported(tmp_path, native, spoil):
    # The first test makes the database refuse every save, its own included.
    (tmp_path / "test_saves.py").write_text(
        f"import sqlite3\nDB = 'traces.sqlite3'\nLOCK = sqlite3.connect(DB, isolation_level=None)\n"
        f"def test_spoil():\n    {spoil}\ndef test_a():\n    pass\ndef test_b():\n    pass\n")
    result, outcomes = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-db",
                                  "traces.sqlite3", "--tavo-busy-timeout", "1", "test_saves.py")
    assert {outcome for outcome, _ in outcomes} == {"PASSED"} and result.returncode == 1
    assert result.stdout.count("tavo: the trace of this test could not be saved") == 3
    [summary] = [line for line in result.stdout.splitlines() if line.startswith("tavo: ")]
    assert summary.startswith("tavo: 0 traces saved in traces.sqlite3, 3 failed: ")


ALARM_CONFTEST = """\
import signal, pytest

@pytest.fixture(autouse=True)
def time_limit():  # Failed, which pytest.fail raises, is no Exception
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("timed out", pytrace=False))
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
"""
HANGING_SUITE = """\
import time

class Slow:
    def __repr__(self):
        time.sleep(0.2)  # where the alarm goes off: in tavo's serializer
        return "Slow()"

def test_hangs():
    for _ in range(40):
        (lambda value: value)(Slow())

def test_after():
    pass
"""


def test_signal_based_timeout_fails_the_hanging_test(tmp_path, native):
    (tmp_path / "conftest.py").write_text(ALARM_CONFTEST)
    (tmp_path / "test_hanging.py").write_text(HANGING_SUITE)
    result, outcomes = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo",
                                  "--tavo-values", "repr", "test_hanging.py")
    assert outcomes == {("FAILED", "test_hanging.py::test_hangs"),
                        ("PASSED", "test_hanging.py::test_after")}, result.stdout + result.stderr
    assert "timed out" in result.stdout
    assert len(db.list_traces(tmp_path / "tavo.sqlite3")) == 2


def test_dropped_records_are_counted_in_the_session_summary(tmp_path, native):
    (tmp_path / "test_drops.py").write_text(
        "import tavo.serialize\n"
        "def test_drops(monkeypatch):\n"
        "    monkeypatch.setattr(tavo.serialize, 'dump_msgpack', lambda value: 1 / 0)\n"
        "    (lambda: 1)()\n"
        "def test_keeps():\n"
        "    pass\n")
    result, outcomes = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "test_drops.py")
    assert {outcome for outcome, _ in outcomes} == {"PASSED"}, result.stdout
    [summary] = [line for line in result.stdout.splitlines() if line.startswith("tavo: ")]
    assert re.fullmatch(r"tavo: 2 traces saved in \S+; [1-9]\d* records? dropped", summary), summary


OUTCOME_SUITE = """\
import gc

import pytest


class Holder:
    pass


def numbers(holder):
    try:
        yield 1
    finally:
        cleanup()


def cleanup():
    return "cleaned"


def test_leaves_a_generator():
    holder = Holder()
    holder.numbers = numbers(holder)  # a cycle: closed when the collector breaks it
    next(holder.numbers)


@pytest.mark.skip(reason="not today")
def test_skipped():
    pass


def test_collects():
    gc.collect()


@pytest.mark.xfail
def test_xfails():
    assert False


@pytest.mark.xfail
def test_xpasses():
    pass
"""


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_outcomes_hints_and_collected_generators(tmp_path, native, engine):
    (tmp_path / "test_outcomes.py").write_text(OUTCOME_SUITE)
    (tmp_path / "test_ignored.py").write_text("def test_runs():\n    pass\n")
    result, _ = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-engine",
                           engine, "--tavo-ignore", "test_ignored.py", "test_outcomes.py",
                           "test_ignored.py")
    assert result.returncode == 0, result.stdout + result.stderr
    stored = {summary["label"].split("::")[1]: (summary["outcome"], records_of(document))
              for summary, document in documents(tmp_path / "tavo.sqlite3")}
    assert {name: outcome for name, (outcome, _) in stored.items()} == {
        "test_leaves_a_generator": "passed", "test_skipped": "skipped", "test_collects": "passed",
        "test_xfails": "xfailed", "test_xpasses": "xpassed", "test_runs": "passed"}
    # The generator the collector closed belongs to the test that made it, not this one.
    assert [r["co_name"] for r in stored["test_collects"][1] if r.get("co_name")] == [
        "test_collects", "test_collects"]
    # Only the test that ran and left no record of its code gets the hint; not the skipped one.
    assert "tavo: 1 of these traces hold no record of your code" in result.stdout


PROFILING_SUITE = """\
import profile


def work(n):
    return sum(range(n))


def test_profiles():
    assert profile.Profile().runcall(work, 10) == 45


def test_after():
    assert work(5) == 10
"""


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_test_that_profiles_passes_and_the_tests_after_it_are_recorded(tmp_path, native,
                                                                         engine):
    """The profile module sets a profile function of its own, and removes it when done:
    under the profile engine its function was told the end of the call that set it,
    failing its own check, and the session's later tests went unrecorded."""
    (tmp_path / "test_profiling.py").write_text(PROFILING_SUITE)
    result, _ = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-engine",
                           engine, "test_profiling.py")
    assert result.returncode == 0, result.stdout + result.stderr
    stored = {summary["label"].split("::")[1]: records_of(document)
              for summary, document in documents(tmp_path / "tavo.sqlite3")}
    assert [r["co_name"] for r in stored["test_after"] if r.get("co_name")] == [
        "test_after", "work", "work", "test_after"]
    assert ("removed tavo's profile function" in result.stdout) == (engine == "profile")


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("stop, status", [("raise KeyboardInterrupt", pytest.ExitCode.INTERRUPTED),
                                          ("import pytest; pytest.exit('stop', returncode=3)", 3)])
def test_a_session_stopped_in_a_test_keeps_its_status_and_summary(tmp_path, native, engine,
                                                                  stop, status):
    # The stopped test neither passed nor failed; pytest.exit ends without pytest's summary.
    # It stops past its trace's budget, where the profile engine's function has left.
    (tmp_path / "test_stopped.py").write_text(
        "def step(n):\n    return n + 1\n\ndef test_passes():\n    pass\n\n"
        f"def test_stopped():\n    for n in range(2000):\n        step(n)\n    {stop}\n")
    plain, _ = run_pytest(tmp_path, "test_stopped.py")
    result, _ = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-engine",
                           engine, "--tavo-buffer-budget", "4K", "test_stopped.py")
    assert result.returncode == plain.returncode == status
    assert "tavo: 2 traces saved in tavo.sqlite3" in result.stdout
    assert {summary["label"]: summary["outcome"] for summary, _ in
            documents(tmp_path / "tavo.sqlite3")} == {
        "test_stopped.py::test_passes": "passed", "test_stopped.py::test_stopped": None}


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_tests_start_and_end_survive_the_smallest_budgets(tmp_path, native, engine):
    long_id = "case-" + "x" * 300
    (tmp_path / "test_long.py").write_text(textwrap.dedent(f"""\
        import pytest

        def step(n):
            return n + 1

        @pytest.mark.parametrize("text", ["y" * 500], ids=["{long_id}"])
        def test_named(text):
            for n in range(200):
                step(n)
        """))
    result, outcomes = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-engine",
                                  engine, "--tavo-value-budget", "64", "--tavo-buffer-budget",
                                  "4K", "test_long.py")
    nodeid = f"test_long.py::test_named[{long_id}]"
    assert outcomes == {("PASSED", nodeid)}, result.stdout + result.stderr
    [(summary, document)] = documents(tmp_path / "tavo.sqlite3")
    assert (summary["label"], summary["outcome"]) == (nodeid, "passed")
    assert summary["losses"]["budget_dropped_records"] > 0
    records = records_of(document)
    assert [(r["type"], r["test_name"]) for r in records if "test_name" in r] == [
        ("start_test", nodeid), ("end_test", nodeid)]
    # The program's values are still cut to the budget.
    frames = [r for r in records if r.get("co_name") == "test_named"]
    assert frames and all(len(msgpack.packb(r["locals"])) <= 64 for r in frames)


CARRIED_THREAD_SUITE = """\
import threading
import time

go_on = threading.Event()
results = []


def step(n):
    return n + 1


def carried():
    while not go_on.is_set():
        step(0)
        time.sleep(0.001)
    results.append(step(41))


worker = threading.Thread(target=carried)


def test_full():
    worker.start()
    for n in range(2000):
        step(n)
    time.sleep(0.1)  # the worker meets the full budget too


def test_next():
    go_on.set()
    worker.join()
    assert results == [42]
"""


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_threads_past_a_full_test_are_recorded_in_the_next(tmp_path, native, engine):
    (tmp_path / "test_carried.py").write_text(CARRIED_THREAD_SUITE)
    result, outcomes = run_pytest(tmp_path, "-p", "tavo.pytest_plugin", "--tavo", "--tavo-engine",
                                  engine, "--tavo-buffer-budget", "4K", "test_carried.py")
    assert {outcome for outcome, _ in outcomes} == {"PASSED"}, result.stdout + result.stderr
    stored = {summary["label"]: records_of(document)
              for summary, document in documents(tmp_path / "tavo.sqlite3")}
    assert stored["test_carried.py::test_full"]
    # The worker's last call and return, when the profile engine's function is back on it.
    assert [r["arg"] for r in stored["test_carried.py::test_next"]
            if r.get("co_name") == "step"][-2:] == [None, 42]


def test_the_store_path_never_moves_pytests_root_folder(tmp_path, native):
    project = tmp_path / "project"
    (project / "tests").mkdir(parents=True)
    (project / "benchmarks").mkdir()
    (project / "pyproject.toml").write_text(
        '[tool.pytest.ini_options]\ntestpaths = ["tests"]\nxfail_strict = true\n')
    (project / "tests" / "test_one.py").write_text(
        "import pytest\n\n@pytest.mark.xfail\ndef test_xpasses():\n    pass\n")
    (project / "benchmarks" / "test_bench.py").write_text("def test_bench():\n    pass\n")
    store = tmp_path / "elsewhere" / "store.sqlite3"
    store.parent.mkdir()
    for _ in range(2):  # before and after the store exists
        separate, _ = run_pytest(project, "--tavo", "--tavo-db", store)
        assert separate.returncode == pytest.ExitCode.USAGE_ERROR, separate.stdout
        assert f"write --tavo-db={store}" in separate.stderr
        joined, _ = run_pytest(project, "--tavo", f"--tavo-db={store}")
        # The project's settings hold: only tests/, and a strict xfail that passed fails.
        assert "collected 1 item" in joined.stdout and joined.returncode == 1, joined.stdout


LOCKING_SUITE = """\
import os
import subprocess
import sys

LOCK = (
    "import os, sqlite3, time\\n"
    "store = sqlite3.connect('tavo.sqlite3', isolation_level=None)\\n"
    "store.execute('BEGIN IMMEDIATE')\\n"
    "open('locker.pid', 'w').write(str(os.getpid()))\\n"
    "time.sleep(120)\\n")


def test_leaves_the_store_locked():
    # Another writer holds the store: this test's trace waits to be saved.
    subprocess.Popen([sys.executable, "-c", LOCK])
    while not os.path.exists("locker.pid"):
        pass
"""


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_an_interrupt_stops_a_save_that_waits(tmp_path, native, engine):
    import signal
    import time

    (tmp_path / "test_locked.py").write_text(LOCKING_SUITE)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    pytest_run = subprocess.Popen(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--tavo", "--tavo-no-children",
         f"--tavo-engine={engine}", "--tavo-busy-timeout=60", "test_locked.py"], cwd=tmp_path,
        env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    locker = tmp_path / "locker.pid"
    try:
        deadline = time.monotonic() + 60
        while not locker.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1)  # the save is waiting for the lock now
        pytest_run.send_signal(signal.SIGINT)
        output, _ = pytest_run.communicate(timeout=30)  # well before the busy timeout
    finally:
        pytest_run.kill()
        if locker.exists() and locker.read_text():
            os.kill(int(locker.read_text()), signal.SIGKILL)
    assert pytest_run.returncode == pytest.ExitCode.INTERRUPTED, output
    assert "KeyboardInterrupt" in output
