"""Calls in a trace document: call and return records paired, durations, exceptions,
threads by name, and a per-function summary.

Everything here works on records one at a time, so a caller can stream the records of
a large document through it and keep only the calls that are still open.

    for step in pair_calls(records):
        step.kind       # "call", "return", or "record" (a plugin record, or an
                        # unpaired frame record)
        step.call       # the Call, for "call" and "return"
        step.record     # the record itself
"""

from __future__ import annotations

import dataclasses
import fnmatch
import re
from collections.abc import Iterable, Iterator
from typing import Any


# The exceptions by which a test ends as skipped.
SKIP_TYPES = ("Skipped", "builtins.Skipped", "_pytest.outcomes.Skipped", "unittest.case.SkipTest")


@dataclasses.dataclass
class Call:
    """One recorded call, completed by its return."""

    name: str  # qualified name (the code name when there is none)
    path: str  # file:line of the call
    frame_id: Any
    thread: str
    depth: int
    start: float | None
    arguments: Any  # the frame's locals at the call
    call_site: Any  # {"call_frame_id", "line_number"} or None
    caller: Call | None = None
    end: float | None = None
    returned: Any = None
    raised: tuple[str, str] | None = None  # (exception type, message)
    children: float = 0.0  # time spent in recorded calls made from this one
    return_path: str = ""

    @property
    def ending(self) -> str:
        """How the call ended: "returned"; "exited", by a clean ``sys.exit()`` (status
        0 or None); "skipped", by a test's skip; or "raised"."""
        if self.raised is None:
            return "returned"
        kind, message = self.raised
        if kind in ("SystemExit", "builtins.SystemExit") and message in ("", "0", "None"):
            return "exited"
        return "skipped" if kind in SKIP_TYPES else "raised"

    @property
    def duration(self) -> float | None:
        if isinstance(self.start, (int, float)) and isinstance(self.end, (int, float)):
            return max(self.end - self.start, 0.0)
        return None

    @property
    def own(self) -> float | None:
        duration = self.duration
        return None if duration is None else max(duration - self.children, 0.0)

    @property
    def finished(self) -> bool:
        return self.end is not None or self.return_path != ""


@dataclasses.dataclass
class Step:
    kind: str
    record: Any
    call: Call | None = None


def call_name(record: dict[str, Any]) -> str:
    return str(record.get("qualname") or record.get("co_name") or "?")


def is_frame(record: Any, event: str | None = None) -> bool:
    return (isinstance(record, dict) and record.get("type") == "frame"
            and (event is None or record.get("event") == event))


def is_exception(record: Any) -> bool:
    return isinstance(record, dict) and record.get("type") == "exception"


def thread_name(record: Any) -> str | None:
    if isinstance(record, dict) and isinstance(record.get("thread"), str):
        return record["thread"]
    return None


def _exception_of(record: Any, frame_id: Any) -> tuple[str, str] | None:
    """(exception type, message) when ``record`` is the exception record of the call
    ``frame_id`` that has just returned: it raised."""
    if is_exception(record) and record.get("frame_id") == frame_id:
        return str(record.get("exception_type") or "?"), str(record.get("message") or "")
    return None


def _number(value: Any) -> float | None:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def pair_calls(records: Iterable[Any]) -> Iterator[Step]:
    """The records of one thread as steps. A return is handed out after the record
    that follows it, so that the exception record of a call that raised is already
    attached (``call.raised``); the exception record itself is not a step. A call
    still open when the records end gets a "return" step with ``end`` None."""
    stack: list[Call] = []
    pending: Step | None = None
    for record in records:
        if pending is not None:
            assert pending.call is not None
            raised = _exception_of(record, pending.call.frame_id)
            if raised is not None:
                pending.call.raised = raised
            yield pending
            pending = None
            if raised is not None:
                continue
        if is_frame(record, "call"):
            call = Call(name=call_name(record), path=str(record.get("path") or ""),
                        frame_id=record.get("frame_id"), thread=thread_name(record) or "?",
                        depth=len(stack), start=_number(record.get("timestamp")),
                        arguments=record.get("locals"),
                        call_site=record.get("user_code_call_site"),
                        caller=stack[-1] if stack else None)
            stack.append(call)
            yield Step("call", record, call)
        elif is_frame(record, "return"):
            index = _open_index(stack, record.get("frame_id"))
            if index is None:
                yield Step("record", record)
                continue
            # Calls above the returning one never saw their return: close them first.
            while len(stack) > index + 1:
                yield Step("return", None, _close(stack, None))
            call = _close(stack, record)
            pending = Step("return", record, call)
        else:
            yield Step("record", record)
    if pending is not None:
        yield pending
    while stack:
        yield Step("return", None, _close(stack, None))


def _open_index(stack: list[Call], frame_id: Any) -> int | None:
    for index in range(len(stack) - 1, -1, -1):
        if stack[index].frame_id == frame_id:
            return index
    return None


def _close(stack: list[Call], record: dict[str, Any] | None) -> Call:
    call = stack.pop()
    if record is not None:
        call.end = _number(record.get("timestamp"))
        call.returned = record.get("arg")
        call.return_path = str(record.get("path") or "")
    duration = call.duration
    if stack and duration is not None:
        stack[-1].children += duration
    return call


def calls_named(records: Iterable[Any], matches: Any) -> Iterator[Call]:
    """The finished calls of one thread whose name ``matches(qualname, co_name)``
    accepts, paired as pair_calls pairs them (with ``raised`` and ``caller``); the other
    calls are followed only as far as naming callers needs, which makes this the cheap
    way through a long thread when few calls are wanted."""
    stack: list[tuple[Any, str, str, Call | None]] = []  # frame id, name, path, Call
    pending: Call | None = None
    for record in records:
        if pending is not None:
            raised = _exception_of(record, pending.frame_id)
            if raised is not None:
                pending.raised = raised
            yield pending
            pending = None
            if raised is not None:
                continue
        if not is_frame(record):
            continue
        frame_id, event = record.get("frame_id"), record.get("event")
        if event == "call":
            name = call_name(record)
            call = None
            if matches(name, str(record.get("co_name") or "")):
                caller = None
                if stack:
                    caller_id, caller_name, caller_path, _ = stack[-1]
                    caller = Call(caller_name, caller_path, caller_id, "?", len(stack) - 1, None,
                                  None, None)
                call = Call(name, str(record.get("path") or ""), frame_id,
                            thread_name(record) or "?", len(stack),
                            _number(record.get("timestamp")), record.get("locals"),
                            record.get("user_code_call_site"), caller)
            stack.append((frame_id, name, str(record.get("path") or ""), call))
        elif event == "return":
            for index in range(len(stack) - 1, -1, -1):
                if stack[index][0] == frame_id:
                    break
            else:
                continue
            for _, _, _, unfinished in stack[index + 1:]:
                if unfinished is not None:
                    yield unfinished
            call = stack[index][3]
            del stack[index:]
            if call is not None:
                call.end = _number(record.get("timestamp"))
                call.returned = record.get("arg")
                call.return_path = str(record.get("path") or "")
                pending = call
    if pending is not None:
        yield pending


@dataclasses.dataclass
class FunctionTotals:
    name: str
    calls: int = 0
    total: float = 0.0  # time inside the function, counted once through recursion
    own: float = 0.0  # time in the function's own code, outside recorded calls
    raised: int = 0


class CallTotals:
    """Per-function totals, fed the steps of each thread."""

    def __init__(self) -> None:
        self.functions: dict[str, FunctionTotals] = {}
        self._active: dict[str, int] = {}

    def add(self, step: Step) -> None:
        call = step.call
        if call is None:
            return
        if step.kind == "call":
            self._active[call.name] = self._active.get(call.name, 0) + 1
            return
        totals = self.functions.setdefault(call.name, FunctionTotals(call.name))
        totals.calls += 1
        totals.raised += call.raised is not None
        active = self._active.get(call.name, 1) - 1
        self._active[call.name] = active
        if call.duration is not None:
            totals.own += call.own or 0.0
            if active == 0:  # the outermost of recursive calls holds the others' time
                totals.total += call.duration

    def rows(self) -> list[FunctionTotals]:
        return sorted(self.functions.values(), key=lambda t: (-t.total, -t.calls, t.name))


def glob_matcher(pattern: str):
    """A test of a call's name against a glob: the qualified name, or its last part
    (so "add" finds "app.add" and "Class.add")."""
    regex = re.compile(fnmatch.translate(pattern))

    def matches(qualname: str, co_name: str) -> bool:
        return bool(regex.match(qualname) or regex.match(co_name)
                    or regex.match(qualname.rsplit(".", 1)[-1]))

    return matches


def literal_hint(pattern: str) -> bytes:
    """The longest wildcard-free part of a glob, to rule documents out by a byte search."""
    literal = re.sub(r"\[[^\]]*\]?", "*", pattern)  # a [set] is no literal text
    return max(re.split(r"[*?]", literal), key=len).encode("utf-8")
