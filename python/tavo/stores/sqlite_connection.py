"""Connections to a SQLite store: a write transaction that waits for other writers in
short steps (so that an interrupt gets through) and rolls back on any failure, and a
connection that only reads.

The store is kept in write-ahead-log mode, which lets readers read while a trace is
written and commits without waiting for the disk ("synchronous = NORMAL"): a committed
trace survives the program's crash; a power cut can lose the last commits, never the
file's consistency.
"""

from __future__ import annotations

import contextlib
import functools
import os
import pathlib
import sqlite3
import time
from collections.abc import Callable, Iterator

# One wait for another writer's lock: an interrupt (Ctrl-C) reaches the program between
# two of them, where SQLite's own wait would hold it for the whole busy timeout.
LOCK_WAIT_SLICE = 0.1


def create_owner_only(path: str) -> None:
    """Create a missing database file readable by its owner alone: it holds every
    recorded value. SQLite gives its log files the same mode. An existing file is
    left as it is."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        pass


def _begin_immediate(conn: sqlite3.Connection, timeout: float) -> None:
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


def _watch_interrupts(conn: sqlite3.Connection) -> list[BaseException]:
    """Let an exception a signal handler raises (Ctrl-C's KeyboardInterrupt) stop a
    long statement; returns the list where it lands, to be raised instead of the
    statement's "interrupted" error. SQLite calls the progress handler between
    instructions, and the sqlite3 module swallows what it raises: it runs in a
    generator, whose resumption is where Python runs pending signal handlers."""
    caught: list[BaseException] = []

    def watch() -> Iterator[bool]:
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


def _use_write_ahead_log(conn: sqlite3.Connection) -> None:
    """Switch the file to write-ahead-log mode if it is not yet in it; another
    connection's open transaction can keep it from switching this time."""
    with contextlib.suppress(sqlite3.OperationalError):
        if conn.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
            conn.execute("PRAGMA journal_mode = WAL")


@contextlib.contextmanager
def write_transaction(path: str, timeout: float,
                      prepare: Callable[[sqlite3.Connection], None]) -> Iterator[sqlite3.Connection]:
    """A connection inside a write transaction (committed on success), after
    ``prepare(conn)`` checked or made the schema in it. Waits up to ``timeout`` seconds
    for other writers; an interrupt stops the wait or the statement, rolls back and is
    raised."""
    create_owner_only(path)
    with contextlib.closing(sqlite3.connect(path, timeout=min(timeout, LOCK_WAIT_SLICE),
                                            isolation_level=None)) as conn:
        interrupts = _watch_interrupts(conn)
        conn.execute("PRAGMA synchronous = NORMAL")
        _begin_immediate(conn, timeout)
        try:
            prepare(conn)
            yield conn
            conn.execute("COMMIT")
            # Only once the file is known to be a store: the mode is kept in the file.
            _use_write_ahead_log(conn)
        except BaseException:
            conn.set_progress_handler(None, 0)
            # Not after the COMMIT went through (an interrupt may come just after it):
            # nothing is left to roll back, and the interrupt must go on as it is.
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            if interrupts:
                raise interrupts[0] from None
            raise


@contextlib.contextmanager
def read_only(path: str, missing: Callable[[], Exception]) -> Iterator[sqlite3.Connection]:
    """A connection that reads and never writes. It is opened for writing where the file
    allows (never creating it), so that what a writer killed mid-save left behind is
    cleaned up by this first reader instead of stopping every reader until some later
    writer comes. ``missing()`` is raised when there is no file."""
    file = pathlib.Path(path)
    if not file.is_file():
        raise missing()
    with contextlib.closing(sqlite3.connect(f"{file.resolve().as_uri()}?mode=rw",
                                            uri=True)) as conn:
        conn.execute("PRAGMA query_only = ON")
        yield conn
