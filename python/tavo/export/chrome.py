"""The trace as Chrome Trace Event Format JSON (the JSON object form), which trace
viewers open: a begin and an end event per call with its arguments and its return
value or exception in their args, an instant event per plugin record, and metadata
events naming the process and each thread. Times are microseconds since the epoch."""

from __future__ import annotations

from typing import Any, TextIO

from tavo.export.document import dumps
from tavo.export.threads import seconds, threads
from tavo.traceformat import Call

PID = 1
HIDDEN_KEYS = {"frame_id", "thread", "thread_native_id", "timestamp", "type", "subtype"}


def _micros(value: float) -> float:
    return round(value * 1e6, 3)


def write(blob: bytes, out: TextIO) -> None:
    out.write('{"traceEvents": [\n')
    first = True

    def emit(event: dict[str, Any]) -> None:
        nonlocal first
        out.write(("" if first else ",\n") + dumps(event))
        first = False

    emit({"name": "process_name", "ph": "M", "pid": PID, "tid": 0,
          "args": {"name": "tavo trace"}})
    for thread in threads(blob):
        emit({"name": "thread_name", "ph": "M", "pid": PID, "tid": thread.tid,
              "args": {"name": thread.name}})
        emit({"name": "thread_sort_index", "ph": "M", "pid": PID, "tid": thread.tid,
              "args": {"sort_index": 0 if thread.key is None else thread.index}})
        last = None  # the latest time seen, for calls whose return was never recorded
        for step in thread.steps():
            at = seconds(step.record)
            # The wall clock can go back; events of a thread must not.
            if at is not None and last is not None and at < last:
                at = last
            last = at if at is not None else last
            call = step.call
            base = {"pid": PID, "tid": thread.tid}
            if step.kind == "call" and call is not None and at is not None:
                emit({"name": call.name, "cat": "call", "ph": "B", "ts": _micros(at),
                      **base, "args": _call_args(call)})
            elif step.kind == "return" and call is not None and call.start is not None:
                emit({"name": call.name, "cat": "call", "ph": "E", "ts": _micros(last or 0.0),
                      **base, "args": _return_args(call)})
            elif step.kind == "record" and at is not None and isinstance(step.record, dict):
                emit({"name": _record_name(step.record), "cat": "record", "ph": "i", "s": "t",
                      "ts": _micros(at), **base, "args": _record_args(step.record)})
    out.write('\n], "displayTimeUnit": "ms"}\n')


def _call_args(call: Call) -> dict[str, Any]:
    return {"arguments": call.arguments, "path": call.path, "frame_id": call.frame_id,
            "call_site": call.call_site}


def _return_args(call: Call) -> dict[str, Any]:
    if not call.finished:
        return {"returned": "(no return recorded)"}
    if call.raised is not None:
        return {"raised": {"type": call.raised[0], "message": call.raised[1]}}
    return {"returned": call.returned, "return_path": call.return_path}


def _record_name(record: dict[str, Any]) -> str:
    kind = record.get("type")
    if kind == "frame":  # a frame record that could not be paired
        return f"{record.get('event')} {record.get('qualname') or record.get('co_name')}"
    subtype = record.get("subtype")
    return str(kind) + (f"/{subtype}" if subtype else "")


def _record_args(record: dict[str, Any]) -> dict[str, Any]:
    return {str(k): v for k, v in record.items() if k not in HIDDEN_KEYS}
