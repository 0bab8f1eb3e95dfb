"""``tavo diff A B``: where two recorded runs part (see tavo.divergence). ``tavo diff
--label TEST_ID`` compares that test's newest failing trace with the newest passing one
before it. The exit status is 0 when the runs do not differ, 1 when they do."""

from __future__ import annotations

import argparse
import json
import shutil
import sys
import textwrap
from typing import Any

from tavo.cli import render
from tavo.cli.common import CommandError, add_db_option, open_error, positive_int, store_errors
from tavo.cli.render import printable
from tavo.cli.trace_ref import resolve_trace_id
from tavo.divergence import Divergence, Side, divergences
from tavo.traceformat import DECODE_ERRORS

FAILING = ("failed", "error")


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "diff", help="show where two recorded runs part",
        description="Walk the calls of two traces, thread by thread, and show the first call "
                    "that differs (another function called, other arguments, another return "
                    "value, an exception in one run only), the calls that lead to it and both "
                    "values side by side. Ids, times and addresses (0x...) are not compared. "
                    "Exit status 0: no difference; 1: the runs differ.")
    parser.add_argument("traces", nargs="*", metavar="TRACE",
                        help='two traces: ids, unique starts of ids, or "last"')
    parser.add_argument("--label", metavar="TEST_ID",
                        help="compare this test's newest failing trace (A: the newest passing "
                             "one before it; B: the failing one)")
    parser.add_argument("--all", action="store_true", help="list every difference")
    parser.add_argument("--max", type=positive_int, default=100, metavar="N",
                        help="with --all, stop after N differences (default 100)")
    parser.add_argument("--json", action="store_true", help="print the differences as JSON")
    add_db_option(parser)
    parser.set_defaults(handler=diff_command)


def diff_command(args: argparse.Namespace) -> int:
    if (args.label is None) == (len(args.traces) != 2):
        raise CommandError("diff: give two traces, or --label TEST_ID (try: tavo diff --help)", 2)
    if args.label is not None:
        runs = _by_label(args.db, args.label)
    else:
        runs = [_latest(args.db, resolve_trace_id(args.db, text)) for text in args.traces]
    (summary_a, blob_a), (summary_b, blob_b) = runs
    cap = args.max if args.all else 1
    found: list[Divergence] = []
    try:
        for divergence in divergences(blob_a, blob_b):
            found.append(divergence)
            if len(found) > cap:
                break
    except DECODE_ERRORS as exc:
        raise CommandError(f"a trace cannot be decoded: {exc}") from None
    more = len(found) > cap
    found = found[:cap]
    if args.json:
        print(json.dumps({"a": _trace_json(summary_a), "b": _trace_json(summary_b),
                          "differences": [_json(d) for d in found], "more": more}))
    else:
        if hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(errors="backslashreplace")
        for line in _text(summary_a, summary_b, found, more, args.all):
            print(printable(line) if line else line)
    return 1 if found else 0


def _latest(db_path: str, trace_id: str) -> tuple[dict[str, Any], bytes]:
    from tavo.stores import TraceQuery, open_store

    try:
        with open_store(db_path) as store:
            rows = store.summaries(TraceQuery(trace_id=trace_id, limit=1))
            loaded = store.load_rows([rows[0]["id"]]) if rows else []
    except store_errors() as exc:
        raise open_error(exc, db_path) from None
    if not loaded:
        raise CommandError(f"no trace {trace_id}")
    return loaded[0]


def _by_label(db_path: str, label: str) -> list[tuple[dict[str, Any], bytes]]:
    """The newest passing trace of the test before its newest failing one, and that one."""
    from tavo.stores import TraceQuery, describe, open_store

    try:
        with open_store(db_path) as store:
            # The pattern finds the label itself (and any it stands for): kept exactly.
            rows = [row for row in store.summaries(TraceQuery(label=label))
                    if row["label"] == label]
            failing = next((row for row in rows if row["outcome"] in FAILING), None)
            passing = None if failing is None else next(
                (row for row in rows if row["outcome"] == "passed"
                 and (row["saved_at"], row["id"]) < (failing["saved_at"], failing["id"])), None)
            if failing is None or passing is None:
                which = "failing" if failing is None else "passing one before its newest failing"
                raise CommandError(f"no {which} trace of {label} in {describe(db_path)}")
            return store.load_rows([passing["id"], failing["id"]])
    except store_errors() as exc:
        raise open_error(exc, db_path) from None


def _describe_trace(summary: dict[str, Any]) -> str:
    outcome = f", {summary['outcome']}" if summary.get("outcome") else ""
    return (f"{summary['trace_id']} ({summary.get('label') or '?'}{outcome}, saved "
            f"{render.format_time(summary['saved_at'])})")


_WHAT = {"function": "another function is called", "arguments": "called with other arguments",
         "returned": "returned another value", "raised": "raised in one run only, or another "
                                                         "exception",
         "only in A": "called in run A only", "only in B": "called in run B only"}


def _call_text(call: Any) -> str:
    return f"{call.name}({render._arguments({'locals': call.arguments, 'co_name': call.name})})"


def _side_lines(label: str, side: Side, width: int) -> list[str]:
    if side.call is None:
        text = "(no such call)"
    elif side.what == "called":
        text = f"called {_call_text(side.call)}"
    elif side.what == "raised":
        text = f"raised {side.call.raised[0]}: {side.call.raised[1]}"
    elif side.what == "no return":
        text = "(no return recorded)"
    else:
        text = f"returned {render.value_text(side.value)}"
    lines = [label]
    for paragraph in text.splitlines() or [""]:
        lines += textwrap.wrap(paragraph, width, break_long_words=True,
                               replace_whitespace=False) or [""]
    return lines


def _text(summary_a: dict[str, Any], summary_b: dict[str, Any], found: list[Divergence],
          more: bool, every: bool) -> list[str]:
    lines = [f"A: {_describe_trace(summary_a)}", f"B: {_describe_trace(summary_b)}"]
    if not found:
        return lines + ["the runs do not differ (ids, times and addresses left aside)"]
    columns = max(shutil.get_terminal_size((100, 24)).columns, 60)
    width = (columns - 3) // 2
    for number, divergence in enumerate(found, 1):
        title = "first difference" if not every else f"difference {number}"
        lines.append("")
        lines.append(f"{title}: {divergence.function} {_WHAT[divergence.kind]} "
                     f"({divergence.thread}, call {divergence.number})")
        lines.append("calls that lead to it:")
        for depth, call in enumerate(divergence.path):
            lines.append("  " * (depth + 1) + _call_text(call))
        here = divergence.a.call or divergence.b.call
        lines.append("  " * (len(divergence.path) + 1) + "> " + _call_text(here))
        left = _side_lines("A", divergence.a, width)
        right = _side_lines("B", divergence.b, width)
        for row in range(max(len(left), len(right))):
            cell = left[row] if row < len(left) else ""
            other = right[row] if row < len(right) else ""
            lines.append(f"{cell.ljust(width)} | {other}".rstrip())
    if more:
        lines += ["", "... more differences (--all shows them, up to --max N)"
                  if not every else f"... more differences than the {len(found)} shown (--max N)"]
    return lines


def _trace_json(summary: dict[str, Any]) -> dict[str, Any]:
    return {key: summary.get(key) for key in ("id", "trace_id", "label", "outcome", "saved_at")}


def _side_json(side: Side) -> dict[str, Any] | None:
    if side.call is None:
        return None
    result: dict[str, Any] = {"function": side.call.name, "path": side.call.path,
                              "arguments": render.to_json(side.call.arguments)}
    if side.what == "raised" and side.call.raised is not None:
        result["raised"] = {"type": side.call.raised[0], "message": side.call.raised[1]}
    elif side.what == "returned":
        result["returned"] = render.to_json(side.call.returned)
    return result


def _json(divergence: Divergence) -> dict[str, Any]:
    return {"thread": divergence.thread, "call": divergence.number, "kind": divergence.kind,
            "function": divergence.function, "path": [call.name for call in divergence.path],
            "a": _side_json(divergence.a), "b": _side_json(divergence.b)}
