"""``tavo copy SRC DST``: copy traces between stores (a CI runner's SQLite file
into a team's PostgreSQL database, say).

A stored document is known by its trace id, save time and size, which copying
keeps, so copying again stores nothing twice, and a copy that was stopped part
way goes on where it stopped.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

from tavo.cli.common import CommandError, open_error, store_errors
from tavo.cli.render import format_size

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
    parser.add_argument("--busy-timeout", type=float, default=60, metavar="SECONDS",
                        help="how long to wait for another writer's lock (default: 60)")
    parser.set_defaults(handler=copy_command)


def _key(summary: dict[str, Any]) -> tuple[Any, ...]:
    return summary["trace_id"], summary["saved_at"], summary["size"]


def copy_command(args: argparse.Namespace) -> int:
    from tavo.stores import TraceQuery, absolute, describe, open_store

    if args.busy_timeout < 0:
        raise CommandError("copy: --busy-timeout must not be negative", 2)
    if absolute(args.source) == absolute(args.destination):
        raise CommandError(f"copy: {describe(args.source)} is both the source and the destination",
                           2)
    oldest_first = TraceQuery(newest_first=False)
    try:
        with open_store(args.source) as source:
            wanted = source.summaries(oldest_first)
    except store_errors() as exc:
        raise open_error(exc, args.source) from None
    copied = copied_bytes = 0
    try:
        with open_store(args.source) as source, open_store(args.destination) as destination:
            destination.ensure(timeout=args.busy_timeout)
            present = {_key(s) for s in destination.summaries(oldest_first)}
            missing = []
            for summary in wanted:
                if _key(summary) not in present:
                    present.add(_key(summary))
                    missing.append(summary)
            batch: list[dict[str, Any]] = []
            for index, summary in enumerate(missing):
                batch.append(summary)
                if (len(batch) < _BATCH_ROWS and sum(s["size"] for s in batch) < _BATCH_BYTES
                        and index + 1 < len(missing)):
                    continue
                rows = source.load_rows([s["id"] for s in batch])
                destination.insert_copies(rows, timeout=args.busy_timeout)
                copied += len(rows)
                copied_bytes += sum(len(blob) for _, blob in rows)
                batch = []
    except store_errors() as exc:
        error = open_error(exc, args.destination, "write")
        raise CommandError(f"{error} ({copied} traces copied before this)") from None
    print(f"tavo: copied {copied} trace{'s' if copied != 1 else ''} "
          f"({format_size(copied_bytes)}) from {describe(args.source)} to "
          f"{describe(args.destination)}; {len(wanted) - copied} already there", file=sys.stderr)
    return 0
