"""``tavo prune``: delete old traces and give their space back."""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Any

from tavo.cli.common import (CommandError, add_busy_timeout_option, add_db_option, open_error,
                             settings_from, store_errors, whole_number)
from tavo.cli.render import format_size, format_time, printable

# More traces than this going is asked about first, on a terminal.
HANDFUL = 10


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "prune", help="delete old traces and reclaim their space",
        description="Delete traces (those whose label matches PATTERN, with --label): the ones "
                    "saved more than DAYS days ago, and the ones beyond the newest N. With both "
                    "options, a trace goes when it is older than DAYS and not among the newest N. "
                    f"When more than {HANDFUL} traces would go, prune asks first on a terminal, "
                    "and elsewhere deletes them only with --yes.")
    add_db_option(parser)
    parser.add_argument("--older-than", type=days, metavar="DAYS",
                        help="delete traces saved more than DAYS days ago")
    parser.add_argument("--keep", type=whole_number, metavar="N",
                        help="keep only the newest N traces")
    parser.add_argument("--label", metavar="PATTERN",
                        help="only labels matching PATTERN (* any text, ? one character, "
                             "anything else itself)")
    parser.add_argument("--dry-run", action="store_true",
                        help="list the traces that would go, how many and how big; delete nothing")
    parser.add_argument("-y", "--yes", action="store_true",
                        help="delete without asking, however many traces go")
    add_busy_timeout_option(parser, "deleting")
    parser.set_defaults(handler=prune_command)


def days(text: str) -> float:
    """A finite number of days, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"not a number of days, 0 or more: {text!r}")
    return value


def prune_command(args: argparse.Namespace) -> int:
    from tavo.stores import TraceQuery, describe, open_store

    if args.older_than is None and args.keep is None:
        raise CommandError("prune: say which traces go: --older-than DAYS, --keep N or both", 2)
    timeout = settings_from(args)["busy-timeout"]
    where = describe(args.db)
    try:
        with open_store(args.db) as store:
            candidates = store.summaries(TraceQuery(label=args.label))  # newest first
            kept = candidates[:args.keep] if args.keep is not None else []
            doomed = candidates[len(kept):]
            if args.older_than is not None:
                cutoff = time.time() - args.older_than * 86400
                doomed = [s for s in doomed if s["saved_at"] < cutoff]
            going = (f"{len(doomed)} trace{'s' if len(doomed) != 1 else ''} "
                     f"({format_size(sum(s['size'] for s in doomed))})")
            if args.dry_run:
                for summary in doomed:
                    print(_line(summary))
                print(f"tavo: would delete {going} of {len(candidates)} from {where}; "
                      f"nothing was deleted (--dry-run)", file=sys.stderr)
                return 0
            if len(doomed) > HANDFUL and not args.yes:
                _confirm(f"delete {going} of {len(candidates)} from {where}?")
            before = store.total_size()
            if doomed:
                store.delete([s["id"] for s in doomed], timeout=timeout)
                store.reclaim(timeout=timeout)
            after = store.total_size()
    except store_errors() as exc:
        raise open_error(exc, args.db, "prune") from None
    print(f"tavo: deleted {going} from {where}; "
          f"store size {format_size(before)} -> {format_size(after)}", file=sys.stderr)
    return 0


def _line(summary: dict[str, Any]) -> str:
    try:
        saved = format_time(summary["saved_at"])
    except ValueError:
        saved = "?"
    return "  ".join((printable(str(summary["trace_id"])), saved, format_size(summary["size"]),
                      printable(str(summary["label"] or "-"))))


def _confirm(question: str) -> None:
    """Go on when the person at the terminal says yes; anything else deletes nothing."""
    if not sys.stdin.isatty():
        raise CommandError(f"prune: would {question[:-1]}: add --yes to delete them "
                           f"(--dry-run lists them)")
    print(f"tavo: {question} [y/N] ", end="", file=sys.stderr, flush=True)
    answer = sys.stdin.readline()
    if answer.strip().lower() not in ("y", "yes"):
        raise CommandError("prune: nothing was deleted")
