"""What every trace store offers, whatever holds the traces.

A store keeps one row per saved trace document: the MessagePack bytes and a
summary (row id, trace id, save time, source, record count, size, label, the
records dropped while recording and the test outcome, None when unknown) that
can be listed without decoding the document. Saving the same trace id twice
keeps both documents.
"""

from __future__ import annotations

import abc
import dataclasses
from typing import Any

# keys: id, trace_id, saved_at, source, records, size, label, dropped_records, outcome,
# losses (see tavo.db.losses_of)
Summary = dict[str, Any]
SUMMARY_KEYS = ("id", "trace_id", "saved_at", "source", "records", "size", "label",
                "dropped_records", "outcome", "losses")


class StoreError(Exception):
    """A store could not be reached, read or written: a one-line reason, with
    no password in it."""


class RowRefused(StoreError):
    """The store refused the values of a row it was given (a copied summary it
    cannot hold); the store itself works, and other rows may go in."""


@dataclasses.dataclass(frozen=True)
class TraceQuery:
    """Which summaries to list, and in which order."""

    trace_id: str | None = None
    label: str | None = None  # a pattern: * any text, ? one character, the rest literal
    source: str | None = None
    since: float | None = None  # seconds since the epoch
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
        """Create the store and its schema if missing; refuse a database that is
        not a trace store, or one of a newer schema version, without changing it."""

    @abc.abstractmethod
    def save(self, trace_id: str, blob: bytes, *, timeout: float,
             dropped_records: int | None = None, losses: str | None = None) -> int:
        """Store one document and return its row id, waiting up to ``timeout``
        seconds for locks held by others before failing. ``dropped_records``:
        how many records the recording lost, when it lost some; ``losses``:
        what it shortened and dropped, and why (tavo.db.losses_of)."""

    @abc.abstractmethod
    def set_outcome(self, label: str, outcome: str, *, timeout: float) -> bool:
        """Keep a test's outcome with the newest document labelled ``label``;
        False when there is none."""

    @abc.abstractmethod
    def summaries(self, query: TraceQuery = TraceQuery()) -> list[Summary]:
        """The summaries that match ``query``; no document is decoded."""

    @abc.abstractmethod
    def load(self, trace_id: str) -> list[tuple[Summary, bytes]]:
        """Every document stored under ``trace_id``, oldest first."""

    @abc.abstractmethod
    def load_rows(self, ids: list[int]) -> list[tuple[Summary, bytes]]:
        """The documents of these row ids, in the order of ``ids``."""

    def storable(self, summary: Summary) -> tuple[Summary, str | None]:
        """The summary as this store keeps it, and what had to change for that
        (None when nothing did)."""
        return summary, None

    @abc.abstractmethod
    def insert_copies(self, rows: list[tuple[Summary, bytes]], *, timeout: float) -> None:
        """Store documents read from another store, keeping their summaries
        (save time included, each made storable), in one transaction; RowRefused
        when the store refuses a row's values."""

    @abc.abstractmethod
    def delete(self, ids: list[int], *, timeout: float) -> None:
        """Delete these rows, in one transaction."""

    @abc.abstractmethod
    def reclaim(self, *, timeout: float) -> None:
        """Give the space of deleted rows back (to the file system, or to new rows)."""

    @abc.abstractmethod
    def total_size(self) -> int:
        """Bytes the store takes, indexes included."""

    def close(self) -> None:
        """Release what the store holds open (nothing by default)."""

    def __enter__(self) -> "Store":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
