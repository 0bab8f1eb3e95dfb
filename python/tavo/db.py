"""Trace storage: one SQLite row per saved trace document.

Every save inserts a new row, so saving the same trace id twice keeps both
documents. Besides the MessagePack document, each row keeps what is needed to
list traces without decoding them: trace id, save time, source, number of
records, size, a label (the test name, or the command line), and how many
records were dropped while recording (None when none were, or the row was
saved before this was kept).
"""

import contextlib
import pathlib
import sqlite3
import time

import msgpack as _msgpack

SCHEMA_VERSION = 2

_SCHEMA = """
CREATE TABLE IF NOT EXISTS traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    saved_at REAL NOT NULL,
    source TEXT,
    records INTEGER,
    size INTEGER NOT NULL,
    label TEXT,
    msgpack BLOB NOT NULL,
    dropped_records INTEGER
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
"""

# How many leading records of each thread are searched for a test name.
_LABEL_SCAN_LIMIT = 1000

_SUMMARY_KEYS = ("id", "trace_id", "saved_at", "source", "records", "size", "label",
                 "dropped_records")


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
            # Stores made before the dropped-records column get it added.
            if "dropped_records" not in _columns(conn):
                conn.execute("ALTER TABLE traces ADD COLUMN dropped_records INTEGER")
            if conn.execute("PRAGMA user_version").fetchone()[0] < SCHEMA_VERSION:
                conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            yield conn
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise


def _columns(conn):
    return {row[1] for row in conn.execute("PRAGMA table_info(traces)")}


def _summary_columns(conn):
    """The summary columns to select; a store not written since the
    dropped-records column came gives None for it."""
    present = _columns(conn)
    return ", ".join(key if key in present else f"NULL AS {key}" for key in _SUMMARY_KEYS)


def ensure_database(db_path, *, timeout=60):
    """Create the database file and its schema if they do not exist yet."""
    with _write_transaction(db_path, timeout):
        pass


def save_trace_in_sqlite(db_path, trace_id, *, timeout=60, msgpack, dropped_records=None):
    """Store one trace document (MessagePack bytes) and return its row id.

    ``timeout`` is how many seconds to wait for another writer's lock before
    failing with sqlite3.OperationalError. ``dropped_records``: how many records
    the recording lost (given by the engine only when some were)."""
    blob = bytes(msgpack)
    summary = summarize(blob)
    with _write_transaction(db_path, timeout) as conn:
        cursor = conn.execute(
            "INSERT INTO traces (trace_id, saved_at, source, records, size, label, msgpack,"
            " dropped_records) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (str(trace_id), time.time(), summary["source"], summary["records"], len(blob),
             summary["label"], blob, None if dropped_records is None else int(dropped_records)),
        )
    return cursor.lastrowid


def summarize(blob):
    """Source, record count and label of a trace document, read without decoding
    the recorded values. Fields that cannot be read are None."""
    summary = {"source": None, "records": None, "label": None}
    unpacker = _msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace")
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
    return dict(zip(_SUMMARY_KEYS, row))


def list_traces(db_path, trace_id=None):
    """Summaries of the stored documents (all, or those of ``trace_id``),
    oldest first. No document is decoded."""
    with _read_only(db_path) as conn:
        query, params = f"SELECT {_summary_columns(conn)} FROM traces", ()
        if trace_id is not None:
            query, params = query + " WHERE trace_id = ?", (trace_id,)
        rows = conn.execute(query + " ORDER BY id", params).fetchall()
    return [_summary(row) for row in rows]


def load_traces(db_path, trace_id):
    """Every document stored under ``trace_id``, oldest first: a list of
    (summary, MessagePack bytes)."""
    with _read_only(db_path) as conn:
        rows = conn.execute(
            f"SELECT {_summary_columns(conn)}, msgpack FROM traces WHERE trace_id = ? ORDER BY id",
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
