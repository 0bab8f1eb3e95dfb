"""Reading a trace document: whole, or as a stream of its entries and of each thread's
records, decoded one at a time so that a large document is never held decoded.

A document is one MessagePack map: "command_line_args", "current_commit_sha", "frames"
(native thread id -> that thread's records), "frames_of_interest" (the main thread's
records), "main_thread_id", "meta" ({"version", "source", "use_frame_boundaries"}),
"timestamp" and "trace_id". A record is a map: a frame record (its first key "path",
then "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
"thread_native_id", "timestamp", "type" ("frame"), "user_code_call_site"), an
exception record ("type" "exception") or a plugin record (start_test, end_test, ...).
"""

from __future__ import annotations

import dataclasses
import io
from collections.abc import Iterator
from typing import Any

import msgpack

# The (possibly large) values of a frame record, which the engine writes after the
# names ("path", "co_name", "qualname", "event", "frame_id"), so a reader can skip them.
VALUE_KEYS = frozenset({"arg", "locals"})

_OPTIONS = {"raw": False, "strict_map_key": False, "unicode_errors": "replace"}
# What reading a damaged or truncated document raises.
DECODE_ERRORS = (ValueError, TypeError, IndexError, msgpack.UnpackException)


def _decode(data: memoryview) -> Any:
    """One MessagePack value, decoded as decode_document decodes one. Map keys that
    cannot be dict keys are rare, so the slower hook that turns them into text is used
    only when decoding without it fails."""
    try:
        return msgpack.unpackb(data, **_OPTIONS)
    except TypeError:
        return msgpack.unpackb(data, object_pairs_hook=_pairs_to_dict, **_OPTIONS)


class _Reader:
    """A walk through one document: headers are read in place, each value is skipped
    over and then decoded from its own bytes."""

    def __init__(self, blob: bytes) -> None:
        self.view = memoryview(blob)
        # Read through a file over the same bytes: fed directly, the unpacker would keep
        # a copy of the whole document.
        self.unpacker = msgpack.Unpacker(io.BytesIO(blob), max_buffer_size=max(len(blob), 1),
                                         **_OPTIONS)

    def value(self) -> Any:
        start = self.unpacker.tell()
        self.unpacker.skip()
        return _decode(self.view[start:self.unpacker.tell()])


@dataclasses.dataclass
class Section:
    """One thread's records: the main thread's ("frames_of_interest") or another's."""

    key: Any  # None for frames_of_interest, else the thread's native id
    records: Iterator[Any]


def read_document(blob: bytes, keep_record=None) -> Iterator[tuple[str, Any]]:
    """The top-level entries of a stored document in their order, without decoding it
    whole: ("field", (key, value)) for plain entries, ("threads", count) where the map
    of the other threads' records begins, and ("section", Section) for each thread's
    records, which are decoded one at a time as the Section is iterated (what the
    caller leaves unread is skipped). ``keep_record(partial)`` may be given to skip
    the values of large records: it sees such a frame record's entries up to its first
    value entry ("arg") and returns False to have the values skipped (the record then
    reaches the caller without them, with "skipped": True)."""
    reader = _Reader(blob)
    for _ in range(reader.unpacker.read_map_header()):
        key = reader.value()
        if key == "frames_of_interest":
            yield from _section(reader, None, keep_record)
        elif key == "frames":
            count = reader.unpacker.read_map_header()
            yield "threads", count
            for _ in range(count):
                thread = reader.value()
                yield from _section(reader, thread, keep_record)
        else:
            yield "field", (key, reader.value())


def _section(reader: _Reader, key: Any, keep_record) -> Iterator[tuple[str, Any]]:
    count = reader.unpacker.read_array_header()
    state = {"read": 0}

    def records() -> Iterator[Any]:
        while state["read"] < count:
            state["read"] += 1
            yield _read_record(reader, keep_record) if keep_record else reader.value()

    yield "section", Section(key, records())
    while state["read"] < count:
        state["read"] += 1
        reader.unpacker.skip()


# Records up to this size are decoded whole (one call into the decoder is cheaper
# than walking their entries); larger ones are walked so their values can be skipped.
_SMALL_RECORD = 4096


def _read_record(reader: _Reader, keep_record) -> Any:
    start = reader.unpacker.tell()
    reader.unpacker.skip()
    data = reader.view[start:reader.unpacker.tell()]
    if len(data) <= _SMALL_RECORD:
        return _decode(data)
    entries = _Reader(bytes(data))
    try:
        size = entries.unpacker.read_map_header()
    except ValueError:  # not a map
        return _decode(data)
    record: dict[Any, Any] = {}
    keep = True
    for _ in range(size):
        key = entries.value()
        if keep and key in VALUE_KEYS and "path" in record:
            keep = bool(keep_record(record))
            if not keep:
                record["skipped"] = True
        if keep or key not in VALUE_KEYS:
            value = entries.value()
            try:
                record[key] = value
            except TypeError:
                record[repr(key)] = value
        else:
            entries.unpacker.skip()
    return record


def _pairs_to_dict(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    result = {}
    for key, value in pairs:
        try:
            hash(key)
        except TypeError:
            key = repr(key)
        result[key] = value
    return result


def decode_document(blob: bytes) -> Any:
    """Decode a stored trace document whole (any map key, even an unhashable one, is
    accepted; strings that are not valid UTF-8 are decoded with replacements)."""
    return msgpack.unpackb(blob, object_pairs_hook=_pairs_to_dict, **_OPTIONS)
