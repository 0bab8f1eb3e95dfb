"""Trace storage: one SQLite row per saved trace document.

A PostgreSQL URL (postgresql://user@host:port/dbname) instead of a file path
hands each call to the PostgreSQL store (tavo.stores), which keeps the same rows.

Every save inserts a new row, so saving the same trace id twice keeps both
documents. Besides the MessagePack document, each row keeps what is needed to
list traces without decoding them: trace id, save time, source, number of
records, size, a label (the test name, or the command line), how many
records were dropped while recording (None when none were, or the row was
saved before this was kept), and what the recording shortened or dropped and
why ("losses", see losses_of).
"""

import contextlib
import functools
import io
import json
import os
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
    dropped_records INTEGER,
    losses TEXT
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
"""

# How many leading records of each thread are searched for a test name.
_LABEL_SCAN_LIMIT = 1000

_SUMMARY_KEYS = ("id", "trace_id", "saved_at", "source", "records", "size", "label",
                 "dropped_records", "outcome", "losses")

# Appended to the label of every trace this process saves: the pytest-xdist worker
# ("[worker gw0]") or the parent trace and process id of a child process
# ("[child of trc_... pid 123]"). Set by the host; `tavo traces` groups children
# under their parents by it.
process_label = ""


_COLUMNS = {"id", "trace_id", "saved_at", "source", "records", "size", "label", "msgpack"}

# Called after every save attempt of this process, as
# observer(db_path, trace_id, summary, error):
# the summary of the stored document (see summarize) and None, or None and the exception
# that stopped the save. The pytest plugin and ``tavo run`` count and report saves here.
save_observers = []

# outcome_at_save(label): the outcome to store with a document as its row is
# inserted, for the label it names, when already known then (the pytest plugin's
# test outcomes); None for none. Storing it later would rewrite the row, its
# document with it, in a second transaction.
outcome_at_save = None


class NotATraceDatabase(Exception):
    """The file is missing, or is not a tavo trace database."""


def _create_owner_only(db_path):
    """Create a missing database file readable by its owner alone: it holds every
    recorded value. SQLite gives its journal the same mode. An existing file is
    left as it is."""
    try:
        os.close(os.open(db_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        pass


def _check_is_store(conn, db_path):
    """Refuse a database that holds tables but is not a trace store, before
    anything in it is changed."""
    tables = {name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if not tables:
        return
    columns = {row[1] for row in conn.execute("PRAGMA table_info(traces)")}
    if not _COLUMNS <= columns:
        raise NotATraceDatabase(f"{db_path} is not a tavo trace database (it has other tables)")


def _server_store(db_path):
    """The store of a database server URL, or None for a SQLite file path."""
    from tavo import stores

    return stores.open_store(db_path) if stores.is_server_url(db_path) else None


# One wait for another writer's lock: an interrupt (Ctrl-C) reaches the program between
# two of them, where SQLite's own wait would hold it for the whole busy timeout.
_LOCK_WAIT_SLICE = 0.1


def _begin_immediate(conn, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            conn.execute("BEGIN IMMEDIATE")
            break
        except sqlite3.OperationalError as exc:
            busy = getattr(exc, "sqlite_errorcode", None) == sqlite3.SQLITE_BUSY
            if not busy or time.monotonic() >= deadline:
                raise
    # The rest of the transaction waits (for readers, at commit) as long as is left.
    left = max(0, int((deadline - time.monotonic()) * 1000))
    conn.execute(f"PRAGMA busy_timeout = {left}")


def _watch_interrupts(conn):
    """Let an exception a signal handler raises (Ctrl-C's KeyboardInterrupt) stop a
    long statement; returns the list where it lands, to be raised instead of the
    statement's "interrupted" error. SQLite calls the progress handler between
    instructions, and the sqlite3 module swallows what it raises: it runs in a
    generator, whose resumption is where Python runs pending signal handlers."""
    caught = []

    def watch():
        while True:
            try:
                yield False
            except GeneratorExit:
                raise
            except BaseException as exc:
                caught.append(exc)
                break
        while True:
            yield True  # stop the statement

    conn.set_progress_handler(functools.partial(next, watch()), 1000)
    return caught


@contextlib.contextmanager
def _write_transaction(db_path, timeout):
    """A connection inside a write transaction (committed on success), with the
    schema in place. Waits up to ``timeout`` seconds for other writers; an interrupt
    stops the wait or the statement, rolls back and is raised."""
    _create_owner_only(os.fspath(db_path))
    with contextlib.closing(sqlite3.connect(os.fspath(db_path),
                                            timeout=min(timeout, _LOCK_WAIT_SLICE),
                                            isolation_level=None)) as conn:
        interrupts = _watch_interrupts(conn)
        _begin_immediate(conn, timeout)
        try:
            _check_is_store(conn, db_path)
            _check_version(conn, db_path)
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    conn.execute(statement)
            # Stores made before the dropped-records column get it added.
            if "dropped_records" not in _columns(conn):
                conn.execute("ALTER TABLE traces ADD COLUMN dropped_records INTEGER")
            if conn.execute("PRAGMA user_version").fetchone()[0] < SCHEMA_VERSION:
                conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            if not _has_outcome(conn):  # a store made before test outcomes were kept
                conn.execute("ALTER TABLE traces ADD COLUMN outcome TEXT")
            if "losses" not in _columns(conn):  # ... or before losses were
                conn.execute("ALTER TABLE traces ADD COLUMN losses TEXT")
            yield conn
            conn.execute("COMMIT")
        except BaseException:
            conn.set_progress_handler(None, 0)
            # Not after the COMMIT went through (an interrupt may come just after it):
            # nothing is left to roll back, and the interrupt must go on as it is.
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            if interrupts:
                raise interrupts[0] from None
            raise


def _columns(conn):
    return {row[1] for row in conn.execute("PRAGMA table_info(traces)")}


def _summary_columns(conn):
    """The summary columns to select; a store not written since the
    dropped-records or outcome column came gives None for it."""
    present = _columns(conn)
    return ", ".join(key if key in present else f"NULL AS {key}" for key in _SUMMARY_KEYS)


def ensure_database(db_path, *, timeout=60):
    """Create the database file and its schema if they do not exist yet, and
    check that a trace can be written there: a row is inserted and rolled back,
    so a read-only file or a folder where the journal cannot be made is found
    before anything is profiled."""
    if (store := _server_store(db_path)) is not None:
        with store:
            return store.ensure(timeout=timeout)
    with _write_transaction(db_path, timeout) as conn:
        conn.execute("SAVEPOINT probe")
        conn.execute("INSERT INTO traces (trace_id, saved_at, size, msgpack) VALUES ('', 0, 0, x'')")
        conn.execute("ROLLBACK TO probe")


def losses_of(dropped_records=None, budget_dropped_records=None, shortened_values=None,
              shortened_from_record=None):
    """What a recording lost, from the counts the engine gives a save (each only
    when not zero), as stored in a summary's "losses": None when nothing was
    lost, else a dict of "dropped_records" (all dropped), "budget_dropped_records"
    (of those, dropped because the trace reached its buffer budget; the others
    met errors), "shortened_values" (values written shorter than their value
    budget allowed, as the buffered records neared the buffer budget) and
    "shortened_from_record" (the number of the first record holding one)."""
    counts = {"dropped_records": dropped_records, "budget_dropped_records": budget_dropped_records,
              "shortened_values": shortened_values, "shortened_from_record": shortened_from_record}
    counts = {key: int(value) for key, value in counts.items() if value}
    return counts or None


def losses_text(losses):
    """A summary's "losses" as stored in its row's column."""
    return None if not losses else json.dumps(losses, sort_keys=True)


def summary_of(keys, row):
    """A summary from a row of its columns, in ``keys`` order."""
    summary = dict(zip(keys, row))
    if isinstance(summary.get("losses"), str):
        try:
            summary["losses"] = json.loads(summary["losses"])
        except ValueError:
            summary["losses"] = None
    return summary


def save_trace_in_sqlite(db_path, trace_id, *, timeout=60, msgpack, dropped_records=None,
                         **losses):
    """Store one trace document (MessagePack bytes) and return its row id.

    ``timeout`` is how many seconds to wait for another writer's lock before
    failing with sqlite3.OperationalError. ``dropped_records``: how many records
    the recording lost, and ``losses`` the other counts of losses_of (given by
    the engine only when not zero)."""
    lost = losses_text(losses_of(dropped_records, **losses))
    if (store := _server_store(db_path)) is None:
        return save_row(db_path, trace_id, timeout, msgpack, dropped_records, lost)
    try:
        blob = bytes(msgpack)
        with store:
            row_id = store.save(trace_id, blob, timeout=timeout,
                                dropped_records=dropped_records, losses=lost)
    except Exception as exc:
        _notify(db_path, trace_id, None, exc)
        raise
    if save_observers:
        _notify(db_path, trace_id, _with_losses(summarize(blob), lost), None)
    return row_id


def _with_losses(summary, lost):
    summary["losses"] = json.loads(lost) if lost else None
    return summary


def save_row(db_path, trace_id, timeout, msgpack, dropped_records, lost):
    """Insert one document's row into a SQLite store (``lost``: losses_text)."""
    try:
        blob = bytes(msgpack)
        summary = summarize(blob)
        outcome = (outcome_at_save(summary["label"])
                   if outcome_at_save is not None and summary["label"] else None)
        summary = _with_losses(with_process_label(summary), lost)
        with _write_transaction(db_path, timeout) as conn:
            _check_fits(conn, len(blob))
            cursor = conn.execute(
                "INSERT INTO traces (trace_id, saved_at, source, records, size, label, msgpack,"
                " dropped_records, losses, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (str(trace_id), time.time(), summary["source"], summary["records"], len(blob),
                 summary["label"], blob, None if dropped_records is None else int(dropped_records),
                 lost, outcome),
            )
    except Exception as exc:
        _notify(db_path, trace_id, None, exc)
        raise
    _notify(db_path, trace_id, summary, None)
    return cursor.lastrowid


def value_limit(conn):
    """The most bytes SQLite keeps in one value (1e9 unless built otherwise)."""
    return conn.getlimit(sqlite3.SQLITE_LIMIT_LENGTH)


def _check_fits(conn, size):
    """Refuse, with the reason, a document larger than SQLite stores in one value."""
    limit = value_limit(conn)
    if size > limit:
        raise sqlite3.DataError(
            f"the trace document takes {size} bytes, more than the {limit} a SQLite store "
            f"keeps in one value: record less, or lower the \"buffer_budget\" setting")


def _notify(db_path, trace_id, summary, error):
    for observer in list(save_observers):
        observer(db_path, trace_id, summary, error)


def with_process_label(summary):
    """The summary with this process's label suffix (see process_label) added."""
    if process_label:
        summary["label"] = f"{summary['label'] or ''} {process_label}".lstrip()
    return summary


def summarize(blob):
    """Source, record count, label and whether any record is of user code
    ("user_code": a frame record) of a trace document, read as a stream without
    decoding the recorded values, with no limit on the document's size. Fields
    that cannot be read are None."""
    summary = {"source": None, "records": None, "label": None, "user_code": None}
    # The buffer only ever holds the value being read, but that value may be as
    # large as the whole document.
    unpacker = _msgpack.Unpacker(io.BytesIO(blob), raw=False, strict_map_key=False,
                                 unicode_errors="replace", max_buffer_size=max(len(blob), 1))
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
        summary["user_code"] = bool(summary["user_code"])
        if summary["label"] is None:
            summary["label"] = command
    except Exception:
        pass
    return summary


def _count_records(unpacker, summary):
    """Skip an array of records, looking for a test name in the first ones and
    for a frame record (whose first key is "path") until one is found."""
    count = unpacker.read_array_header()
    for index in range(count):
        look_for_label = summary["label"] is None and index < _LABEL_SCAN_LIMIT
        if not look_for_label and summary["user_code"]:
            unpacker.skip()
            continue
        for position in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if position == 0 and key == "path":
                summary["user_code"] = True
            if key == "test_name" and look_for_label:
                value = unpacker.unpack()
                if isinstance(value, str):
                    summary["label"] = value
            else:
                unpacker.skip()
    return count


@contextlib.contextmanager
def _read_only(db_path):
    """A connection that reads and never writes. It is opened for writing where the
    file allows (never creating it), so that the journal a writer killed mid-save
    left behind is rolled back by this first reader instead of stopping every
    reader until some later writer comes."""
    path = pathlib.Path(db_path)
    if not path.is_file():
        raise NotATraceDatabase(f"no trace database at {db_path}")
    try:
        with contextlib.closing(sqlite3.connect(f"{path.resolve().as_uri()}?mode=rw", uri=True)) as conn:
            conn.execute("PRAGMA query_only = ON")
            _check_version(conn, db_path)
            yield conn
    except sqlite3.DatabaseError as exc:
        if "no such table" in str(exc) or "not a database" in str(exc):
            raise NotATraceDatabase(f"{db_path} is not a tavo trace database") from None
        raise


def _check_version(conn, db_path):
    from tavo.stores.sqlite import check_version

    check_version(conn, db_path)


def _summary(row):
    return summary_of(_SUMMARY_KEYS, row)


def _has_outcome(conn):
    return any(column[1] == "outcome" for column in conn.execute("PRAGMA table_info(traces)"))


def list_traces(db_path, trace_id=None):
    """Summaries of the stored documents (all, or those of ``trace_id``),
    oldest first, with the test outcome where one was stored. No document is
    decoded."""
    if (store := _server_store(db_path)) is not None:
        from tavo.stores import TraceQuery

        with store:
            return store.summaries(TraceQuery(trace_id=trace_id, newest_first=False))
    with _read_only(db_path) as conn:
        query, params = f"SELECT {_summary_columns(conn)} FROM traces", ()
        if trace_id is not None:
            query, params = query + " WHERE trace_id = ?", (trace_id,)
        rows = conn.execute(query + " ORDER BY id", params).fetchall()
    return [_summary(row) for row in rows]


def set_outcome(db_path, label, outcome, *, timeout=60):
    """Store a test's outcome ("passed", "failed", "skipped" or "error") with the
    latest trace labelled with its name; False when there is none."""
    label = with_process_label({"label": label})["label"]
    if (store := _server_store(db_path)) is not None:
        with store:
            return store.set_outcome(label, outcome, timeout=timeout)
    return set_sqlite_outcome(db_path, label, outcome, timeout=timeout)


def set_sqlite_outcome(db_path, label, outcome, *, timeout=60):
    """set_outcome for a SQLite file, with the label as stored."""
    with _write_transaction(db_path, timeout) as conn:
        cursor = conn.execute(
            "UPDATE traces SET outcome = ? WHERE id = (SELECT max(id) FROM traces WHERE label = ?)",
            (outcome, label))
    return cursor.rowcount > 0


def load_traces(db_path, trace_id):
    """Every document stored under ``trace_id``, oldest first: a list of
    (summary, MessagePack bytes)."""
    if (store := _server_store(db_path)) is not None:
        with store:
            return store.load(trace_id)
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


def iter_documents(db_path, row_ids):
    """The documents of the given rows (``id`` of their summaries), one at a time:
    (row id, MessagePack bytes); rows that are gone are left out. Each is read
    straight into its bytes object, so a large one is in memory once."""
    if (store := _server_store(db_path)) is not None:
        row_ids = list(row_ids)
        with store:
            for start in range(0, len(row_ids), 16):  # a few documents in memory at a time
                for summary, data in store.load_rows(row_ids[start:start + 16]):
                    yield summary["id"], data
        return
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
