"""A stored trace on a terminal: a call tree per thread with each call's duration and
outcome, or a table of time per function. Documents are read as a stream."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from tavo import traceformat
from tavo.cli import render
from tavo.cli.render import format_duration
from tavo.traceformat import Call, CallTotals, Section

_PLUGIN_HIDDEN = render._RECORD_KEYS


def header(summary: dict[str, Any], fields: dict[str, Any]) -> list[str]:
    records = summary["records"]
    outcome = summary.get("outcome")
    lines = [
        f"trace {summary['trace_id']}  saved {render.format_time(summary['saved_at'])}"
        f"  source {summary['source'] or '?'}  records {'?' if records is None else records}"
        + (f"  outcome {outcome}" if outcome else ""),
    ]
    args = fields.get("command_line_args")
    if isinstance(args, list) and args:
        lines.append("command: " + " ".join(str(a) for a in args))
    if fields.get("current_commit_sha"):
        lines.append(f"commit: {fields['current_commit_sha']}")
    role, pid = summary.get("role"), summary.get("pid")
    if isinstance(role, str) and role != "main":
        parent = summary.get("parent_trace_id")
        lines.append(f"process: {role}" + (f" of {parent}" if parent else "")
                     + (f" (pid {pid})" if pid is not None else ""))
    if summary.get("losses"):
        from tavo.profiler import describe_losses

        option = "--tavo-buffer-budget" if summary.get("source") == "pytest" else "--buffer-budget"
        lines.append("lost: " + describe_losses(summary["losses"], None, option))
    return lines


def sections(blob: bytes) -> Iterator[tuple[dict[str, Any], Section]]:
    """The document's fields read so far and each thread's records, main thread first
    (fields["frames"] lists the other threads met before it)."""
    fields: dict[str, Any] = {"frames": []}
    for kind, item in traceformat.read_document(blob):
        if kind == "field":
            fields[item[0]] = item[1]
        elif kind == "section" and item.key is None:
            yield fields, item
        elif kind == "section":
            fields["frames"].append(item.key)
    for kind, item in traceformat.read_document(blob):
        if kind == "section" and item.key is not None:
            yield fields, item


def _peek(records: Iterator[Any]) -> tuple[Any, Iterator[Any]]:
    first = next(records, None)

    def chained() -> Iterator[Any]:
        if first is not None:
            yield first
        yield from records

    return first, chained()


def thread_title(section: Section, first: Any, has_threads: bool) -> str:
    name = traceformat.thread_name(first)
    if section.key is None:
        if not has_threads:
            return "records"
        return f"main thread ({name})" if name else "main thread"
    return f"thread {name} ({section.key})" if name else f"thread {section.key}"


def render_calls(summary: dict[str, Any], blob: bytes) -> Iterator[str]:
    """The lines of a document shown as a call tree per thread."""
    shown_header = False
    for fields, section in sections(blob):
        if not shown_header:
            yield from header(summary, fields)
            shown_header = True
        first, records = _peek(section.records)
        yield thread_title(section, first, bool(fields["frames"])) + ":"
        if first is None:
            yield "  (no records)"
        for depth, text in _tree(records):
            yield "  " * (depth + 1) + text
    if not shown_header:
        yield from header(summary, {})


def _tree(records: Iterator[Any]) -> Iterator[tuple[int, str]]:
    depth = 0
    for step in traceformat.pair_calls(records):
        call = step.call
        if step.kind == "call" and call is not None:
            arguments = render._arguments(step.record)
            yield call.depth, f"-> {call.name}({arguments})  {call.path}"
            depth = call.depth + 1
        elif step.kind == "return" and call is not None:
            depth = call.depth
            yield depth, f"<- {call.name} {outcome(call)}"
        else:
            yield depth, _record_line(step.record)


def outcome(call: Call, short=render._short) -> str:
    """How a call ended, with its duration: "returned 3  [1.2 ms]"."""
    if not call.finished:
        return "(no return recorded)"
    if call.raised is not None:
        text = f"{call.ending} {call.raised[0]}: {short.repr(call.raised[1])[1:-1]}"
    else:
        text = f"returned {short.repr(call.returned)}"
    return f"{text}  [{format_duration(call.duration)}]"


def _record_line(record: Any) -> str:
    if not isinstance(record, dict):
        return render._short.repr(record)
    kind = record.get("type")
    if kind == "frame":
        name = traceformat.call_name(record)
        return f"{record.get('event')} {name}  {record.get('path', '')}"
    label = str(kind) + (f"/{record['subtype']}" if record.get("subtype") else "")
    extra = " ".join(f"{k}={render._short.repr(v)}" for k, v in record.items()
                     if k not in _PLUGIN_HIDDEN)
    return f"[{label}] {extra}".rstrip()


def render_summary(summary: dict[str, Any], blob: bytes) -> Iterator[str]:
    """The lines of a table of calls, total and own time per function."""
    totals = CallTotals()
    fields: dict[str, Any] = {}
    for fields, section in sections(blob):
        for step in traceformat.pair_calls(section.records):
            totals.add(step)
    yield from header(summary, fields)
    rows = [("FUNCTION", "CALLS", "TOTAL", "OWN", "RAISED")]
    rows += [(t.name, str(t.calls), format_duration(t.total), format_duration(t.own),
              str(t.raised) if t.raised else "") for t in totals.rows()]
    if len(rows) == 1:
        yield "(no calls)"
        return
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        yield "  ".join(cells).rstrip()
