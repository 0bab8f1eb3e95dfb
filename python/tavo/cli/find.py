"""``tavo find``: every call of a function across the stored traces."""

from __future__ import annotations

import argparse
import ast
import fnmatch
import json
import sys
from collections.abc import Iterator
from typing import Any

from tavo import traceformat
from tavo.cli import render
from tavo.cli.call_tree import outcome
from tavo.cli.common import CommandError, add_db_option, open_error, positive_int, store_errors
from tavo.stores import describe
from tavo.traceformat import DECODE_ERRORS, Call

_MISSING = object()


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "find", help="find every call of a function in the stored traces",
        description="Print every recorded call of a function across the stored traces, newest "
                    "trace first, one line each: the trace's label, the call's arguments, where "
                    "it was called from and what it returned or raised. NAME is a qualified name "
                    "or a function name; glob patterns (* ? [..]) match either. Only the traces "
                    "that call it are read.")
    parser.add_argument("name", metavar="NAME")
    parser.add_argument("--arg", action="append", default=[], metavar="KEY=VALUE",
                        help="only calls whose argument KEY equals VALUE (a Python literal) "
                             "or whose text matches VALUE (a glob); repeatable")
    parser.add_argument("--label", metavar="PATTERN",
                        help="only traces whose label (test name or command) matches PATTERN "
                             "(* any text, ? one character, anything else itself)")
    parser.add_argument("--limit", metavar="N", type=positive_int,
                        help="stop after the first N calls")
    add_db_option(parser)
    parser.add_argument("--json", action="store_true", help="one JSON object per call")
    parser.set_defaults(handler=find_command)


class ArgumentFilter:
    def __init__(self, text: str) -> None:
        key, sep, value = text.partition("=")
        if not sep or not key:
            raise CommandError(f"find: --arg wants KEY=VALUE, not {text!r}", 2)
        self.key, self.text = key, value
        try:
            self.literal = ast.literal_eval(value)
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            self.literal = _MISSING

    def matches(self, arguments: Any) -> bool:
        if not isinstance(arguments, dict) or self.key not in arguments:
            return False
        value = arguments[self.key]
        if self.literal is not _MISSING and type(value) is type(self.literal) \
                and value == self.literal:
            return True
        text = value if isinstance(value, str) else render.value_text(value)
        return text == self.text or fnmatch.fnmatchcase(text, self.text)


def find_command(args: argparse.Namespace) -> int:
    from tavo.stores import TraceQuery, open_store

    filters = [ArgumentFilter(text) for text in args.arg]
    matches = traceformat.glob_matcher(args.name)
    found = 0
    try:
        with open_store(args.db) as store:
            # The call index names the traces that call it, newest first; the label is
            # matched by the store, as for traces and prune.
            rows = store.candidates(TraceQuery(label=args.label, function=args.name))
            by_row = {summary["id"]: summary for summary, _ in rows}
            # Traces saved before the index was kept are ruled out by a byte search.
            unindexed = {summary["id"] for summary, indexed in rows if not indexed}
            hint = traceformat.literal_hint(args.name)
            if hasattr(sys.stdout, "reconfigure"):
                sys.stdout.reconfigure(errors="backslashreplace")
            for row_id, blob in store.documents(list(by_row)):
                if row_id in unindexed and hint and hint not in blob:
                    continue
                summary = by_row[row_id]
                try:
                    for call in calls_in(blob, matches):
                        if all(f.matches(call.arguments) for f in filters):
                            found += 1
                            print(json.dumps(as_json(summary, call)) if args.json
                                  else as_line(summary, call))
                            if args.limit is not None and found >= args.limit:
                                return 0
                except DECODE_ERRORS as exc:
                    print(f"tavo: trace {summary['trace_id']} cannot be decoded: {exc}",
                          file=sys.stderr)
    except BrokenPipeError:
        raise  # the output's reader has gone (| head): not the store's fault
    except store_errors() as exc:
        raise open_error(exc, args.db) from None
    if not found:
        print(f"no calls of {args.name} in {describe(args.db)}", file=sys.stderr)
    return 0


def calls_in(blob: bytes, matches: Any) -> Iterator[Call]:
    """The finished calls of functions that ``matches`` accepts; the values of other
    large records are skipped undecoded."""

    def keep(partial: dict[str, Any]) -> bool:
        return matches(str(partial.get("qualname") or ""), str(partial.get("co_name") or ""))

    for kind, section in traceformat.read_document(blob, keep_record=keep):
        if kind == "section":
            for call in traceformat.calls_named(section.records, matches):
                if call.finished:
                    yield call


def called_from(call: Call) -> tuple[str | None, str | None]:
    """The calling function's name and the file:line of the call."""
    caller = call.caller
    if caller is None:
        return None, None
    line = call.call_site.get("line_number") if isinstance(call.call_site, dict) else None
    file = caller.path.rpartition(":")[0] or caller.path
    return caller.name, f"{file}:{line}" if line is not None else caller.path


def as_line(summary: dict[str, Any], call: Call) -> str:
    arguments = render._arguments({"locals": call.arguments,
                                   "co_name": call.name.rsplit(".", 1)[-1]})
    caller, place = called_from(call)
    origin = f"from {caller} ({place})" if caller else "from (not recorded)"
    label = summary["label"] or summary["trace_id"]
    return f"{label}  {call.name}({arguments})  {origin}  {outcome(call)}  {summary['trace_id']}"


def as_json(summary: dict[str, Any], call: Call) -> dict[str, Any]:
    caller, place = called_from(call)
    result: dict[str, Any] = {
        "trace_id": summary["trace_id"], "label": summary["label"], "function": call.name,
        "path": call.path, "thread": call.thread, "frame_id": render.to_json(call.frame_id),
        "arguments": render.to_json(call.arguments), "caller": caller, "called_from": place,
        "duration": call.duration,
    }
    if call.raised is not None:
        result["raised"] = {"type": call.raised[0], "message": call.raised[1]}
    else:
        result["returned"] = render.to_json(call.returned)
    return result
