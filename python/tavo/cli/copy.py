"""``tavo copy SRC DST``: copy traces between stores (a CI runner's SQLite file
into a team's PostgreSQL database, say).

A stored document is known by its trace id, save time and size, which copying
keeps, so copying again stores nothing twice, and a copy that was stopped part
way goes on where it stopped. A row that cannot be read from SRC, or that DST
refuses, is named and left out; the others are copied.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from collections.abc import Iterator
from typing import Any

from tavo.cli.common import (CommandError, add_busy_timeout_option, open_error, settings_from,
                             store_errors)
from tavo.cli.render import format_size, printable
from tavo.stores import (RowRefused, StoreError, TraceQuery, absolute, describe, mask_text,
                         open_store)

# Documents read and written per transaction: a bound on memory, and what a
# stopped copy has to do again.
_BATCH_ROWS = 200
_BATCH_BYTES = 64 * 1024 * 1024


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "copy", help="copy traces from one store into another",
        description="Copy every trace of SRC that DST does not have yet into DST. Each store "
                    "is a SQLite file or a postgresql://user@host:port/dbname URL.")
    parser.add_argument("source", metavar="SRC")
    parser.add_argument("destination", metavar="DST")
    add_busy_timeout_option(parser, "writing into DST")
    parser.set_defaults(handler=copy_command)


@dataclasses.dataclass
class _Copy:
    """One copy from ``source`` to ``destination``: where both are, and what was done."""

    source: str
    destination: str
    timeout: float
    copied: int = 0
    copied_bytes: int = 0
    left_out: int = 0

    def say(self, summary: dict[str, Any], what: str) -> None:
        print(f"tavo: row {summary['id']} of {describe(self.source)} (trace "
              f"{printable(str(summary['trace_id']))}): {what}", file=sys.stderr)


def _key(destination: Any, summary: dict[str, Any]) -> tuple[Any, ...]:
    stored, _ = destination.storable(summary)
    return stored["trace_id"], stored["saved_at"], stored["size"]


def _batches(summaries: list[dict[str, Any]]) -> Iterator[list[dict[str, Any]]]:
    batch: list[dict[str, Any]] = []
    for summary in summaries:
        batch.append(summary)
        if len(batch) >= _BATCH_ROWS or sum(s["size"] for s in batch) >= _BATCH_BYTES:
            yield batch
            batch = []
    if batch:
        yield batch


def copy_command(args: argparse.Namespace) -> int:
    timeout = settings_from(args)["busy-timeout"]
    if absolute(args.source) == absolute(args.destination):
        raise CommandError(f"copy: {describe(args.source)} is both the source and the destination",
                           2)
    job = _Copy(args.source, args.destination, timeout)
    oldest_first = TraceQuery(newest_first=False)
    missing: list[dict[str, Any]] = []
    try:
        try:
            with open_store(args.source) as source:
                wanted = source.summaries(oldest_first)
        except store_errors() as exc:
            raise open_error(exc, args.source) from None
        with open_store(args.source) as source, open_store(args.destination) as destination:
            try:
                destination.ensure(timeout=timeout)
                present = {_key(destination, s) for s in destination.summaries(oldest_first)}
            except store_errors() as exc:
                raise open_error(exc, args.destination, "write") from None
            for summary in wanted:
                if _key(destination, summary) not in present:
                    present.add(_key(destination, summary))
                    missing.append(summary)
            for batch in _batches(missing):
                _write(job, destination, _read(job, source, batch))
    except KeyboardInterrupt:
        copied, size = _recount(job, missing)
        raise CommandError(f"copy interrupted: {copied} trace{'s' if copied != 1 else ''} "
                           f"({format_size(size)}) had been copied from {describe(args.source)} "
                           f"to {describe(args.destination)}", 130) from None
    except CommandError as exc:
        if not missing:
            raise
        raise CommandError(f"{exc} ({job.copied} traces copied before this)") from None
    left_out = f"; {job.left_out} left out" if job.left_out else ""
    print(f"tavo: copied {job.copied} trace{'s' if job.copied != 1 else ''} "
          f"({format_size(job.copied_bytes)}) from {describe(args.source)} to "
          f"{describe(args.destination)}; {len(wanted) - len(missing)} already there{left_out}",
          file=sys.stderr)
    return 1 if job.left_out else 0


def _read(job: _Copy, source: Any, batch: list[dict[str, Any]]) -> list[tuple[Any, bytes]]:
    """The documents of the batch; when one cannot be read (a damaged file), the others."""
    try:
        return source.load_rows([s["id"] for s in batch])
    except store_errors():
        pass
    rows = []
    for summary in batch:
        try:
            rows += source.load_rows([summary["id"]])
        except store_errors() as exc:
            if not _readable(source):  # the store has gone, not this row
                raise open_error(exc, job.source) from None
            job.left_out += 1
            job.say(summary, f"cannot be read, so it was left out: {_reason(exc, job.source)}")
    return rows


def _readable(source: Any) -> bool:
    try:
        source.summaries(TraceQuery(limit=1))
    except store_errors():
        return False
    return True


def _write(job: _Copy, destination: Any, rows: list[tuple[Any, bytes]]) -> None:
    """Insert the rows in one transaction; when DST refuses one, the others one by one."""
    try:
        _insert(job, destination, rows)
        return
    except RowRefused:
        pass
    for row in rows:
        try:
            _insert(job, destination, [row])
        except RowRefused as exc:
            job.left_out += 1
            job.say(row[0], f"refused by {describe(job.destination)}, so it was left out: {exc}")


def _insert(job: _Copy, destination: Any, rows: list[tuple[Any, bytes]]) -> None:
    try:
        destination.insert_copies(rows, timeout=job.timeout)
    except RowRefused:
        raise
    except store_errors() as exc:
        raise open_error(exc, job.destination, "write") from None
    job.copied += len(rows)
    job.copied_bytes += sum(len(blob) for _, blob in rows)
    for summary, _ in rows:
        note = destination.storable(summary)[1]
        if note is not None:
            job.say(summary, f"copied as {describe(job.destination)} can keep it: {note}")


def _reason(exc: Exception, location: str) -> str:
    return str(exc) if isinstance(exc, StoreError) else mask_text(str(exc), location)


def _recount(job: _Copy, missing: list[dict[str, Any]]) -> tuple[int, int]:
    """How many of the missing traces (and how many bytes) DST holds now: an interrupt
    may come after a batch was committed and before it was counted."""
    if not missing:
        return 0, 0
    try:
        with open_store(job.destination) as destination:
            present = {_key(destination, s)
                       for s in destination.summaries(TraceQuery(newest_first=False))}
            arrived = [s for s in missing if _key(destination, s) in present]
    except (*store_errors(), KeyboardInterrupt):
        return job.copied, job.copied_bytes
    return len(arrived), sum(s["size"] for s in arrived)
