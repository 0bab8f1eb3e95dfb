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
import threading
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


class _Kept:
    """A writing connection kept open between the writes of this process: opening one
    reads the schema anew, and closing the last one writes the log back into the file and
    waits for the disk, which a trace saved at every test's end would pay each time."""

    def __init__(self, path: str, conn: sqlite3.Connection) -> None:
        self.conn = conn
        self.pid = os.getpid()
        self.file = _identity(path)
        self.lock = threading.Lock()


_kept: dict[str, _Kept] = {}
_kept_lock = threading.Lock()
_inherited: list[sqlite3.Connection] = []  # a parent's, never used nor closed in a child


def _close_before_fork() -> None:
    """A child would get a copy of each connection's state: the idle ones are closed
    first (a busy one is left to the child, which never uses it)."""
    with _kept_lock:
        for path, kept in list(_kept.items()):
            if kept.pid == os.getpid() and kept.lock.acquire(blocking=False):
                _kept.pop(path)
                kept.conn.close()
                kept.lock.release()


def _forget_in_child() -> None:
    global _kept_lock
    _kept_lock = threading.Lock()
    _inherited.extend(kept.conn for kept in _kept.values())
    _kept.clear()


os.register_at_fork(before=_close_before_fork, after_in_child=_forget_in_child)


def _identity(path: str) -> tuple[int, int] | None:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def release(path: str) -> None:
    """Close this process's kept connection to ``path``, unless another thread is
    writing with it."""
    with _kept_lock:
        kept = _kept.get(path)
        if kept is not None and kept.pid == os.getpid() and kept.lock.acquire(blocking=False):
            _kept.pop(path)
            kept.conn.close()
            kept.lock.release()


@contextlib.contextmanager
def _writer(path: str) -> Iterator[sqlite3.Connection]:
    """This process's kept connection to ``path`` when it is free and still that file;
    else a connection of its own for this write."""
    with _kept_lock:
        kept = _kept.get(path)
        if kept is not None and kept.file != _identity(path) and kept.lock.acquire(False):
            _kept.pop(path)
            kept.conn.close()  # the file was replaced or removed
            kept.lock.release()
            kept = None
        if kept is None:
            conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
            kept = _kept[path] = _Kept(path, conn)
        if not kept.lock.acquire(blocking=False):
            kept = None  # in use by another thread
    if kept is None:
        with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as conn:
            yield conn
        return
    try:
        yield kept.conn
    finally:
        kept.lock.release()


@contextlib.contextmanager
def write_transaction(path: str, timeout: float,
                      prepare: Callable[[sqlite3.Connection], None]) -> Iterator[sqlite3.Connection]:
    """A connection inside a write transaction (committed on success), after
    ``prepare(conn)`` checked or made the schema in it. Waits up to ``timeout`` seconds
    for other writers; an interrupt stops the wait or the statement, rolls back and is
    raised."""
    create_owner_only(path)
    with _writer(path) as conn:
        interrupts = _watch_interrupts(conn)
        conn.execute("PRAGMA synchronous = NORMAL")
        conn.execute(f"PRAGMA busy_timeout = {int(min(timeout, LOCK_WAIT_SLICE) * 1000)}")
        try:
            _begin_immediate(conn, timeout)
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
        finally:
            conn.set_progress_handler(None, 0)


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
