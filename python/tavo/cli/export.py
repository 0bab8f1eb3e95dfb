"""``tavo export``: write a stored trace in a format other programs open."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import Any

from tavo.cli.common import CommandError, add_db_option, open_error, store_errors
from tavo.cli.trace_ref import add_trace_argument, resolve_trace_id
from tavo.traceformat import DECODE_ERRORS
from tavo.stores import describe

FORMAT_HELP = ("chrome: Trace Event Format JSON for trace viewers; speedscope: evented "
               "profile JSON for flame-graph viewers; json: the decoded document (as show --json)")


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser("export", help="write a stored trace for other programs",
                                   description="Write a stored trace in a format other programs "
                                               "open. " + FORMAT_HELP + ".")
    add_trace_argument(parser)
    parser.add_argument("--format", required=True, choices=("chrome", "speedscope", "json"),
                        help="the output format")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE (replaced only once complete) instead of stdout")
    add_db_option(parser)
    parser.set_defaults(handler=export_command)


def export_command(args: argparse.Namespace) -> int:
    from tavo import db
    from tavo.export import FORMATS

    trace_id = resolve_trace_id(args.db, args.trace_id)
    try:
        stored = db.list_traces(args.db, trace_id)
        blobs = [blob for _, blob in db.iter_documents(args.db, [stored[-1]["id"]])]
    except store_errors() as exc:
        raise open_error(exc, args.db) from None
    except IndexError:
        blobs = []
    if not blobs:
        raise CommandError(f"no trace {trace_id} in {describe(args.db)}")
    if len(stored) > 1:
        print(f"tavo: trace {trace_id} was saved {len(stored)} times; exporting the latest",
              file=sys.stderr)
    blob = blobs.pop()
    write = FORMATS[args.format]
    if args.output is None:
        _write(write, blob, sys.stdout, trace_id, args.db)
        return 0
    directory = os.path.dirname(os.path.abspath(args.output))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".tavo-export-", dir=directory)
    except OSError as exc:
        raise CommandError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            _write(write, blob, out, trace_id, args.db)
        os.replace(temporary, args.output)
    except OSError as exc:
        raise CommandError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    print(f"tavo: wrote {args.format} export of {trace_id} to {args.output}", file=sys.stderr)
    return 0


def _write(write: Any, blob: bytes, out: Any, trace_id: str, db_path: str) -> None:
    try:
        write(blob, out)
    except DECODE_ERRORS as exc:
        raise CommandError(f"trace {trace_id} in {describe(db_path)} cannot be decoded: {exc}") from None
