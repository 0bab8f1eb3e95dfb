"""``tavo view``: look at stored traces in the browser, or write one trace as an HTML file."""

from __future__ import annotations

import argparse
import html
import os
import sys
import tempfile
import urllib.parse
import webbrowser
from typing import Any

from tavo.cli.common import CommandError, add_db_option, open_error, store_errors
from tavo.cli.trace_ref import resolve_trace_id
from tavo.stores import describe


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "view", help="look at stored traces in the browser",
        description="Serve the trace viewer on 127.0.0.1 and open it in the browser: the list "
                    "of stored traces, or TRACE_ID's timeline, call tree and values. Ctrl-C stops "
                    "it. With --html, write TRACE_ID's page as one file instead.")
    parser.add_argument("trace_id", nargs="?", metavar="TRACE_ID",
                        help='the trace to open: its id, a unique start of one, or "last"')
    add_db_option(parser)
    parser.add_argument("--port", type=int, default=0, metavar="N",
                        help="port to listen on (default: one chosen by the system)")
    parser.add_argument("--no-browser", action="store_true", help="only print the address")
    parser.add_argument("--html", metavar="FILE",
                        help="write TRACE_ID's page as a self-contained HTML file and exit")
    parser.set_defaults(handler=view_command)


def view_command(args: argparse.Namespace) -> int:
    from tavo import db

    if not 0 <= args.port <= 65535:
        raise CommandError(f"view: --port must be between 0 and 65535, not {args.port}", 2)
    if args.html is not None and args.trace_id is None:
        raise CommandError("view: --html needs a TRACE_ID", 2)
    trace_id = None if args.trace_id is None else resolve_trace_id(args.db, args.trace_id)
    try:
        stored = db.list_traces(args.db, trace_id)
    except store_errors() as exc:
        raise open_error(exc, args.db) from None
    if trace_id is not None and not stored:
        raise CommandError(f"no trace {trace_id} in {describe(args.db)}")
    if args.html is not None:
        return write_html(args.db, stored[-1], args.html)
    return serve(args.db, args.port, stored[-1] if trace_id is not None else None,
                 not args.no_browser)


def write_html(db_path: str, summary: dict[str, Any], out: str) -> int:
    """Write the trace's page to ``out``, readable by its owner alone like the store it
    comes from (it holds every recorded value), replacing ``out`` only once complete."""
    from tavo import db
    from tavo.viewer.page import write_standalone

    try:
        blob = next((b for _, b in db.iter_documents(db_path, [summary["id"]])), None)
    except store_errors() as exc:
        raise open_error(exc, db_path) from None
    if blob is None:
        raise CommandError(f"trace {summary['trace_id']} disappeared from {describe(db_path)}")
    summary = {**summary, "size": len(blob)}
    try:
        # mkstemp makes the file owner-only, whatever the umask and whatever `out` was.
        handle, temporary = tempfile.mkstemp(prefix=".tavo-view-", dir=os.path.dirname(os.path.abspath(out)))
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(handle, "wb") as file:
            write_standalone(file, summary, _pieces(blob))
        os.replace(temporary, out)
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    print(f"tavo: wrote trace {summary['trace_id']} to {out}", file=sys.stderr)
    return 0


def _pieces(blob: bytes, size: int = 1 << 22):
    view = memoryview(blob)
    for start in range(0, len(view), size):
        yield view[start:start + size]


def serve(db_path: str, port: int, summary: dict[str, Any] | None, browser: bool) -> int:
    from tavo.viewer.server import ViewerServer

    try:
        server = ViewerServer(db_path, port)
    except OSError as exc:
        raise CommandError(f"cannot listen on 127.0.0.1 port {port}: {exc.strerror or exc}") from None
    url = server.url
    if summary is not None:
        url += f"#/trace/{urllib.parse.quote(summary['trace_id'], safe='')}/{summary['id']}"
    print(url, flush=True)
    print("tavo: viewer running, Ctrl-C stops it", file=sys.stderr, flush=True)
    opener = _open_browser(url) if browser else None
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("tavo: viewer stopped", file=sys.stderr)
    finally:
        server.server_close()
        if opener is not None:
            os.unlink(opener)
    return 0


def _open_browser(url: str) -> str | None:
    """Open ``url`` in the browser through an owner-only file that leads there, so that the
    token never shows in a command line other accounts can list; the file's path, or None."""
    # Without a display a terminal browser could be picked, which would take over this terminal.
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return None
    handle, path = tempfile.mkstemp(prefix="tavo-view-", suffix=".html")
    with os.fdopen(handle, "w", encoding="utf-8") as file:
        file.write(f'<!DOCTYPE html><meta http-equiv="refresh" content="0;url={html.escape(url)}">'
                   f'<a href="{html.escape(url)}">tavo viewer</a>')
    try:
        webbrowser.open("file://" + path)
    except webbrowser.Error:
        pass
    return path
