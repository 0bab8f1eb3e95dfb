"""Long checks of the stores (TAVO_LONG_CHECKS=1): many processes saving into
one store at once, and a PostgreSQL server that goes away during a save."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tavo
from tavo import db, stores
from tavo.stores import StoreError

from postgres_server import running_server

pytestmark = pytest.mark.skipif(os.environ.get("TAVO_LONG_CHECKS") != "1",
                                reason="long check: set TAVO_LONG_CHECKS=1")

PROCESSES, TRACES = 8, 200

SAVER = """
import sys, time
import tavo

def work(n):
    return [str(i) * 3 for i in range(n % 7 + 3)]

location, start = sys.argv[1], float(sys.argv[2])
time.sleep(max(0.0, start - time.time()))  # all processes begin together
for i in range({traces}):
    with tavo.profile(db_path=location, source="load") as p:
        work(i)
    print(p.trace_id, flush=True)
"""


@pytest.mark.parametrize("kind", ["sqlite", "postgresql"])
def test_processes_saving_at_once_store_every_trace_once(kind, tmp_path, capsys):
    with running_server() as server:
        location = (server.new_database() if kind == "postgresql"
                    else str(tmp_path / "shared.sqlite3"))
        db.ensure_database(location, timeout=60)
        script = tmp_path / "saver.py"
        script.write_text(SAVER.format(traces=TRACES))
        start = time.time() + 3
        workers = [subprocess.Popen([sys.executable, str(script), location, str(start)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                   for _ in range(PROCESSES)]
        outputs = [worker.communicate(timeout=600) for worker in workers]
        elapsed = time.time() - start
        for worker, (_, err) in zip(workers, outputs):
            assert worker.returncode == 0, err
        printed = [line for out, _ in outputs for line in out.split()]
        assert len(printed) == len(set(printed)) == PROCESSES * TRACES
        listed = db.list_traces(location)
        assert sorted(t["trace_id"] for t in listed) == sorted(printed)  # each once, none more
        with stores.open_store(location) as store:
            size = store.total_size()
            for summary, blob in store.load_rows([t["id"] for t in listed]):
                document = db.decode_document(blob)
                assert document["trace_id"] == summary["trace_id"]
                assert any(r.get("co_name") == "work" for r in document["frames_of_interest"])
        with capsys.disabled():
            print(f"\n{kind}: {PROCESSES} processes x {TRACES} traces in {elapsed:.1f} s = "
                  f"{len(listed) / elapsed:.0f} traces/s; store size {size / 1024:.0f} KiB, "
                  f"documents {sum(t['size'] for t in listed) / 1024:.0f} KiB")


def work_before_the_server_goes(n):
    return n * 2


def test_server_stopped_during_a_save_keeps_the_records():
    import psycopg

    with running_server() as server:
        url = server.new_database()
        db.ensure_database(url, timeout=5)
        profiler = tavo.Profiler(url, config={"sqlite_busy_timeout": 30})
        profiler.enable()
        work_before_the_server_goes(21)
        # The save will be waiting for this lock, inside its transaction, when the server stops.
        # An immediate stop: a fast one ends the lock holder first, and the save, its lock
        # granted, may commit before it is ended in turn.
        locker = psycopg.connect(url)
        locker.execute("LOCK TABLE traces IN ACCESS EXCLUSIVE MODE")
        stopper = threading.Timer(1.5, server.stop, kwargs={"mode": "immediate"})
        stopper.start()
        with pytest.raises(StoreError) as failure:
            profiler.disable()
        stopper.join()
        message = str(failure.value)
        assert message.startswith(f"could not save trace {profiler.trace_id} in {url}: ")
        assert "\n" not in message and len(message) > len(f"could not save trace  in {url}: ") + 40
        server.start()
        assert db.list_traces(url) == []  # nothing half-written
        profiler.rust_profiler.save_request_in_db()  # the next save has the records
        [(_, blob)] = db.load_traces(url, profiler.trace_id)
        calls = [r for r in db.decode_document(blob)["frames_of_interest"]
                 if r.get("co_name") == "work_before_the_server_goes"]
        assert [r["event"] for r in calls] == ["call", "return"]
        assert calls[0]["locals"] == {"n": 21}


def test_a_failed_save_at_a_test_end_is_logged_and_the_next_test_saves(tmp_path):
    with running_server() as server:
        url = server.new_database()
        (tmp_path / "test_outage.py").write_text(textwrap.dedent(f"""
            import json, os, subprocess

            def first_work():
                return 1

            def test_1_server_goes():
                assert first_work() == 1
                subprocess.run({server.command("stop")!r}, check=True, capture_output=True)

            def test_2_server_back():
                subprocess.run({server.command("start")!r}, check=True, capture_output=True)
        """))
        env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
        result = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:logging",
             "--tavo", f"--tavo-db={url}", "test_outage.py"], cwd=tmp_path, env=env,
            capture_output=True, text=True, timeout=300)
        # Both tests pass; the lost trace makes the session fail and is counted.
        assert result.returncode == 1, result.stdout + result.stderr
        assert "StoreError: could not save trace" in result.stderr, result.stderr
        assert "tavo: 1 traces saved in " in result.stdout and ", 1 failed: StoreError" in result.stdout
        # The engine starts each test's trace afresh, so the first test's records go
        # (saving them again is for a save that is not at a test end); the second test's
        # save finds the server back through a new connection.
        [summary] = db.list_traces(url)
        assert summary["label"] == "test_outage.py::test_2_server_back"
        [(_, blob)] = db.load_traces(url, summary["trace_id"])
        names = {r.get("co_name") for r in db.decode_document(blob)["frames_of_interest"]}
        assert "test_2_server_back" in names
