"""The threads of a document as the exporters number and name them."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from tavo import traceformat
from tavo.traceformat import Step


class Thread:
    """One thread's calls, read lazily: ``steps`` pairs its records; ``tid`` and
    ``name`` are known once the first record is read (iterate ``steps`` first)."""

    def __init__(self, section: traceformat.Section, index: int) -> None:
        self.key = section.key
        self.index = index
        self.first = next(section.records, None)
        self.tid = self._tid()
        self.name = traceformat.thread_name(self.first) or (
            "main thread" if self.key is None else f"thread {self.key}")
        self._records = section.records

    def _tid(self) -> int:
        native = self.first.get("thread_native_id") if isinstance(self.first, dict) else None
        if isinstance(native, int) and not isinstance(native, bool):
            return native
        if isinstance(self.key, int) and not isinstance(self.key, bool):
            return self.key
        return self.index  # no native id recorded: a number of its own

    def steps(self) -> Iterator[Step]:
        def records() -> Iterator[Any]:
            if self.first is not None:
                yield self.first
            yield from self._records

        return traceformat.pair_calls(records())


def threads(blob: bytes) -> Iterator[Thread]:
    """Each thread of the document in stored order (the other threads, then the main
    thread); each must be consumed before the next is taken."""
    index = 0
    for kind, item in traceformat.read_document(blob):
        if kind == "section":
            index += 1
            yield Thread(item, index)


def seconds(record: Any) -> float | None:
    value = record.get("timestamp") if isinstance(record, dict) else None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None
