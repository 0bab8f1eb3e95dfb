"""``tavo traces``: list the stored traces, newest first."""

from __future__ import annotations

import argparse
import datetime
import re
import sys
import time
from typing import Any

from tavo.cli.common import add_db_option, open_error, positive_int, store_errors
from tavo.cli.lineage import as_tree
from tavo.cli.render import format_duration, format_size, format_time, printable
from tavo.stores import OUTCOMES

_AGO = re.compile(r"(\d+(?:\.\d+)?)([smhd])")
_UNIT_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "traces", help="list the stored traces",
        description="List the stored traces, newest first, and the store's size.")
    add_db_option(parser)
    parser.add_argument("--label", metavar="PATTERN",
                        help="only labels matching PATTERN (* any text, ? one character)")
    parser.add_argument("--source", help="only traces of this source (cli, pytest, ...)")
    parser.add_argument("--since", metavar="WHEN", type=since_time,
                        help="only traces saved since WHEN: a local date or time "
                             "(2026-12-01, 2026-12-01T14:30) or a time ago (30m, 12h, 7d)")
    parser.add_argument("--outcome", choices=OUTCOMES,
                        help="only tests with this outcome (as pytest reported it)")
    parser.add_argument("--function", metavar="NAME",
                        help="only traces that call NAME (a qualified or function name, or a "
                             "glob of either, as for find)")
    parser.add_argument("--limit", metavar="N", type=positive_int, help="at most N traces")
    parser.add_argument("--children", dest="with_children", action="store_true",
                        help="also list, under each trace, the traces of the processes it "
                             "started, whether or not they match")
    parser.set_defaults(handler=traces_command)


def since_time(text: str) -> float:
    """Seconds since the epoch of a local date or time, or of a time ago."""
    ago = _AGO.fullmatch(text.strip())
    if ago:
        return time.time() - float(ago.group(1)) * _UNIT_SECONDS[ago.group(2)]
    try:
        return datetime.datetime.fromisoformat(text.strip()).timestamp()
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a date, time or time ago: {text!r} (try 2026-12-01, 2026-12-01T14:30 or 7d)"
        ) from None


def traces_command(args: argparse.Namespace) -> int:
    from tavo.stores import TraceQuery, describe, open_store

    query = TraceQuery(label=args.label, source=args.source, since=args.since,
                       outcome=args.outcome, function=args.function, limit=args.limit)
    try:
        with open_store(args.db) as store:
            traces = store.summaries(query)
            if args.with_children:
                traces += _descendants(store, traces)
            size = store.total_size()
    except store_errors() as exc:
        raise open_error(exc, args.db) from None
    where = describe(args.db)
    filtered = any(v is not None for v in (args.label, args.source, args.since, args.limit,
                                           args.outcome, args.function))
    if not traces:
        print(f"no {'matching ' if filtered else ''}traces in {where} "
              f"(store size {format_size(size)})", file=sys.stderr)
        return 0
    rows = [("TRACE ID", "SAVED", "SOURCE", "RECORDS", "SIZE", "PROCESS", "DURATION", "LOST",
             "OUTCOME", "LABEL")]
    bad_rows = 0
    # Traces saved by child processes are listed under their parent's, indented.
    for depth, t, label in as_tree(traces):
        try:
            rows.append(_row(t, depth, label))
        except Exception as exc:  # a damaged or crafted row: say so, show the others
            bad_rows += 1
            print(f"tavo: row {t['id']} of {where} cannot be shown: {exc}", file=sys.stderr)
    columns = len(rows[0]) - 1
    widths = [max(len(row[i]) for row in rows) for i in range(columns)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[-1])
    # On stderr, so that the table alone goes down a pipe.
    shown = f"{len(traces)} trace{'s' if len(traces) != 1 else ''}"
    print(f"tavo: {shown} shown from {where} (store size {format_size(size)})", file=sys.stderr)
    lossy = sum(1 for t in traces if _budget_losses(t))
    if lossy:
        print(f"tavo: {lossy} of these traces reached their buffer budget (LOST: values "
              "shortened, records dropped): raise it with --buffer-budget (tavo run), "
              "--tavo-buffer-budget (pytest --tavo), buffer-budget in [tool.tavo] or "
              "TAVO_BUFFER_BUDGET; tavo show TRACE_ID tells more", file=sys.stderr)
    return 1 if bad_rows else 0


def _descendants(store: Any, traces: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The traces of the processes the listed ones started, and of theirs, not yet listed."""
    from tavo.stores import TraceQuery

    seen = {t["id"] for t in traces}
    found: list[dict[str, Any]] = []
    parents = {t["trace_id"] for t in traces}
    while parents:
        children = [c for c in store.summaries(TraceQuery(parents=tuple(sorted(parents))))
                    if c["id"] not in seen]
        seen.update(c["id"] for c in children)
        found += children
        parents = {c["trace_id"] for c in children}
    return found


def _budget_losses(t: dict[str, Any]) -> bool:
    losses = t.get("losses")
    return isinstance(losses, dict) and bool(losses.get("shortened_values")
                                             or losses.get("budget_dropped_records"))


def _lost(t: dict[str, Any]) -> str:
    losses = t.get("losses") if isinstance(t.get("losses"), dict) else {}
    dropped = losses.get("dropped_records") or t.get("dropped_records")
    parts = []
    if losses.get("shortened_values"):
        parts.append(f"{losses['shortened_values']} shortened")
    if dropped:
        # The monitoring engine stops reporting calls past the budget: a floor.
        parts.append(f"{'at least ' if losses.get('uncounted_after_budget') else ''}{dropped} dropped")
    return ", ".join(parts) or "-"


def _process(t: dict[str, Any]) -> str:
    role = t.get("role")
    if not isinstance(role, str):
        return "?"
    return role.removeprefix("xdist worker ")


def _row(t: dict[str, Any], depth: int, label: str) -> tuple[str, ...]:
    for key in ("trace_id", "source", "label", "outcome", "role"):
        if t.get(key) is not None and not isinstance(t[key], str):
            raise ValueError(f"its {key} is not text")
    if not isinstance(t["size"], int) or (t["records"] is not None and not isinstance(t["records"], int)):
        raise ValueError("its size or record count is not a number")
    duration = t.get("duration")
    # The label, last on the line, is shown whole: test ids often differ only at their end.
    return ("  " * depth + printable(t["trace_id"]), format_time(t["saved_at"]),
            printable(t["source"] or "?"), "?" if t["records"] is None else str(t["records"]),
            format_size(t["size"]), printable(_process(t)),
            format_duration(duration) if isinstance(duration, (int, float)) else "?", _lost(t),
            printable(str(t.get("outcome") or "-")), printable(label))
