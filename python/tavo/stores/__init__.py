"""Trace stores: a SQLite file or a PostgreSQL database, chosen by location.

    with stores.open_store("tavo.sqlite3") as store: ...
    with stores.open_store("postgresql://ci@db.example:5432/traces") as store: ...

The engine saves through tavo.db, which hands a server URL to the PostgreSQL
store. Store code runs only before profiling starts, after it stops, or inside
the engine's own save at a test end (where nothing is recorded).
"""

from __future__ import annotations

import os

from tavo.stores.base import RowRefused, Store, StoreError, Summary, TraceQuery
from tavo.stores.location import absolute, describe, is_server_url, mask_text

__all__ = ["RowRefused", "Store", "StoreError", "Summary", "TraceQuery", "absolute", "describe",
           "is_server_url", "mask_text", "open_store"]


def open_store(location: str | os.PathLike[str]) -> Store:
    """The store at ``location``: a PostgreSQL URL, or else a SQLite file path."""
    if is_server_url(location):
        from tavo.stores.postgres import PostgresStore

        return PostgresStore(str(location))
    from tavo.stores.sqlite import SQLiteStore

    return SQLiteStore(os.fspath(location))
