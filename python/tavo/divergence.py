"""Where two recorded runs part: both documents' calls are walked per thread, in order,
side by side, and every call that differs is a divergence: another function called,
other arguments, another return value, an exception in one run only (or another one).

Calls that differ only in what changes from run to run anyway are the same call: frame
and trace ids, times and durations, the lines they were made from, and addresses
("0x7f..." in the text of a value) are left out of the comparison.

After a divergence the walk goes on: two different calls are each skipped with all the
calls they made, a call made in one run only likewise, so that what follows is compared
with what follows.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Iterator
from typing import Any

from tavo.traceformat import Call, Section, Step, pair_calls, read_document, thread_name

_ADDRESS = re.compile(r"0x[0-9a-fA-F]{4,}")
_ID = re.compile(r"\b(trc|frm)_[0-9A-Z]{26}\b")


def comparable(value: Any) -> Any:
    """``value`` with the ids and addresses in its text left out."""
    if isinstance(value, str):
        return _ID.sub(r"\1_…", _ADDRESS.sub("0x…", value))
    if isinstance(value, dict):
        return {comparable(k): comparable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [comparable(v) for v in value]
    return value


@dataclasses.dataclass
class Side:
    """One run's part in a divergence: its call (None when it has none there) and how the
    call ended."""

    call: Call | None
    what: str  # "called", "returned", "raised", "no call", "no return"

    @property
    def value(self) -> Any:
        call = self.call
        if call is None:
            return None
        if self.what == "called":
            return call.arguments
        if self.what == "raised":
            return {"type": call.raised[0], "message": call.raised[1]} if call.raised else None
        return call.returned


@dataclasses.dataclass
class Divergence:
    thread: str
    number: int  # the call's number on its thread (1 for the first), in the run that has it
    kind: str  # "function", "arguments", "returned", "raised", "only in A", "only in B"
    path: list[Call]  # the calls that lead to it, outermost first (of run A where both have one)
    a: Side
    b: Side

    @property
    def function(self) -> str:
        call = self.a.call or self.b.call
        return call.name if call is not None else "?"


def _threads(blob: bytes) -> list[tuple[int, Any, str | None]]:
    """The document's threads in stored order: (position, key, name)."""
    found = []
    for kind, item in read_document(blob):
        if kind == "section":
            first = next(item.records, None)
            found.append((len(found), item.key, thread_name(first)))
    return found


def _section(blob: bytes, position: int) -> Section:
    index = 0
    for kind, item in read_document(blob):
        if kind == "section":
            if index == position:
                return item
            index += 1
    raise ValueError(f"no thread {position}")


def _pairs(a: bytes, b: bytes) -> Iterator[tuple[str, int | None, int | None]]:
    """The threads of both runs, paired: the main threads, then the others by name in
    their order. (title, position in A, position in B)."""
    threads_a, threads_b = _threads(a), _threads(b)
    main_a = next((p for p, key, _ in threads_a if key is None), None)
    main_b = next((p for p, key, _ in threads_b if key is None), None)
    if main_a is not None or main_b is not None:
        yield "main thread", main_a, main_b
    left = [(p, name) for p, key, name in threads_b if key is not None]
    for position, key, name in threads_a:
        if key is None:
            continue
        match = next((entry for entry in left if entry[1] == name), None)
        if match is not None:
            left.remove(match)
        yield f"thread {name or key}", position, match[0] if match else None
    for position, name in left:
        yield f"thread {name or '?'}", None, position


class _Walk:
    """One run's calls on one thread, a step at a time."""

    def __init__(self, blob: bytes | None, position: int | None) -> None:
        steps: Iterator[Step] = iter(())
        if blob is not None and position is not None:
            steps = pair_calls(_section(blob, position).records)
        self.steps = (step for step in steps if step.call is not None)
        self.numbers: dict[int, int] = {}  # id of an open call -> its number on the thread

    def next(self) -> Step | None:
        step = next(self.steps, None)
        if step is not None and step.kind == "call":
            self.numbers[id(step.call)] = len(self.numbers) + 1
        return step

    def number(self, call: Call | None) -> int:
        return self.numbers.get(id(call), 0)

    def skip(self, call: Call) -> None:
        """Go past the calls ``call`` made, and its return."""
        for step in self.steps:
            if step.kind == "call":
                self.numbers[id(step.call)] = len(self.numbers) + 1
            elif step.call is call:
                return


def _path(call: Call | None) -> list[Call]:
    path = []
    while call is not None:
        path.append(call)
        call = call.caller
    return path[::-1]


def _ending(call: Call) -> tuple[str, Any]:
    if not call.finished:
        return "no return", None
    if call.raised is not None:
        return "raised", comparable(list(call.raised))
    return "returned", comparable(call.returned)


def divergences(a: bytes, b: bytes) -> Iterator[Divergence]:
    """Every divergence of run ``b`` from run ``a``, in the order of their calls."""
    for title, position_a, position_b in _pairs(a, b):
        walk_a = _Walk(a, position_a)
        walk_b = _Walk(b, position_b)
        step_a, step_b = walk_a.next(), walk_b.next()
        while step_a is not None or step_b is not None:
            if step_a is None or step_b is None or step_a.kind != step_b.kind:
                # One run made a call where the other did not: it is skipped whole.
                if step_a is not None and step_a.kind == "call":
                    yield Divergence(title, walk_a.number(step_a.call), "only in A",
                                     _path(step_a.call.caller), Side(step_a.call, "called"),
                                     Side(None, "no call"))
                    walk_a.skip(step_a.call)
                    step_a = walk_a.next()
                elif step_b is not None and step_b.kind == "call":
                    yield Divergence(title, walk_b.number(step_b.call), "only in B",
                                     _path(step_b.call.caller), Side(None, "no call"),
                                     Side(step_b.call, "called"))
                    walk_b.skip(step_b.call)
                    step_b = walk_b.next()
                else:  # returns left on one side only: nothing more to pair
                    step_a = walk_a.next() if step_a is not None else None
                    step_b = walk_b.next() if step_b is not None else None
                continue
            call_a, call_b = step_a.call, step_b.call
            number = walk_a.number(call_a)
            if step_a.kind == "call":
                if call_a.name != call_b.name:
                    yield Divergence(title, number, "function", _path(call_a.caller),
                                     Side(call_a, "called"), Side(call_b, "called"))
                    walk_a.skip(call_a)
                    walk_b.skip(call_b)
                elif comparable(call_a.arguments) != comparable(call_b.arguments):
                    yield Divergence(title, number, "arguments", _path(call_a.caller),
                                     Side(call_a, "called"), Side(call_b, "called"))
            else:
                ending_a, ending_b = _ending(call_a), _ending(call_b)
                if ending_a != ending_b:
                    kind = "raised" if "raised" in (ending_a[0], ending_b[0]) else "returned"
                    yield Divergence(title, number, kind, _path(call_a.caller),
                                     Side(call_a, ending_a[0]), Side(call_b, ending_b[0]))
            step_a, step_b = walk_a.next(), walk_b.next()
