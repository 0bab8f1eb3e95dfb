"""The SQLite store: one file (see sqlite_schema for its tables)."""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
from collections.abc import Iterator
from typing import Any

from tavo.stores import codec, sqlite_schema
from tavo.stores.base import (SUMMARY_KEYS, NotATraceDatabase, RowRefused, Store, Summary,
                              TraceQuery, matching_function_ids)
from tavo.stores.rows import (NewTrace, copied_trace, label_matches, losses_from_text,
                              losses_text)
from tavo.stores.sqlite_connection import read_only, release, write_transaction

_COLUMNS = ", ".join(SUMMARY_KEYS)
_ROW_KEYS = SUMMARY_KEYS[1:]
_INSERT = (f"INSERT INTO traces ({', '.join(_ROW_KEYS)}, indexed)"
           f" VALUES ({', '.join('?' * len(_ROW_KEYS))}, ?)")


def value_limit(conn: sqlite3.Connection) -> int:
    """The most bytes SQLite keeps in one value (1e9 unless built otherwise)."""
    return conn.getlimit(sqlite3.SQLITE_LIMIT_LENGTH)


def _literal_brackets(pattern: str) -> str:
    """A label pattern for GLOB (case-sensitive, like LIKE in PostgreSQL): only * and ?
    are wildcards, so a bracket stands for itself."""
    return pattern.replace("[", "[[]")


def _summary(row: tuple[Any, ...]) -> Summary:
    summary = dict(zip(SUMMARY_KEYS, row))
    summary["losses"] = losses_from_text(summary["losses"])
    return summary


def _row_values(trace: NewTrace) -> list[Any]:
    row = trace.row
    values = [row[key] for key in _ROW_KEYS]
    values[_ROW_KEYS.index("losses")] = losses_text(row["losses"])
    values.append(int(trace.indexed))
    return values


def _insert_calls(conn: sqlite3.Connection, row_ids: list[int], traces: list[NewTrace]) -> None:
    """The call index of the traces, their functions added and looked up once for all of
    them: the functions of a test suite's traces are mostly the same ones."""
    keys = list(dict.fromkeys((f.qualname, f.name, f.file)
                              for trace in traces for f in trace.functions))
    if not keys:
        return
    conn.executemany("INSERT OR IGNORE INTO functions (qualname, name, file) VALUES (?, ?, ?)",
                     keys)
    ids = {tuple(row[1:]): row[0] for row in conn.execute(
        "SELECT id, qualname, name, file FROM functions WHERE (qualname, name, file) IN"
        " (SELECT json_extract(value, '$[0]'), json_extract(value, '$[1]'),"
        " json_extract(value, '$[2]') FROM json_each(?))", (json.dumps(keys),))}
    conn.executemany(
        "INSERT INTO calls (function_id, trace_row, calls, total, own, raised)"
        " VALUES (?, ?, ?, ?, ?, ?)",
        [(ids[(f.qualname, f.name, f.file)], row_id, f.calls, f.total, f.own, f.raised)
         for row_id, trace in zip(row_ids, traces) for f in trace.functions])


class SQLiteStore(Store):
    kind = "SQLite"

    def describe(self) -> str:
        return str(self.location)

    # Connections

    @contextlib.contextmanager
    def _writing(self, timeout: float) -> Iterator[sqlite3.Connection]:
        with write_transaction(os.fspath(self.location), timeout,
                               lambda conn: sqlite_schema.prepare(conn, self.location)) as conn:
            yield conn

    @contextlib.contextmanager
    def _reading(self) -> Iterator[tuple[sqlite3.Connection, str]]:
        """A reading connection and the store's layout ("current" or "old")."""
        try:
            with read_only(os.fspath(self.location), lambda: NotATraceDatabase(
                    f"no trace database at {self.location}")) as conn:
                found = sqlite_schema.layout(conn, self.location)
                if found == "empty":
                    raise NotATraceDatabase(f"{self.location} is not a tavo trace database")
                yield conn, found
        except sqlite3.DatabaseError as exc:
            if "no such table" in str(exc) or "not a database" in str(exc):
                raise NotATraceDatabase(f"{self.location} is not a tavo trace database") \
                    from None
            raise

    def release(self) -> None:
        release(os.fspath(self.location))

    def ensure(self, *, timeout: float) -> None:
        with self._writing(timeout) as conn:
            # A row is inserted and rolled back, so that a read-only file or a folder where
            # the log cannot be made is found before anything is profiled.
            conn.execute("SAVEPOINT probe")
            conn.execute("INSERT INTO traces (trace_id, saved_at, size) VALUES ('', 0, 0)")
            conn.execute("ROLLBACK TO probe")

    # Writing

    def save(self, traces: list[NewTrace], *, timeout: float) -> list[int]:
        with self._writing(timeout) as conn:
            limit = value_limit(conn)
            for trace in traces:
                if len(trace.stored) > limit:
                    raise sqlite3.DataError(
                        f"the trace document takes {len(trace.stored)} bytes as stored, more "
                        f"than the {limit} a SQLite store keeps in one value: record less, or "
                        f"lower the \"buffer_budget\" setting")
            row_ids = [conn.execute(_INSERT, _row_values(trace)).lastrowid for trace in traces]
            conn.executemany("INSERT INTO documents (id, encoding, data) VALUES (?, ?, ?)",
                             [(row_id, trace.encoding, trace.stored)
                              for row_id, trace in zip(row_ids, traces)])
            _insert_calls(conn, row_ids, traces)
            return row_ids

    def set_outcome(self, label: str, outcome: str, *, timeout: float) -> bool:
        with self._writing(timeout) as conn:
            cursor = conn.execute(
                "UPDATE traces SET outcome = ? WHERE id = (SELECT max(id) FROM traces"
                " WHERE label = ?)", (outcome, label))
        return cursor.rowcount > 0

    def insert_copies(self, rows: list[tuple[Summary, bytes]], *, timeout: float) -> None:
        try:
            self.save([copied_trace(summary, blob) for summary, blob in rows], timeout=timeout)
        except (sqlite3.DataError, sqlite3.IntegrityError) as exc:
            raise RowRefused(f"could not copy traces in {self.describe()}: {exc}") from None

    def delete(self, ids: list[int], *, timeout: float) -> None:
        with self._writing(timeout) as conn:
            legacy = sqlite_schema.LEGACY in sqlite_schema.tables(conn)
            conn.execute("CREATE TEMP TABLE IF NOT EXISTS doomed (id INTEGER PRIMARY KEY)")
            conn.execute("DELETE FROM doomed")
            conn.executemany("INSERT OR IGNORE INTO doomed VALUES (?)", [(i,) for i in ids])
            conn.execute("DELETE FROM calls WHERE trace_row IN doomed")
            for table in ("traces", "documents") + ((sqlite_schema.LEGACY,) if legacy else ()):
                conn.execute(f"DELETE FROM {table} WHERE id IN doomed")
            conn.execute("DROP TABLE doomed")

    def reclaim(self, *, timeout: float) -> None:
        conn = sqlite3.connect(str(self.location), timeout=timeout, isolation_level=None)
        try:
            conn.execute("VACUUM")
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        finally:
            conn.close()

    def total_size(self) -> int:
        path = os.fspath(self.location)
        return sum(os.path.getsize(p) for p in (path, path + "-wal") if os.path.exists(p))

    # Reading

    def candidates(self, query: TraceQuery = TraceQuery()) -> list[tuple[Summary, bool]]:
        with self._reading() as (conn, found):
            if found == "old":
                return _old_summaries(conn, query)
            return self._current_summaries(conn, query)

    def _current_summaries(self, conn: sqlite3.Connection,
                           query: TraceQuery) -> list[tuple[Summary, bool]]:
        where, params = [], []
        for column, value in (("trace_id", query.trace_id), ("source", query.source),
                              ("outcome", query.outcome)):
            if value is not None:
                where.append(f"{column} = ?")
                params.append(value)
        if query.label is not None:
            where.append("label GLOB ?")
            params.append(_literal_brackets(query.label))
        if query.since is not None:
            where.append("saved_at >= ?")
            params.append(query.since)
        if query.parents is not None:
            where.append("parent_trace_id IN (SELECT value FROM json_each(?))")
            params.append(json.dumps(list(query.parents)))
        unsure = False
        if query.function is not None:
            ids = matching_function_ids(conn, query.function)
            where.append("(indexed = 0 OR id IN (SELECT trace_row FROM calls WHERE function_id"
                         " IN (SELECT value FROM json_each(?))))")
            params.append(json.dumps(ids))
            unsure = conn.execute("SELECT 1 FROM traces WHERE indexed = 0 LIMIT 1"
                                       ).fetchone() is not None
        sql = f"SELECT {_COLUMNS}, indexed FROM traces"
        if where:
            sql += " WHERE " + " AND ".join(where)
        order = "DESC" if query.newest_first else "ASC"
        sql += f" ORDER BY saved_at {order}, id {order}"
        if query.limit is not None and not unsure:
            sql += " LIMIT ?"
            params.append(query.limit)
        return [(_summary(row[:-1]), bool(row[-1])) for row in conn.execute(sql, params)]

    def resolve(self, text: str) -> tuple[list[str], int]:
        with self._reading() as (conn, _):
            if text == "last":
                ids = [row[0] for row in conn.execute(
                    "SELECT trace_id FROM traces ORDER BY id DESC LIMIT 1")]
                return ids, len(ids)
            # A range on the trace ids' index: those from the prefix on that start with it.
            matching = ("FROM traces WHERE trace_id >= ? AND trace_id < ?"
                        " AND substr(trace_id, 1, ?) = ?")
            params = (text, text + "\U0010ffff", len(text), text)
            ids = [row[0] for row in conn.execute(
                f"SELECT DISTINCT trace_id {matching} ORDER BY trace_id LIMIT 2", params)]
            count = conn.execute(f"SELECT count(DISTINCT trace_id) {matching}", params
                                 ).fetchone()[0] if len(ids) > 1 else len(ids)
        return ids, count

    def load(self, trace_id: str) -> list[tuple[Summary, bytes]]:
        with self._reading() as (conn, _):
            ids = [row[0] for row in conn.execute(
                "SELECT id FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,))]
        return self.load_rows(ids)

    def load_rows(self, ids: list[int]) -> list[tuple[Summary, bytes]]:
        found: dict[int, Summary] = {}
        with self._reading() as (conn, layout):
            for start in range(0, len(ids), 500):
                chunk = json.dumps(ids[start:start + 500])
                if layout == "old":
                    rows = conn.execute(
                        f"SELECT {sqlite_schema.old_summary_columns(conn)} FROM traces WHERE id"
                        " IN (SELECT value FROM json_each(?))", (chunk,))
                    found.update((row[0], _old_summary(row)) for row in rows)
                else:
                    found.update((row[0], _summary(row)) for row in conn.execute(
                        f"SELECT {_COLUMNS} FROM traces WHERE id IN (SELECT value FROM"
                        " json_each(?))", (chunk,)))
        documents = dict(self.documents([i for i in ids if i in found]))
        return [(found[i], documents[i]) for i in ids if i in documents]

    def documents(self, ids: list[int]) -> Iterator[tuple[int, bytes]]:
        with self._reading() as (conn, layout):
            legacy = "traces" if layout == "old" else (
                sqlite_schema.LEGACY if sqlite_schema.LEGACY in sqlite_schema.tables(conn)
                else None)
            for row_id in ids:
                document = self._document(conn, layout, legacy, row_id)
                if document is not None:
                    yield row_id, document

    @staticmethod
    def _document(conn: sqlite3.Connection, layout: str, legacy: str | None,
                  row_id: int) -> bytes | None:
        if layout == "current":
            stored = conn.execute("SELECT encoding, data FROM documents WHERE id = ?",
                                  (row_id,)).fetchone()
            if stored is not None:
                return codec.decode(bytes(stored[1]), stored[0])
        if legacy is None:
            return None
        try:
            # Read straight into its bytes object, so a large one is in memory once.
            with conn.blobopen(legacy, "msgpack", row_id, readonly=True) as blob:
                return blob.read()
        except sqlite3.OperationalError as exc:
            if "no such rowid" in str(exc):
                return None
            raise

    def functions(self, ids: list[int]) -> dict[int, list[dict[str, Any]]]:
        index: dict[int, list[dict[str, Any]]] = {i: [] for i in ids}
        with self._reading() as (conn, layout):
            if layout == "old":
                return index
            for row in conn.execute(
                    "SELECT trace_row, qualname, name, file, calls, total, own, raised FROM calls"
                    " JOIN functions ON functions.id = function_id WHERE trace_row IN"
                    " (SELECT value FROM json_each(?))", (json.dumps(ids),)):
                index[row[0]].append(dict(zip(("qualname", "name", "file", "calls", "total",
                                               "own", "raised"), row[1:])))
        return index


def _old_summary(values: tuple[Any, ...]) -> Summary:
    row = sqlite_schema.old_row(values)
    summary = {key: row.get(key) for key in SUMMARY_KEYS}
    summary["losses"] = losses_from_text(summary["losses"])
    return summary


def _old_summaries(conn: sqlite3.Connection, query: TraceQuery) -> list[tuple[Summary, bool]]:
    """The rows of a store an earlier tavo wrote (not upgraded yet), matched here: its
    labels hold facts that have columns only once it is upgraded."""
    rows = [_old_summary(values) for values in conn.execute(
        f"SELECT {sqlite_schema.old_summary_columns(conn)} FROM traces ORDER BY saved_at, id")]
    if query.newest_first:
        rows.reverse()
    kept = [row for row in rows if _old_matches(row, query)]
    if query.limit is not None and query.function is None:
        kept = kept[:query.limit]
    return [(row, False) for row in kept]


def _old_matches(row: Summary, query: TraceQuery) -> bool:
    return ((query.trace_id is None or row["trace_id"] == query.trace_id)
            and (query.source is None or row["source"] == query.source)
            and (query.outcome is None or row["outcome"] == query.outcome)
            and (query.since is None or row["saved_at"] >= query.since)
            and (query.label is None or label_matches(query.label, row["label"]))
            and (query.parents is None or row["parent_trace_id"] in query.parents))
