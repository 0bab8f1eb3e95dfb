"""pytest-xdist: every worker records its own tests, one trace each, labelled with the
test id and the worker; the controller prints one line with the counts."""

import re
import sqlite3
import textwrap

import pytest

from tavo import db
from test_pytest_plugin import NODE_IDS, SAMPLE_SUITE, run_pytest

pytest.importorskip("xdist", reason="pytest-xdist is not installed")
pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")

LINE = re.compile(r"^tavo: (\d+) traces saved in (\S+)(?:, (\d+) failed: (.*))?$", re.M)

# Holds the store locked from the end of the test that asked for it to the end of the
# session, so that the traces saved from then on cannot be written (with a busy timeout
# of 0): its own, saved at once, or the batch it waits in, written at the session's end.
LOCKING_CONFTEST = textwrap.dedent("""\
    import os
    import sqlite3

    import pytest

    held = []


    @pytest.fixture
    def locked_store():
        yield
        conn = sqlite3.connect(os.environ["LOCKED_DB"], isolation_level=None)
        conn.execute("BEGIN EXCLUSIVE")
        held.append(conn)


    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish():
        while held:
            held.pop().close()
""")


def test_each_test_one_trace_labelled_with_its_worker(tmp_path):
    (tmp_path / "test_sample.py").write_text(SAMPLE_SUITE)
    result, outcomes = run_pytest(tmp_path, "-n", "2", "--tavo", "--tavo-db", "x.sqlite3",
                                  "test_sample.py")
    assert result.returncode == 1, result.stdout + result.stderr  # test_fails fails
    assert {nodeid for _, nodeid in outcomes} == NODE_IDS
    traces = db.list_traces(tmp_path / "x.sqlite3")
    assert sorted(t["label"] for t in traces) == sorted(NODE_IDS)  # none lost, none twice
    assert {t["role"] for t in traces} <= {"xdist worker gw0", "xdist worker gw1"}
    assert len({t["trace_id"] for t in traces}) == len(NODE_IDS)
    assert all(t["source"] == "pytest" and t["records"] > 0 for t in traces)
    [line] = LINE.findall(result.stdout)
    assert line[:2] == (str(len(NODE_IDS)), str(tmp_path / "x.sqlite3")) and not line[2]


def test_failed_saves_are_counted_with_the_first_error(tmp_path, monkeypatch):
    (tmp_path / "conftest.py").write_text(LOCKING_CONFTEST)
    (tmp_path / "test_saves.py").write_text(textwrap.dedent("""\
        def test_one():
            pass


        def test_locked(locked_store):
            pass


        def test_two():
            pass
    """))
    store = tmp_path / "t.sqlite3"
    monkeypatch.setenv("LOCKED_DB", str(store))
    monkeypatch.setenv("TAVO_BUSY_TIMEOUT", "0")
    result, outcomes = run_pytest(tmp_path, "-n", "1", "--tavo", "--tavo-db", store,
                                  "test_saves.py")
    assert {outcome for outcome, _ in outcomes} == {"PASSED"}
    assert result.returncode != 0  # every test passed, but a trace was lost
    [line] = LINE.findall(result.stdout)
    assert line[:3] == ("1", str(store), "2") and "locked" in line[3], line
    assert [(t["label"], t["role"]) for t in db.list_traces(store)] == [
        ("test_saves.py::test_one", "xdist worker gw0")]
    with sqlite3.connect(store) as conn:  # nothing half-written
        assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
