"""Trace storage: one SQLite row per saved trace document.

Every save inserts a new row, so saving the same trace id twice keeps both
documents. Besides the MessagePack document, each row keeps what is needed to
list traces without decoding them: trace id, save time, source, number of
records, size, and a label (the test name, or the command line).
"""

import contextlib
import pathlib
import sqlite3
import time

import msgpack as _msgpack

SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE IF NOT EXISTS traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    saved_at REAL NOT NULL,
    source TEXT,
    records INTEGER,
    size INTEGER NOT NULL,
    label TEXT,
    msgpack BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
"""

# How many leading records of each thread are searched for a test name.
_LABEL_SCAN_LIMIT = 1000

_SUMMARY_COLUMNS = "id, trace_id, saved_at, source, records, size, label"


class NotATraceDatabase(Exception):
    """The file is missing, or is not a tavo trace database."""


@contextlib.contextmanager
def _write_transaction(db_path, timeout):
    """A connection inside a write transaction (committed on success), with the
    schema in place. Waits up to ``timeout`` seconds for other writers."""
    with contextlib.closing(sqlite3.connect(str(db_path), timeout=timeout,
                                            isolation_level=None)) as conn:
        conn.execute("BEGIN IMMEDIATE")
        try:
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    conn.execute(statement)
            if conn.execute("PRAGMA user_version").fetchone()[0] == 0:
                conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            if not _has_outcome(conn):  # a store made before test outcomes were kept
                conn.execute("ALTER TABLE traces ADD COLUMN outcome TEXT")
            yield conn
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise


def ensure_database(db_path, *, timeout=60):
    """Create the database file and its schema if they do not exist yet."""
    with _write_transaction(db_path, timeout):
        pass


def save_trace_in_sqlite(db_path, trace_id, *, timeout=60, msgpack):
    """Store one trace document (MessagePack bytes) and return its row id.

    ``timeout`` is how many seconds to wait for another writer's lock before
    failing with sqlite3.OperationalError."""
    blob = bytes(msgpack)
    summary = summarize(blob)
    with _write_transaction(db_path, timeout) as conn:
        cursor = conn.execute(
            "INSERT INTO traces (trace_id, saved_at, source, records, size, label, msgpack)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (str(trace_id), time.time(), summary["source"], summary["records"], len(blob),
             summary["label"], blob),
        )
    return cursor.lastrowid


def summarize(blob):
    """Source, record count and label of a trace document, read without decoding
    the recorded values. Fields that cannot be read are None."""
    summary = {"source": None, "records": None, "label": None}
    # The whole document is fed at once: its size is the buffer it needs (the default
    # limit, 100 MiB, would refuse a large trace).
    unpacker = _msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace",
                                 max_buffer_size=max(len(blob), 1))
    unpacker.feed(blob)
    try:
        records = 0
        command = None
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                records += _count_records(unpacker, summary)
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()
                    records += _count_records(unpacker, summary)
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    summary["source"] = meta["source"]
            elif key == "command_line_args":
                args = unpacker.unpack()
                if isinstance(args, list):
                    command = " ".join(str(arg) for arg in args)
            else:
                unpacker.skip()
        summary["records"] = records
        if summary["label"] is None:
            summary["label"] = command
    except Exception:
        pass
    return summary


def _count_records(unpacker, summary):
    """Skip an array of records, looking for a test name in the first ones."""
    count = unpacker.read_array_header()
    for index in range(count):
        if summary["label"] is None and index < _LABEL_SCAN_LIMIT:
            for _ in range(unpacker.read_map_header()):
                if unpacker.unpack() == "test_name":
                    value = unpacker.unpack()
                    if isinstance(value, str):
                        summary["label"] = value
                else:
                    unpacker.skip()
        else:
            unpacker.skip()
    return count


@contextlib.contextmanager
def _read_only(db_path):
    path = pathlib.Path(db_path)
    if not path.is_file():
        raise NotATraceDatabase(f"no trace database at {db_path}")
    try:
        with contextlib.closing(sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)) as conn:
            yield conn
    except sqlite3.DatabaseError as exc:
        if "no such table" in str(exc) or "not a database" in str(exc):
            raise NotATraceDatabase(f"{db_path} is not a tavo trace database") from None
        raise


def _summary(row):
    keys = ("id", "trace_id", "saved_at", "source", "records", "size", "label", "outcome")
    return dict(zip(keys, row))


def _has_outcome(conn):
    return any(column[1] == "outcome" for column in conn.execute("PRAGMA table_info(traces)"))


def list_traces(db_path, trace_id=None):
    """Summaries of the stored documents (all, or those of ``trace_id``),
    oldest first, with the test outcome where one was stored. No document is
    decoded."""
    with _read_only(db_path) as conn:
        outcome = "outcome" if _has_outcome(conn) else "NULL"
        query, params = f"SELECT {_SUMMARY_COLUMNS}, {outcome} FROM traces", ()
        if trace_id is not None:
            query, params = query + " WHERE trace_id = ?", (trace_id,)
        rows = conn.execute(query + " ORDER BY id", params).fetchall()
    return [_summary(row) for row in rows]


def set_outcome(db_path, label, outcome, *, timeout=60):
    """Store a test's outcome ("passed", "failed", "skipped" or "error") with the
    latest trace labelled with its name; False when there is none."""
    with _write_transaction(db_path, timeout) as conn:
        cursor = conn.execute(
            "UPDATE traces SET outcome = ? WHERE id = (SELECT max(id) FROM traces WHERE label = ?)",
            (outcome, label))
    return cursor.rowcount > 0


def load_traces(db_path, trace_id):
    """Every document stored under ``trace_id``, oldest first: a list of
    (summary, MessagePack bytes)."""
    with _read_only(db_path) as conn:
        rows = conn.execute(
            f"SELECT {_SUMMARY_COLUMNS}, msgpack FROM traces WHERE trace_id = ? ORDER BY id",
            (trace_id,),
        ).fetchall()
    return [(_summary(row[:-1]), bytes(row[-1])) for row in rows]


def _pairs_to_dict(pairs):
    result = {}
    for key, value in pairs:
        try:
            hash(key)
        except TypeError:
            key = repr(key)
        result[key] = value
    return result


def decode_document(blob):
    """Decode a stored trace document (any map key, even an unhashable one, is
    accepted; strings that are not valid UTF-8 are decoded with replacements)."""
    return _msgpack.unpackb(
        blob, raw=False, strict_map_key=False, unicode_errors="replace",
        object_pairs_hook=_pairs_to_dict,
    )


def iter_documents(db_path, row_ids):
    """The documents of the given rows (``id`` of their summaries), one at a time:
    (row id, MessagePack bytes); rows that are gone are left out. Each is read
    straight into its bytes object, so a large one is in memory once."""
    with _read_only(db_path) as conn:
        for row_id in row_ids:
            try:
                with conn.blobopen("traces", "msgpack", row_id, readonly=True) as blob:
                    data = blob.read()
            except sqlite3.OperationalError as exc:
                if "no such rowid" in str(exc):
                    continue
                raise
            yield row_id, data
