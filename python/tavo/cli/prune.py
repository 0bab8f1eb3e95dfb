"""``tavo prune``: delete old traces and give their space back."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any

from tavo.cli.common import CommandError, add_db_option, open_error, store_errors
from tavo.cli.render import format_size


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "prune", help="delete old traces and reclaim their space",
        description="Delete traces (those whose label matches PATTERN, with --label): the ones "
                    "saved more than DAYS days ago, and the ones beyond the newest N. With both "
                    "options, a trace goes when it is older than DAYS and not among the newest N.")
    add_db_option(parser)
    parser.add_argument("--older-than", type=float, metavar="DAYS",
                        help="delete traces saved more than DAYS days ago")
    parser.add_argument("--keep", type=int, metavar="N", help="keep only the newest N traces")
    parser.add_argument("--label", metavar="PATTERN",
                        help="only labels matching PATTERN (* any text, ? one character)")
    parser.add_argument("--busy-timeout", type=float, default=60, metavar="SECONDS",
                        help="how long to wait for another writer's lock (default: 60)")
    parser.set_defaults(handler=prune_command)


def prune_command(args: argparse.Namespace) -> int:
    from tavo.stores import TraceQuery, describe, open_store

    if args.older_than is None and args.keep is None:
        raise CommandError("prune: say which traces go: --older-than DAYS, --keep N or both", 2)
    for name, value in (("--older-than", args.older_than), ("--keep", args.keep),
                        ("--busy-timeout", args.busy_timeout)):
        if value is not None and value < 0:
            raise CommandError(f"prune: {name} must not be negative", 2)
    try:
        with open_store(args.db) as store:
            candidates = store.summaries(TraceQuery(label=args.label))  # newest first
            kept = candidates[:args.keep] if args.keep is not None else []
            doomed = candidates[len(kept):]
            if args.older_than is not None:
                cutoff = time.time() - args.older_than * 86400
                doomed = [s for s in doomed if s["saved_at"] < cutoff]
            before = store.total_size()
            if doomed:
                store.delete([s["id"] for s in doomed], timeout=args.busy_timeout)
                store.reclaim(timeout=args.busy_timeout)
            after = store.total_size()
    except store_errors() as exc:
        raise open_error(exc, args.db, "prune") from None
    print(f"tavo: deleted {len(doomed)} trace{'s' if len(doomed) != 1 else ''} "
          f"({format_size(sum(s['size'] for s in doomed))}) from {describe(args.db)}; "
          f"store size {format_size(before)} -> {format_size(after)}", file=sys.stderr)
    return 0
