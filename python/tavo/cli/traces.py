"""``tavo traces``: list the stored traces."""

from __future__ import annotations

import argparse
import sqlite3
import sys
from typing import Any

from tavo.cli.common import add_db_option, open_error
from tavo.cli.render import format_size, format_time


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser("traces", help="list the stored traces",
                                   description="List the stored traces, oldest first.")
    add_db_option(parser)
    parser.set_defaults(handler=traces_command)


def traces_command(args: argparse.Namespace) -> int:
    from tavo import db

    try:
        traces = db.list_traces(args.db)
    except (db.NotATraceDatabase, sqlite3.Error) as exc:
        raise open_error(exc, args.db) from None
    if not traces:
        print(f"no traces in {args.db}", file=sys.stderr)
        return 0
    rows = [("TRACE ID", "SAVED", "SOURCE", "RECORDS", "SIZE", "OUTCOME", "LABEL")]
    for t in traces:
        label = t["label"] or ""
        rows.append((t["trace_id"], format_time(t["saved_at"]), t["source"] or "?",
                     "?" if t["records"] is None else str(t["records"]),
                     format_size(t["size"]), t.get("outcome") or "-",
                     label if len(label) <= 70 else label[:67] + "..."))
    widths = [max(len(row[i]) for row in rows) for i in range(6)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[6])
    return 0
