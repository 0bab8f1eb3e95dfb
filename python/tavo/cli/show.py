"""``tavo show``: print a stored trace as a call tree, or as its decoded document."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from tavo.cli.call_tree import render_calls, render_summary
from tavo.cli.common import CommandError, add_db_option, open_error, store_errors
from tavo.cli.render import printable
from tavo.cli.trace_ref import add_trace_argument, resolve_trace_id
from tavo.export import document


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser("show", help="print a stored trace as a call tree",
                                   description="Print a stored trace as a call tree per thread, "
                                               "with each call's duration and outcome.")
    add_trace_argument(parser)
    add_db_option(parser)
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print the decoded document as JSON")
    output.add_argument("--summary", action="store_true",
                        help="print calls, total and own time per function as a table")
    parser.set_defaults(handler=show_command)


def show_command(args: argparse.Namespace) -> int:
    from tavo import db
    from tavo.stores import describe

    args.trace_id = resolve_trace_id(args.db, args.trace_id)
    try:
        stored = db.load_traces(args.db, args.trace_id)
    except store_errors() as exc:
        raise open_error(exc, args.db) from None
    where = describe(args.db)
    if not stored:
        raise CommandError(f"no trace {args.trace_id} in {where}")
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")  # recorded text may not fit the terminal
    bad_documents = 0
    for index, (summary, blob) in enumerate(stored):
        # A damaged or crafted document (undecodable, nested too deep to walk)
        # gets one line, and the other documents are still shown.
        try:
            if args.json:
                document.write(blob, sys.stdout)  # one document per line
                continue
            lines = [printable(line) for line in
                     (render_summary if args.summary else render_calls)(summary, blob)]
        except Exception as exc:
            bad_documents += 1
            print(f"tavo: document {summary['id']} of trace {printable(args.trace_id)} in {where}"
                  f" cannot be shown: {type(exc).__name__}: {exc}", file=sys.stderr)
            continue
        if index:
            print()
        for line in lines:
            print(line)
    return 1 if bad_documents else 0
