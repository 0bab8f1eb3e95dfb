"""Trace stores: a SQLite file or a PostgreSQL database, chosen by location, behind one
interface (base.Store) with the same behaviour.

    with stores.open_store("tavo.sqlite3") as store: ...
    with stores.open_store("postgresql://ci@db.example:5432/traces") as store: ...

The engine saves through tavo.db, which hands each trace to the store of its location.
Store code runs only before profiling starts, after it stops, or inside the engine's own
save at a test end (where nothing is recorded).
"""

from __future__ import annotations

import os

from tavo.stores.base import (OUTCOMES, SUMMARY_KEYS, NotATraceDatabase, RowRefused, Store,
                              StoreError, Summary, TraceQuery)
from tavo.stores.location import absolute, describe, is_server_url, mask_text
from tavo.stores.rows import NewTrace, PendingTrace, losses_of, new_trace, pending_trace

__all__ = ["NewTrace", "NotATraceDatabase", "OUTCOMES", "PendingTrace", "RowRefused", "SUMMARY_KEYS", "Store",
           "StoreError", "Summary", "TraceQuery", "absolute", "describe", "is_server_url",
           "losses_of", "mask_text", "new_trace", "open_store", "pending_trace"]


def open_store(location: str | os.PathLike[str]) -> Store:
    """The store at ``location``: a PostgreSQL URL, or else a SQLite file path."""
    if is_server_url(location):
        from tavo.stores.postgres import PostgresStore

        return PostgresStore(str(location))
    from tavo.stores.sqlite import SQLiteStore

    return SQLiteStore(os.fspath(location))
