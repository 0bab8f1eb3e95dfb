"""The engine's way into the stores, and the same calls by location for everyone else.

The engine saves each trace through ``save_trace_in_sqlite(location, trace_id,
timeout=..., msgpack=...)``, whatever the store: this hands the document to the store
at ``location`` (tavo.stores: a SQLite file path or a PostgreSQL URL), with the facts
of the process that saves it (``process_role``, ``parent_trace_id``, its pid), the
test's outcome (``test_outcome``) and what the recording lost, in one transaction.

A pytest session saves its tests' traces in batches (``save_in_batches``): one
transaction per batch, the rest written by ``flush_saves`` at the session's end. A
trace that joins a batch is compressed, and its facts read, on a thread of the
engine's own while the next test runs (where the engine has zstd of its own).
"""

from __future__ import annotations

import dataclasses
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

from tavo.stores import (NewTrace, NotATraceDatabase, PendingTrace, TraceQuery, losses_of,
                         new_trace, open_store, pending_trace)
from tavo.traceformat import decode_document
from tavo.utils import END_SIGNALS

__all__ = ["NotATraceDatabase", "decode_document", "ensure_database", "flush_saves",
           "iter_documents", "list_traces", "load_traces", "save_in_batches",
           "save_trace_in_sqlite", "set_outcome"]

# The process that saves: "main", "xdist worker gwN" (set by the pytest plugin in a
# worker) or "child" (a process started by a recorded one, whose trace then being
# recorded is ``parent_trace_id``).
process_role = "main"
parent_trace_id: str | None = None

# Set by the pytest plugin: the outcome of the test a trace is labelled with, when known.
test_outcome: Callable[[str], str | None] | None = None

# Called after every save attempt of this process, as
# observer(location, trace_id, summary, error): the row as stored (with "user_code":
# whether any record is of the program's own code) and None, or None and the
# exception that stopped the save. A batch calls them when it is written.
save_observers: list[Callable[[str, str, Any, BaseException | None], None]] = []


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: float = 60, msgpack: bytes,
                         dropped_records: int | None = None, **losses: int) -> int | None:
    """Store one trace document (MessagePack bytes) at ``db_path``; returns its row id,
    or None when it waits in a batch. ``timeout``: how many seconds to wait for another
    writer's lock. ``dropped_records`` and ``losses``: what the recording lost (the
    counts of tavo.stores.losses_of, given by the engine only when not zero)."""
    batch = _batches.get(db_path)
    try:
        store = open_store(db_path)
        document = store.document_to_store(bytes(msgpack))
        details: dict[str, Any] = {
            "role": process_role, "parent_trace_id": parent_trace_id,
            "dropped_records": dropped_records, "losses": losses_of(dropped_records, **losses)}
        pending = None
        if batch is not None and batch.takes_more():
            pending = pending_trace(trace_id, document, **details)
        if pending is None:
            trace = _with_outcome(new_trace(trace_id, document, **details))
    except Exception as exc:
        _notify(db_path, trace_id, None, exc)
        raise
    if pending is not None:
        assert batch is not None
        batch.add_pending(pending, timeout)
        return None
    if batch is not None and batch.takes_more():
        batch.add(trace, timeout)
        return None
    row_id = _write(db_path, [trace], timeout)[0]
    if batch is not None:
        batch.written_one = True
    return row_id


def _with_outcome(trace: NewTrace) -> NewTrace:
    if test_outcome is not None and trace.row["label"] is not None:
        trace.row["outcome"] = test_outcome(trace.row["label"])
    return trace


def _write(db_path: str, traces: list[NewTrace], timeout: float) -> list[int]:
    """Write the traces in one transaction, and tell the observers."""
    try:
        with open_store(db_path) as store:
            row_ids = store.save(traces, timeout=timeout)
            if db_path not in _batches:  # the program runs on until the next save, if any
                store.release()
    except Exception as exc:
        for trace in traces:
            _notify(db_path, trace.row["trace_id"], None, exc)
        raise
    for row_id, trace in zip(row_ids, traces):
        _notify(db_path, trace.row["trace_id"],
                {**trace.row, "id": row_id, "user_code": trace.user_code}, None)
    return row_ids


def _notify(db_path: str, trace_id: str, summary: Any, error: BaseException | None) -> None:
    for observer in list(save_observers):
        observer(db_path, trace_id, summary, error)


# Batches. A commit per trace makes the disk wait at each test's end; a batch makes one
# commit for many. What a batch holds is lost if the process dies before it is written
# (SIGKILL, a crash, os._exit): the traces of the tests since the last commit.


@dataclasses.dataclass
class _Batch:
    db_path: str
    traces: int  # a commit at most every this many traces
    seconds: float  # ... or once a trace has waited this long
    bytes: int  # ... or once this many stored bytes wait
    waiting: list[tuple[NewTrace, float]] = dataclasses.field(default_factory=list)
    # The latest trace, being encoded beside the program: it joins ``waiting`` when
    # the next one comes, or at a flush.
    pending: tuple[PendingTrace, float] | None = None
    since: float = 0.0
    written_one: bool = False  # the first trace is written at once
    failed: bool = False  # after a failed write, each trace is written at once
    # Reentrant: the handler of the ending signals writes what waits, and may run
    # inside a write.
    lock: threading.RLock = dataclasses.field(default_factory=threading.RLock)

    def takes_more(self) -> bool:
        return self.written_one and not self.failed

    def add_pending(self, trace: PendingTrace, timeout: float) -> None:
        with self.lock:
            self._take_pending()
            self.pending = (trace, timeout)

    def settle(self) -> None:
        """Wait until the pending trace's encoding has ended (its thread is gone)."""
        with self.lock:
            if self.pending is not None:
                self.pending[0].settle()

    def _take_pending(self) -> None:
        if self.pending is None:
            return
        pending, timeout = self.pending
        self.pending = None
        try:
            trace = _with_outcome(pending.finish())
        except Exception as exc:  # told to the observers as lost
            _notify(self.db_path, pending.trace_id, None, exc)
            return
        self.add(trace, timeout)

    def add(self, trace: NewTrace, timeout: float) -> None:
        with self.lock:
            self._take_pending()
            if not self.waiting:
                self.since = time.monotonic()
            self.waiting.append((trace, timeout))
            if (len(self.waiting) >= self.traces
                    or sum(len(t.stored) for t, _ in self.waiting) >= self.bytes
                    or time.monotonic() - self.since >= self.seconds):
                self._flush()

    def flush(self) -> None:
        with self.lock:
            self._take_pending()
            self._flush()

    def _flush(self) -> None:
        if not self.waiting:
            return
        traces = [trace for trace, _ in self.waiting]
        timeout = max(timeout for _, timeout in self.waiting)
        # An ending signal waits while the batch is written: its handler writes what is left.
        main = threading.current_thread() is threading.main_thread()
        held = signal.pthread_sigmask(signal.SIG_BLOCK, END_SIGNALS) if main else None
        try:
            _write(self.db_path, traces, timeout)
            del self.waiting[:]
        except Exception:
            del self.waiting[:]  # told to the observers as lost
            self.failed = True
            raise
        finally:
            if held is not None:
                signal.pthread_sigmask(signal.SIG_SETMASK, held)


_batches: dict[str, _Batch] = {}


def save_in_batches(db_path: str, *, traces: int = 50, seconds: float = 5.0,
                    stored_bytes: int = 32 << 20) -> None:
    """From now on, write this process's traces for ``db_path`` in batches: a commit
    every ``traces`` traces, or once the oldest waiting trace has waited ``seconds``
    when the next one comes, or once ``stored_bytes`` wait. The first trace is written
    at once (so that a store that cannot take it is told at once), and after a batch
    that could not be written, each trace is written at once."""
    _batches.setdefault(db_path, _Batch(db_path, traces, seconds, stored_bytes))


def flush_saves(db_path: str | None = None, *, stop: bool = False) -> None:
    """Write the traces that wait in batches (for ``db_path``, or all); with ``stop``,
    save each trace at once from now on. A batch that cannot be written is told to the
    observers, and the first error is raised once every batch was tried."""
    error = None
    for location, batch in list(_batches.items()):
        if db_path is not None and location != db_path:
            continue
        try:
            batch.flush()
        except Exception as exc:
            error = error or exc
        if stop:
            _batches.pop(location, None)
    if error is not None:
        raise error


def _settle_before_fork() -> None:
    # No thread of tavo's runs at a fork: the interpreter warns of a fork in a
    # process with threads, which the program without tavo is not.
    for batch in list(_batches.values()):
        batch.settle()


def _forget_batches_in_child() -> None:
    # A forked child must not write its parent's waiting traces a second time.
    _batches.clear()


os.register_at_fork(before=_settle_before_fork, after_in_child=_forget_batches_in_child)


# The same calls by location, for scripts and commands that name a store by its path or
# URL (tavo.stores offers the rest).


def ensure_database(db_path: str | os.PathLike[str], *, timeout: float = 60) -> None:
    """Create the store and its schema if they do not exist yet (upgrading one of an
    earlier tavo), and check that a trace can be written there, so that a read-only file
    or an unreachable server is found before anything is profiled."""
    with open_store(db_path) as store:
        store.ensure(timeout=timeout)
        store.release()  # the program runs before anything is saved


def list_traces(db_path: str | os.PathLike[str], trace_id: str | None = None) -> list[dict[str, Any]]:
    """The rows of the stored documents (all, or those of ``trace_id``), oldest first."""
    with open_store(db_path) as store:
        return store.summaries(TraceQuery(trace_id=trace_id, newest_first=False))


def load_traces(db_path: str | os.PathLike[str], trace_id: str) -> list[tuple[dict[str, Any], bytes]]:
    """Every document stored under ``trace_id``, oldest first: (row, MessagePack bytes)."""
    with open_store(db_path) as store:
        return store.load(trace_id)


def iter_documents(db_path: str | os.PathLike[str], row_ids: list[int]) -> Iterator[tuple[int, bytes]]:
    """The documents of the given rows (``id`` of their rows), one at a time: (row id,
    MessagePack bytes); rows that are gone are left out."""
    with open_store(db_path) as store:
        yield from store.documents(list(row_ids))


def set_outcome(db_path: str | os.PathLike[str], label: str, outcome: str, *,
                timeout: float = 60) -> bool:
    """Keep a test's outcome with the newest trace labelled with its name; False when
    there is none."""
    with open_store(db_path) as store:
        return store.set_outcome(label, outcome, timeout=timeout)
