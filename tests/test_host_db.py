import os
import sqlite3
import stat
import threading
import time

import msgpack
import pytest

from tavo import db
from tavo.stores.sqlite_connection import write_transaction


def record(co_name, event, **extra):
    return {"path": "app.py:1", "co_name": co_name, "qualname": f"app.{co_name}", "event": event,
            "frame_id": "frm_1", "arg": None, "locals": {}, "thread": 1,
            "thread_native_id": 1, "timestamp": 1.0, "type": "frame",
            "user_code_call_site": None, **extra}


def document(trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", source="cli", main=(), threads=None,
             args=("app.py", "--flag")):
    return msgpack.packb({
        "command_line_args": list(args),
        "current_commit_sha": None,
        "frames": threads or {},
        "frames_of_interest": list(main),
        "main_thread_id": 1,
        "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
        "timestamp": 1.5,
        "trace_id": trace_id,
    })


def test_schema_is_created_on_first_save(tmp_path):
    path = tmp_path / "traces.sqlite3"
    doc = document(main=[record("f", "call"), record("f", "return")],
                   threads={7: [record("g", "call")], 8: [record("h", "call"), record("h", "return")]})
    row_id = db.save_trace_in_sqlite(str(path), "trc_A", timeout=5, msgpack=doc)
    assert path.is_file()
    [summary] = db.list_traces(path)
    assert summary["id"] == row_id
    assert summary["trace_id"] == "trc_A"
    assert summary["source"] == "cli"
    assert summary["records"] == 5  # main thread and the other threads together
    assert summary["size"] == len(doc)
    assert summary["label"] == "app.py --flag"
    assert abs(summary["saved_at"] - time.time()) < 60
    [(_, blob)] = db.load_traces(path, "trc_A")
    assert blob == doc


def test_test_name_becomes_the_label(tmp_path):
    path = tmp_path / "t.sqlite3"
    start = {"type": "start_test", "test_name": "tests/test_x.py::test_a", "frame_id": None}
    doc = document(source="pytest", main=[record("setup", "call"), start, record("f", "call")])
    db.save_trace_in_sqlite(path, "trc_B", timeout=5, msgpack=doc)
    assert db.list_traces(path)[0]["label"] == "tests/test_x.py::test_a"
    assert db.list_traces(path)[0]["source"] == "pytest"


def test_saving_the_same_trace_id_twice_keeps_both(tmp_path):
    path = tmp_path / "t.sqlite3"
    first = document(main=[record("one", "call")])
    second = document(main=[record("two", "call"), record("two", "return")])
    db.save_trace_in_sqlite(path, "trc_SAME", timeout=5, msgpack=first)
    db.save_trace_in_sqlite(path, "trc_OTHER", timeout=5, msgpack=first)
    db.save_trace_in_sqlite(path, "trc_SAME", timeout=5, msgpack=second)
    stored = db.load_traces(path, "trc_SAME")
    assert [blob for _, blob in stored] == [first, second]
    assert [summary["records"] for summary, _ in stored] == [1, 2]
    assert [t["trace_id"] for t in db.list_traces(path)] == ["trc_SAME", "trc_OTHER", "trc_SAME"]
    assert db.list_traces(path, "trc_OTHER")[0]["records"] == 1


def test_a_document_that_cannot_be_read_is_still_stored(tmp_path):
    path = tmp_path / "t.sqlite3"
    junk = b"\xc1not msgpack"
    db.save_trace_in_sqlite(path, "trc_JUNK", timeout=5, msgpack=junk)
    [(summary, blob)] = db.load_traces(path, "trc_JUNK")
    assert blob == junk
    assert summary["records"] is None and summary["source"] is None


def hold_write_lock(path):
    conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    conn.execute("BEGIN IMMEDIATE")
    conn.execute("INSERT INTO traces (trace_id, saved_at, size) VALUES ('trc_LOCK', 0, 0)")
    conn.execute("INSERT INTO documents (id, data) VALUES (last_insert_rowid(), x'')")
    return conn


def test_busy_timeout_makes_save_wait_then_fail(tmp_path):
    path = tmp_path / "t.sqlite3"
    db.ensure_database(path)
    locker = hold_write_lock(path)
    try:
        started = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            db.save_trace_in_sqlite(path, "trc_WAIT", timeout=1, msgpack=document())
        waited = time.monotonic() - started
    finally:
        locker.execute("ROLLBACK")
        locker.close()
    assert 0.8 <= waited < 10
    assert db.list_traces(path) == []  # neither the lock holder's row nor a partial save


def test_busy_timeout_lets_save_wait_for_the_lock(tmp_path):
    path = tmp_path / "t.sqlite3"
    db.ensure_database(path)
    locker = hold_write_lock(path)

    def release():
        time.sleep(0.5)
        locker.execute("COMMIT")
        locker.close()

    releaser = threading.Thread(target=release)
    started = time.monotonic()
    releaser.start()
    db.save_trace_in_sqlite(path, "trc_WAIT", timeout=30, msgpack=document())
    waited = time.monotonic() - started
    releaser.join()
    assert waited >= 0.4
    assert [t["trace_id"] for t in db.list_traces(path)] == ["trc_LOCK", "trc_WAIT"]


def test_reading_never_creates_or_accepts_foreign_files(tmp_path):
    missing = tmp_path / "missing.sqlite3"
    with pytest.raises(db.NotATraceDatabase, match="no trace database"):
        db.list_traces(missing)
    assert not missing.exists()

    other = tmp_path / "other.sqlite3"
    sqlite3.connect(other).execute("CREATE TABLE things (x)").connection.close()
    with pytest.raises(db.NotATraceDatabase, match="not a tavo trace database"):
        db.load_traces(other, "trc_X")

    text = tmp_path / "notes.txt"
    text.write_bytes(b"just some text, not a database at all" * 100)
    with pytest.raises(db.NotATraceDatabase):
        db.list_traces(text)
    assert text.read_bytes() == b"just some text, not a database at all" * 100


def test_decode_document_accepts_any_key():
    blob = msgpack.packb({"frames": {7: []}, "locals": {(1, 2): "tuple key", None: 1}})
    decoded = db.decode_document(blob)
    assert decoded["frames"] == {7: []}
    assert decoded["locals"] == {"[1, 2]": "tuple key", None: 1}



def test_a_document_over_the_unpacker_default_limit_is_stored(tmp_path):
    # One local of 101 MiB: more than a streaming unpacker's default buffer.
    doc = document(main=[record("f", "call", locals={"big": "v" * (101 << 20)}), record("f", "return")])
    db.save_trace_in_sqlite(tmp_path / "t.sqlite3", "trc_BIG", timeout=5, msgpack=doc)
    [(summary, blob)] = db.load_traces(tmp_path / "t.sqlite3", "trc_BIG")
    assert (summary["records"], summary["size"], summary["label"]) == (2, len(doc), "app.py --flag")
    assert len(db.decode_document(blob)["frames_of_interest"][0]["locals"]["big"]) == 101 << 20


def test_database_and_journal_are_owner_only(tmp_path):
    (tmp_path / "existing.sqlite3").touch(mode=0o644)
    old_umask = os.umask(0o022)
    try:
        db.ensure_database(tmp_path / "existing.sqlite3")
        db.ensure_database(tmp_path / "new.sqlite3")
        locker = hold_write_lock(tmp_path / "new.sqlite3")  # its log exists while it is open
        modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in tmp_path.iterdir()}
        locker.execute("ROLLBACK")
        locker.close()
    finally:
        os.umask(old_umask)
    assert modes == {"new.sqlite3": 0o600, "new.sqlite3-wal": 0o600, "new.sqlite3-shm": 0o600,
                     "existing.sqlite3": 0o644}


def test_a_foreign_database_is_refused_and_left_unchanged(tmp_path):
    path = tmp_path / "other_app.db"
    sqlite3.connect(path).execute("CREATE TABLE things (x)").connection.close()
    before = path.read_bytes()
    for write in (db.ensure_database, lambda p: db.save_trace_in_sqlite(p, "trc_A", msgpack=document())):
        with pytest.raises(db.NotATraceDatabase, match="other_app.db is not a tavo trace database"):
            write(path)
    assert path.read_bytes() == before


def test_dropped_records_are_kept_also_in_a_store_made_before_the_column(tmp_path):
    path = tmp_path / "old.sqlite3"
    with sqlite3.connect(path) as conn:  # the layout of stores made before the column
        conn.execute("CREATE TABLE traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT"
                     " NOT NULL, saved_at REAL NOT NULL, source TEXT, records INTEGER, size"
                     " INTEGER NOT NULL, label TEXT, msgpack BLOB NOT NULL)")
        conn.execute("INSERT INTO traces (trace_id, saved_at, size, msgpack) VALUES"
                     " ('trc_OLD', 1.0, 1, x'80')")
        conn.execute("PRAGMA user_version = 1")
    assert db.list_traces(path)[0]["dropped_records"] is None  # read before any new save
    db.save_trace_in_sqlite(str(path), "trc_NEW", timeout=5, msgpack=document(), dropped_records=3)
    db.save_trace_in_sqlite(str(path), "trc_NONE", timeout=5, msgpack=document())
    assert [(t["trace_id"], t["dropped_records"]) for t in db.list_traces(path)] == [
        ("trc_OLD", None), ("trc_NEW", 3), ("trc_NONE", None)]


class Interrupt(BaseException):
    """What a signal handler raises (as Ctrl-C's handler raises KeyboardInterrupt)."""


# A statement SQLite would run for minutes.
ENDLESS = ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 4000000000)"
           " SELECT count(*) FROM n")


@pytest.mark.parametrize("during", ["lock wait", "statement"])
def test_an_interrupt_stops_a_write_at_once_and_rolls_it_back(tmp_path, during):
    import signal

    path = tmp_path / "t.sqlite3"
    db.ensure_database(path)
    locker = hold_write_lock(path) if during == "lock wait" else None

    def interrupt(signum, frame):
        raise Interrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    started = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(Interrupt):
            if locker is not None:
                db.save_trace_in_sqlite(path, "trc_WAIT", timeout=30, msgpack=document())
            else:
                with write_transaction(str(path), 30, lambda conn: None) as conn:
                    conn.execute("INSERT INTO traces (trace_id, saved_at, size)"
                                 " VALUES ('trc_HALF', 0, 0)")
                    conn.execute(ENDLESS)
        stopped_after = time.monotonic() - started
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if locker is not None:
            locker.execute("ROLLBACK")
            locker.close()
    assert stopped_after < 10  # not the busy timeout, nor the statement's minutes
    assert db.list_traces(path) == []
    db.save_trace_in_sqlite(path, "trc_NEXT", timeout=1, msgpack=document())  # not left locked
