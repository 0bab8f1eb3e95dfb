"""The tables of a SQLite store, made on the first save and upgraded in place from those of
an earlier tavo.

    traces     one row of facts per saved document (see base.SUMMARY_KEYS), small enough
               that listing reads no document
    documents  the document of each row (its id), compressed (see codec)
    functions  each function met in any trace: qualified name, code name and file
    calls      the call index: per function and trace, calls, total and own time, raised

A store of schema version 1 or 2 held the documents in its one table, whose rows gave the
xdist worker or the parent of a child process at the end of their labels. Its upgrade
renames that table "legacy_traces", where the documents stay, and copies each row's facts
into "traces" (the label's end read into the role, pid and parent columns). Such rows have
no call index ("indexed" 0): a search by function reads their documents.
"""

from __future__ import annotations

import sqlite3
from typing import Any

from tavo.stores.base import NotATraceDatabase
from tavo.stores.rows import split_old_label

VERSION = 3
LEGACY = "legacy_traces"

_TABLES = (
    "CREATE TABLE traces ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, saved_at REAL NOT NULL,"
    " label TEXT, outcome TEXT, source TEXT, role TEXT, pid INTEGER, parent_trace_id TEXT,"
    " records INTEGER, dropped_records INTEGER, losses TEXT, started_at REAL, duration REAL,"
    " size INTEGER NOT NULL, indexed INTEGER NOT NULL DEFAULT 1)",
    "CREATE INDEX traces_by_trace_id ON traces (trace_id)",
    "CREATE INDEX traces_by_saved_at ON traces (saved_at)",
    "CREATE INDEX traces_by_label ON traces (label)",
    "CREATE INDEX traces_by_parent ON traces (parent_trace_id) WHERE parent_trace_id IS NOT NULL",
    "CREATE TABLE documents (id INTEGER PRIMARY KEY, encoding TEXT, data BLOB NOT NULL)",
    "CREATE TABLE functions (id INTEGER PRIMARY KEY, qualname TEXT NOT NULL, name TEXT NOT NULL,"
    " file TEXT NOT NULL, UNIQUE (qualname, name, file))",
    # By function first: a search asks which traces call a function.
    "CREATE TABLE calls (function_id INTEGER NOT NULL, trace_row INTEGER NOT NULL,"
    " calls INTEGER NOT NULL, total REAL NOT NULL, own REAL NOT NULL, raised INTEGER NOT NULL,"
    " PRIMARY KEY (function_id, trace_row)) WITHOUT ROWID",
)
_CURRENT = {"traces", "documents", "functions", "calls"}
# The columns every store of an earlier tavo had.
_OLD_COLUMNS = {"id", "trace_id", "saved_at", "source", "records", "size", "label", "msgpack"}
# Facts an earlier store may lack (added to its table over time).
_OLD_OPTIONAL = ("dropped_records", "outcome", "losses")


def tables(conn: sqlite3.Connection) -> set[str]:
    return {name for (name,) in conn.execute(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")}


def columns(conn: sqlite3.Connection, table: str) -> set[str]:
    return {row[1] for row in conn.execute(f"PRAGMA table_info({table})")}


def layout(conn: sqlite3.Connection, location: object) -> str:
    """"current", "old" (an earlier tavo's table, not upgraded yet) or "empty"; refuses a
    store of a newer tavo and a database that is not a trace store."""
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if version > VERSION:
        raise NotATraceDatabase(
            f"{location} holds traces of a newer tavo (schema version {version}; this tavo "
            f"knows up to {VERSION}): it was left unchanged")
    found = tables(conn)
    if version == VERSION and _CURRENT <= found:
        return "current"
    if not found:
        return "empty"
    if "traces" in found and _OLD_COLUMNS <= columns(conn, "traces") and version < VERSION:
        return "old"
    raise NotATraceDatabase(f"{location} is not a tavo trace database (it has other tables)")


def prepare(conn: sqlite3.Connection, location: object) -> None:
    """Inside a write transaction: make the tables, or upgrade an earlier tavo's."""
    if conn.execute("PRAGMA user_version").fetchone()[0] == VERSION:
        return  # made by this tavo (it sets the version with the tables)
    found = layout(conn, location)
    if found == "current":
        return
    if found == "old":
        _upgrade(conn)
    else:
        for statement in _TABLES:
            conn.execute(statement)
    conn.execute(f"PRAGMA user_version = {VERSION}")


def old_summary_columns(conn: sqlite3.Connection, table: str = "traces") -> str:
    """The facts columns of an earlier tavo's table, None for those it lacks."""
    present = columns(conn, table)
    return ", ".join(
        ["id", "trace_id", "saved_at", "label", "source", "records", "size"]
        + [name if name in present else f"NULL AS {name}" for name in _OLD_OPTIONAL])


OLD_KEYS = ("id", "trace_id", "saved_at", "label", "source", "records", "size",
            "dropped_records", "outcome", "losses")


def old_row(values: tuple[Any, ...]) -> dict[str, Any]:
    """An earlier tavo's row (OLD_KEYS) as the facts this tavo keeps."""
    row = dict(zip(OLD_KEYS, values))
    row.update(split_old_label(row["label"]))
    return row


def _upgrade(conn: sqlite3.Connection) -> None:
    conn.execute("DROP INDEX IF EXISTS traces_by_trace_id")
    conn.execute(f"ALTER TABLE traces RENAME TO {LEGACY}")
    for statement in _TABLES:
        conn.execute(statement)
    rows = [old_row(values) for values in conn.execute(
        f"SELECT {old_summary_columns(conn, LEGACY)} FROM {LEGACY} ORDER BY id")]
    conn.executemany(
        "INSERT INTO traces (id, trace_id, saved_at, label, outcome, source, role, pid,"
        " parent_trace_id, records, dropped_records, losses, size, indexed)"
        " VALUES (:id, :trace_id, :saved_at, :label, :outcome, :source, :role, :pid,"
        " :parent_trace_id, :records, :dropped_records, :losses, :size, 0)", rows)
    # New rows number on from where the old table's numbers stopped.
    conn.execute("DELETE FROM sqlite_sequence WHERE name = 'traces'")
    conn.execute("INSERT INTO sqlite_sequence (name, seq) SELECT 'traces', max(seq) FROM"
                 f" sqlite_sequence WHERE name IN ('{LEGACY}', 'traces') HAVING max(seq)"
                 " IS NOT NULL")
