"""The SQLite store: one file, written by tavo.db's save path.

Saving, creating the schema and opening a file for reading are tavo.db's own
functions (the engine calls them directly); this class adds what the commands
need on top: filtered listing, copying, deleting and reclaiming space.
"""

from __future__ import annotations

import os
import sqlite3
from typing import Any

from tavo import db
from tavo.stores.base import SUMMARY_KEYS, RowRefused, Store, Summary, TraceQuery

def check_version(conn: sqlite3.Connection, location: object) -> None:
    """Refuse a store written by a newer tavo, before anything is read or changed."""
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if version > db.SCHEMA_VERSION:
        raise db.NotATraceDatabase(
            f"{location} holds traces of a newer tavo (schema version {version}; this tavo "
            f"knows up to {db.SCHEMA_VERSION}): it was left unchanged")


def _literal_brackets(pattern: str) -> str:
    """A label pattern for GLOB (case-sensitive, like LIKE in PostgreSQL): only * and ?
    are wildcards, so a bracket stands for itself."""
    return pattern.replace("[", "[[]")


def _summary(row: tuple[Any, ...]) -> Summary:
    return dict(zip(SUMMARY_KEYS, row))


class SQLiteStore(Store):
    kind = "SQLite"

    def describe(self) -> str:
        return str(self.location)

    def ensure(self, *, timeout: float) -> None:
        db.ensure_database(self.location, timeout=timeout)

    def save(self, trace_id: str, blob: bytes, *, timeout: float,
             dropped_records: int | None = None, losses: str | None = None) -> int:
        return db.save_row(self.location, trace_id, timeout, blob, dropped_records, losses)

    def set_outcome(self, label: str, outcome: str, *, timeout: float) -> bool:
        return db.set_sqlite_outcome(self.location, label, outcome, timeout=timeout)

    def summaries(self, query: TraceQuery = TraceQuery()) -> list[Summary]:
        where, params = [], []
        if query.trace_id is not None:
            where.append("trace_id = ?")
            params.append(query.trace_id)
        if query.label is not None:
            where.append("label GLOB ?")
            params.append(_literal_brackets(query.label))
        if query.source is not None:
            where.append("source = ?")
            params.append(query.source)
        if query.since is not None:
            where.append("saved_at >= ?")
            params.append(query.since)
        sql = "SELECT {columns} FROM traces"
        if where:
            sql += " WHERE " + " AND ".join(where)
        order = "DESC" if query.newest_first else "ASC"
        sql += f" ORDER BY saved_at {order}, id {order}"
        if query.limit is not None:
            sql += " LIMIT ?"
            params.append(query.limit)
        with db._read_only(self.location) as conn:
            # Stores made before some summary columns came give None for them.
            sql = sql.format(columns=db._summary_columns(conn))
            return [db._summary(row) for row in conn.execute(sql, params)]

    def load(self, trace_id: str) -> list[tuple[Summary, bytes]]:
        return db.load_traces(self.location, trace_id)

    def load_rows(self, ids: list[int]) -> list[tuple[Summary, bytes]]:
        with db._read_only(self.location) as conn:
            found = {}
            for start in range(0, len(ids), 500):
                chunk = ids[start:start + 500]
                marks = ", ".join("?" * len(chunk))
                for row in conn.execute(
                        f"SELECT {db._summary_columns(conn)}, msgpack FROM traces"
                        f" WHERE id IN ({marks})", chunk):
                    found[row[0]] = (db._summary(row[:-1]), bytes(row[-1]))
        return [found[i] for i in ids if i in found]

    def insert_copies(self, rows: list[tuple[Summary, bytes]], *, timeout: float) -> None:
        try:
            with db._write_transaction(self.location, timeout) as conn:
                conn.executemany(
                    "INSERT INTO traces (trace_id, saved_at, source, records, size, label, msgpack,"
                    " dropped_records, outcome, losses) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    [(s["trace_id"], s["saved_at"], s["source"], s["records"], s["size"],
                      s["label"], blob, s.get("dropped_records"), s.get("outcome"),
                      db.losses_text(s.get("losses")))
                     for s, blob in rows])
        except (sqlite3.DataError, sqlite3.IntegrityError) as exc:
            raise RowRefused(f"could not copy traces in {self.describe()}: {exc}") from None

    def delete(self, ids: list[int], *, timeout: float) -> None:
        with db._write_transaction(self.location, timeout) as conn:
            for start in range(0, len(ids), 500):
                chunk = ids[start:start + 500]
                conn.execute(f"DELETE FROM traces WHERE id IN ({', '.join('?' * len(chunk))})",
                             chunk)

    def reclaim(self, *, timeout: float) -> None:
        conn = sqlite3.connect(str(self.location), timeout=timeout, isolation_level=None)
        try:
            conn.execute("VACUUM")
        finally:
            conn.close()

    def total_size(self) -> int:
        path = os.fspath(self.location)
        return sum(os.path.getsize(p) for p in (path, path + "-wal") if os.path.exists(p))
