"""What every trace store offers, whatever holds the traces.

A store keeps, per saved trace document, a row of facts that is listed without reading
the document (see SUMMARY_KEYS), the document itself apart from it, and a call index
beside it: one entry per distinct function the trace calls (qualified name, code name,
file, calls, total and own time, how many raised). The three are written in one
transaction. Saving the same trace id twice keeps both documents.
"""

from __future__ import annotations

import abc
import dataclasses
from collections.abc import Iterator
from typing import Any

from tavo.stores.rows import NewTrace
from tavo.traceformat import DECODE_ERRORS, calls_named, glob_matcher, literal_hint, read_document

# A trace's row as commands read it: the row id, the trace id, when it was saved, its
# label (the test id, or the command line), the test's outcome, the source (cli, pytest,
# context-manager...), the role of the process that saved it ("main", "xdist worker
# gwN", "child"), its pid and, for a child, the trace that was recorded when it was
# started, the records, the records dropped while recording and what was shortened and
# dropped, and why ("losses", see rows.losses_of), the earliest record's time and the
# time to the latest, and the document's size in bytes. None where unknown.
Summary = dict[str, Any]
SUMMARY_KEYS = ("id", "trace_id", "saved_at", "label", "outcome", "source", "role", "pid",
                "parent_trace_id", "records", "dropped_records", "losses", "started_at",
                "duration", "size")

OUTCOMES = ("passed", "failed", "error", "skipped", "xfailed", "xpassed")


class StoreError(Exception):
    """A store could not be reached, read or written: a one-line reason, with
    no password in it."""


class NotATraceDatabase(StoreError):
    """The store is missing, is not a tavo trace store, or is one of a newer tavo."""


class RowRefused(StoreError):
    """The store refused the values of a row it was given (a copied summary it
    cannot hold); the store itself works, and other rows may go in."""


@dataclasses.dataclass(frozen=True)
class TraceQuery:
    """Which rows to list, and in which order."""

    trace_id: str | None = None
    label: str | None = None  # a pattern: * any text, ? one character, the rest literal
    source: str | None = None
    since: float | None = None  # seconds since the epoch
    outcome: str | None = None
    function: str | None = None  # a glob: only traces that call a function it matches
    parents: tuple[str, ...] | None = None  # only traces of processes these traces started
    limit: int | None = None  # at most this many, from the first in the chosen order
    newest_first: bool = True


def glob_to_like(pattern: str) -> str:
    """A label pattern as an SQL LIKE pattern with backslash as its escape."""
    out = []
    for char in pattern:
        if char in "\\%_":
            out.append("\\" + char)
        else:
            out.append({"*": "%", "?": "_"}.get(char, char))
    return "".join(out)


def matching_function_ids(conn: Any, pattern: str) -> list[int]:
    """The ids of the call index's functions whose qualified or code name ``pattern``
    matches, read through ``conn`` (a connection of either backend)."""
    matches = glob_matcher(pattern)
    return [i for i, qualname, name in conn.execute("SELECT id, qualname, name FROM functions")
            if matches(qualname, name)]


class Store(abc.ABC):
    """One trace store at one location."""

    kind: str  # what it is, as people call it ("SQLite", "PostgreSQL")

    def __init__(self, location: str) -> None:
        self.location = location

    @abc.abstractmethod
    def describe(self) -> str:
        """The location as it may be printed (no password)."""

    @abc.abstractmethod
    def ensure(self, *, timeout: float) -> None:
        """Create the store and its schema if missing, upgrading one of an earlier tavo;
        check that a trace can be written there; refuse a database that is not a trace
        store, or one of a newer schema version, without changing it."""

    def document_to_store(self, document: bytes) -> bytes:
        """The document as this store keeps it (as it is, unless the store must keep
        something out of it)."""
        return document

    @abc.abstractmethod
    def save(self, traces: list[NewTrace], *, timeout: float) -> list[int]:
        """Write the traces (row, document and index each) in one transaction and return
        their row ids, waiting up to ``timeout`` seconds for locks held by others."""

    @abc.abstractmethod
    def set_outcome(self, label: str, outcome: str, *, timeout: float) -> bool:
        """Keep a test's outcome with the newest row labelled ``label``; False when there
        is none."""

    @abc.abstractmethod
    def candidates(self, query: TraceQuery = TraceQuery()) -> list[tuple[Summary, bool]]:
        """The rows that match ``query``, each with whether it has a call index: with a
        function asked for, a row without one (saved before the index was kept) is
        listed whatever it calls, and the limit is not applied."""

    def summaries(self, query: TraceQuery = TraceQuery()) -> list[Summary]:
        """The rows that match ``query``; documents are read only for a function asked
        of rows saved before the call index was kept."""
        rows = self.candidates(query)
        if query.function is None or all(indexed for _, indexed in rows):
            return [summary for summary, _ in rows]
        kept: list[Summary] = []
        for summary, indexed in rows:
            if query.limit is not None and len(kept) >= query.limit:
                break
            if indexed or self._calls_function(summary, query.function):
                kept.append(summary)
        return kept

    @abc.abstractmethod
    def resolve(self, text: str) -> tuple[list[str], int]:
        """The first two trace ids (in their order) that start with ``text``, and how
        many there are; for "last", the newest trace's id."""

    @abc.abstractmethod
    def load(self, trace_id: str) -> list[tuple[Summary, bytes]]:
        """Every document stored under ``trace_id``, oldest first."""

    @abc.abstractmethod
    def load_rows(self, ids: list[int]) -> list[tuple[Summary, bytes]]:
        """The documents of these row ids, in the order of ``ids``."""

    @abc.abstractmethod
    def documents(self, ids: list[int]) -> Iterator[tuple[int, bytes]]:
        """The documents of these row ids one at a time, in the order of ``ids`` (rows
        that are gone are left out), so that only one is in memory at a time."""

    @abc.abstractmethod
    def functions(self, ids: list[int]) -> dict[int, list[dict[str, Any]]]:
        """The call index of these rows: per row id, one entry per function ("qualname",
        "name", "file", "calls", "total", "own", "raised"). Rows saved before the index
        was kept have none."""

    def storable(self, summary: Summary) -> tuple[Summary, str | None]:
        """The summary as this store keeps it, and what had to change for that
        (None when nothing did)."""
        return summary, None

    @abc.abstractmethod
    def insert_copies(self, rows: list[tuple[Summary, bytes]], *, timeout: float) -> None:
        """Store documents read from another store, keeping their rows' facts (save time
        included, each made storable), in one transaction; RowRefused when the store
        refuses a row's values."""

    @abc.abstractmethod
    def delete(self, ids: list[int], *, timeout: float) -> None:
        """Delete these rows, their documents and their index, in one transaction."""

    @abc.abstractmethod
    def reclaim(self, *, timeout: float) -> None:
        """Give the space of deleted rows back (to the file system, or to new rows)."""

    @abc.abstractmethod
    def total_size(self) -> int:
        """Bytes the store takes, indexes included."""

    def close(self) -> None:
        """Release what the store holds open (nothing by default)."""

    def release(self) -> None:
        """Close the connection this process keeps open between its saves to this store
        (nothing by default). Kept while the program runs, its file descriptors could be
        closed by the program (a daemon closes all it inherits) and their numbers given
        to the program's own files or sockets, which a later save would then write into."""

    def __enter__(self) -> "Store":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # Shared by the backends.

    def _calls_function(self, row: Summary, pattern: str) -> bool:
        """Whether the document of a row saved before the call index was kept has a
        finished call of a function ``pattern`` matches (a document that cannot be read
        counts as one: the readers say what is wrong with it)."""
        matches = glob_matcher(pattern)
        hint = literal_hint(pattern)
        for _, blob in self.documents([row["id"]]):
            if hint and hint not in blob:
                return False
            try:
                for kind, section in read_document(blob):
                    if kind == "section" and any(call.finished for call in
                                                 calls_named(section.records, matches)):
                        return True
            except DECODE_ERRORS:
                return True
        return False
