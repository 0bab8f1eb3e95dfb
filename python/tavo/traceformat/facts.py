"""What a store keeps about a document beside it, read in one pass over its bytes: the
source, the label (the test's name, else the command line), how many records, when its
records start and how long they last, and one entry per distinct function called, with
its calls, total and own time and how many of them raised.

The engine's reader (tavo._tavo.describe_document) reads the documents it writes; the
pass here reads what it leaves, and gives the same facts. It reads each record's bytes in
place: a frame record's names, event, frame id
and timestamp are taken from the layout the engine writes, and its values are skipped
undecoded; any other record (plugin and exception records, or a frame record laid out
otherwise) is decoded and read by its keys. Calls are paired as calls.pair_calls pairs
them, and timed as calls.CallTotals times them.
"""

from __future__ import annotations

import dataclasses
import io
import struct
from collections.abc import Callable
from typing import Any, TypeVar

import msgpack

from tavo.traceformat.calls import call_name, is_exception, is_frame
from tavo.traceformat.reading import DECODE_ERRORS, _decode

# How many leading records of each thread are searched for a test name.
LABEL_SCAN_LIMIT = 1000

# A frame record begins with its map header and "path"; its names and event come before
# its frame id. Its last entries: the timestamp (a float 64), the type and the key of
# the call site.
_HEAD = b"\x8c\xa4path"
_ID_KEY = b"\xa8frame_id"
_TAIL_KEY = b"\xa9timestamp\xcb"
_TAIL_REST = b"\xa4type\xa5frame\xb3user_code_call_site"  # 8 bytes of float after the key
_FLOAT_AT = struct.Struct(">d").unpack_from
_ID_STR = 0xbe  # the str header of a 30-character frame id
_NIL = 0xc0
_NOT_A_HEAD = (None, False)

@dataclasses.dataclass
class FunctionFacts:
    """One function's calls in a document."""

    qualname: str  # the qualified name (the code name when there is none)
    name: str  # the code name
    file: str
    calls: int = 0
    total: float = 0.0  # time inside it, counted once through recursion
    own: float = 0.0  # time in its own code, outside recorded calls
    raised: int = 0


@dataclasses.dataclass
class DocumentFacts:
    source: str | None = None
    label: str | None = None
    records: int | None = None  # None when the document cannot be read to its end
    user_code: bool | None = None  # whether any record is a frame record
    started_at: float | None = None  # the earliest record's time
    duration: float | None = None  # from the earliest record to the latest
    functions: list[FunctionFacts] = dataclasses.field(default_factory=list)


def _file(path: str) -> str:
    return path.rpartition(":")[0] or path


# A function's figures while a document is read: calls, total, own, raised, then how
# many of its calls are open (for time through recursion), then the FunctionFacts.
_CALLS, _TOTAL, _OWN, _RAISED, _ACTIVE, _FACTS = range(6)
# A call on a thread's stack: its frame id, its function's figures, its start, the time
# spent in the recorded calls it made, and (once it returned) its duration.
_ID, _FUNCTION, _START, _CHILDREN, _DURATION = range(5)


def _close(call: list[Any], raised: bool) -> None:
    """Count a call whose return (or its absence) and exception are known."""
    figures = call[_FUNCTION]
    figures[_CALLS] += 1
    figures[_RAISED] += raised
    figures[_ACTIVE] -= 1
    duration = call[_DURATION]
    if duration is not None:
        figures[_OWN] += max(duration - call[_CHILDREN], 0.0)
        if figures[_ACTIVE] == 0:  # the outermost of recursive calls holds the others' time
            figures[_TOTAL] += duration


def _returned(stack: list[list[Any]], moment: float | None) -> list[Any]:
    """Take the top call off the stack, timed by its return at ``moment``."""
    call = stack.pop()
    start = call[_START]
    duration = None
    if moment is not None and start is not None:
        duration = max(moment - start, 0.0)
        if stack:
            stack[-1][_CHILDREN] += duration
    call.append(duration)
    return call


def _leave(stack: list[list[Any]], frame_id: Any, moment: float | None) -> list[Any] | None:
    """The call a return record ends, the calls above it ending unreturned; None when no
    open call has its frame id."""
    for index in range(len(stack) - 1, -1, -1):
        if stack[index][_ID] == frame_id:
            break
    else:
        return None
    while len(stack) > index + 1:
        _close(_returned(stack, None), False)
    return _returned(stack, moment)


class _Pass:
    def __init__(self) -> None:
        self.facts = DocumentFacts()
        self.functions: dict[tuple[str, str], list[Any]] = {}
        # The first entries of frame records as written (up to the frame id) -> what they say.
        self.heads: dict[bytes, tuple[list[Any] | None, bool]] = {}
        self.first: float | None = None
        self.last: float | None = None

    def function(self, qualname: str, name: str, path: str) -> list[Any]:
        key = (qualname, _file(path))
        found = self.functions.get(key)
        if found is None:
            found = self.functions[key] = [0, 0.0, 0.0, 0, 0,
                                           FunctionFacts(qualname, name, key[1])]
        return found

    def head(self, raw: bytes) -> tuple[list[Any] | None, bool]:
        """The figures of the function a frame record's first entries (up to its frame id)
        name, and whether it is a call; (None, False) when they are not laid out as the
        engine writes them."""
        found = self.heads.get(raw)
        if found is None:
            found = _NOT_A_HEAD
            unpacker = msgpack.Unpacker(raw=False, unicode_errors="replace")
            unpacker.feed(raw)
            try:
                size = unpacker.read_map_header()
                entries = [unpacker.unpack() for _ in range(8)]
                keys, values = entries[0::2], entries[1::2]
                if (size == 12 and unpacker.tell() == len(raw)
                        and keys == ["path", "co_name", "qualname", "event"]
                        and all(isinstance(value, str) for value in values)
                        and values[3] in ("call", "return")):
                    path, name, qualified, event = values
                    found = (self.function(qualified or name or "?", name, path),
                             event == "call")
            except DECODE_ERRORS:
                pass
            self.heads[raw] = found
        return found

    def section(self, unpacker: msgpack.Unpacker, blob: bytes) -> int:
        """Read one thread's array of records; returns how many there are."""
        count = unpacker.read_array_header()
        tell, skip = unpacker.tell, unpacker.skip
        find, find_last, at, heads = blob.find, blob.rfind, blob.startswith, self.heads
        stack: list[list[Any]] = []
        pending: list[Any] | None = None  # a call that returned: it may have raised
        first = last = None
        read_in_place = False  # a frame record was
        end = tell()
        for index in range(count):
            start = end
            skip()
            end = tell()
            if at(_HEAD, start):
                # The layout the engine writes: read in place, its values left undecoded.
                id_key = find(_ID_KEY, start, end)
                raw = blob[start:id_key] if id_key > 0 else b""
                figures, is_call = heads.get(raw) or self.head(raw)
                header = blob[id_key + 9] if figures is not None else None
                if header == _ID_STR:
                    frame_id: bytes | None = blob[id_key + 10:id_key + 40]
                    tail = find_last(_TAIL_KEY, id_key + 40, end)
                elif header == _NIL:
                    frame_id = None
                    tail = find_last(_TAIL_KEY, id_key + 10, end)
                else:
                    tail = -1
                if tail > 0 and at(_TAIL_REST, tail + 19):
                    read_in_place = True
                    if pending is not None:
                        _close(pending, False)
                        pending = None
                    moment = _FLOAT_AT(blob, tail + 11)[0]
                    if first is None:
                        first = moment
                    last = moment
                    if is_call:
                        stack.append([frame_id, figures, moment, 0.0])
                        figures[_ACTIVE] += 1
                    elif stack and stack[-1][_ID] == frame_id and stack[-1][_START] is not None:
                        # The common case, as _returned does it.
                        pending = stack.pop()
                        duration = moment - pending[_START]
                        if duration < 0.0:
                            duration = 0.0
                        if stack:
                            stack[-1][_CHILDREN] += duration
                        pending.append(duration)
                    else:
                        pending = _leave(stack, frame_id, moment)
                    continue
            record = _decode(memoryview(blob)[start:end])
            moment = None
            if isinstance(record, dict):
                if next(iter(record), None) == "path":
                    self.facts.user_code = True
                moment = _number(record.get("timestamp"))
                if moment is not None:
                    if first is None:
                        first = moment
                    last = moment
                if index < LABEL_SCAN_LIMIT and self.facts.label is None:
                    name = record.get("test_name")
                    if isinstance(name, str):
                        self.facts.label = name
            if pending is not None:
                raised = is_exception(record) and pending[_ID] == _id(record.get("frame_id"))
                _close(pending, raised)
                pending = None
                if raised:
                    continue
            if is_frame(record, "call"):
                figures = self.function(call_name(record), str(record.get("co_name") or ""),
                                        str(record.get("path") or ""))
                stack.append([_id(record.get("frame_id")), figures, moment, 0.0])
                figures[_ACTIVE] += 1
            elif is_frame(record, "return"):
                pending = _leave(stack, _id(record.get("frame_id")), moment)
        if pending is not None:
            _close(pending, False)
        while stack:  # calls whose return was never recorded
            _close(_returned(stack, None), False)
        if read_in_place:
            self.facts.user_code = True
        if first is not None:
            self.first = first if self.first is None else min(self.first, first)
            self.last = last if self.last is None else max(self.last, last)
        return count


def _number(value: Any) -> float | None:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _id(frame_id: Any) -> Any:
    """A frame id as the records read in place give it: the bytes of its text."""
    return frame_id.encode("utf-8", "surrogateescape") if isinstance(frame_id, str) else frame_id


def describe_document(blob: bytes) -> DocumentFacts:
    """The facts of a stored document; fields that cannot be read are None, and a
    document that cannot be read to its end has ``records`` None."""
    # Imported here: the package is also imported where the native module refuses
    # to load (a subinterpreter of a profiled program), and must not fail there.
    from tavo import _tavo

    return facts_of_reading(_tavo.describe_document(blob), blob)


_T = TypeVar("_T")


def describe_document_during(blob: bytes, work: Callable[[], _T]) -> tuple[DocumentFacts, _T]:
    """describe_document(blob) and work(): a large document's facts are read on a
    thread of the engine's own while work() runs (a store compressing the document)."""
    from tavo import _tavo  # here: see describe_document

    read, result = _tavo.describe_document_during(blob, work)
    return facts_of_reading(read, blob), result


def facts_of_reading(read: tuple[Any, ...] | None, blob: bytes) -> DocumentFacts:
    """The facts the engine read from ``blob`` (None: the document needs the reading
    here)."""
    if read is None:
        return read_facts(blob)
    records, user_code, test_name, command, source, first, last, functions = read
    facts = DocumentFacts(source=source, label=command if test_name is None else test_name,
                          records=records, user_code=user_code,
                          functions=[FunctionFacts(*function) for function in functions])
    if first is not None:
        facts.started_at = first
        facts.duration = max(last - first, 0.0)
    return facts


def read_facts(blob: bytes) -> DocumentFacts:
    """describe_document, read here whatever the document holds."""
    state = _Pass()
    facts = state.facts
    unpacker = msgpack.Unpacker(io.BytesIO(blob), raw=False, strict_map_key=False,
                                unicode_errors="replace", max_buffer_size=max(len(blob), 1))
    command = None
    records = 0
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                records += state.section(unpacker, blob)
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()
                    records += state.section(unpacker, blob)
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    facts.source = meta["source"]
            elif key == "command_line_args":
                args = unpacker.unpack()
                if isinstance(args, list):
                    command = " ".join(str(arg) for arg in args)
            else:
                unpacker.skip()
        facts.records = records
        facts.user_code = bool(facts.user_code)
        if facts.label is None:
            facts.label = command
    except Exception:
        facts.user_code = None
        return facts
    if state.first is not None:
        facts.started_at = state.first
        facts.duration = max(state.last - state.first, 0.0)
    for calls, total, own, raised, _, function in state.functions.values():
        function.calls, function.total, function.own, function.raised = calls, total, own, raised
        facts.functions.append(function)
    return facts
