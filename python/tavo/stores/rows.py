"""What every store writes for a trace, worked out once for all of them: the row's facts
(from the document, the process that saved it and the recording's losses), the document
as stored, and the call index beside it. Also the reading of rows written before these
facts had columns of their own."""

from __future__ import annotations

import dataclasses
import json
import os
import re
import time
from typing import Any

from tavo.stores import codec
from tavo.traceformat import DocumentFacts, describe_document_during, facts_of_reading
from tavo.traceformat.facts import FunctionFacts

# The roles of the process that saved a trace.
MAIN = "main"
CHILD = "child"
WORKER_PREFIX = "xdist worker "


def losses_of(dropped_records: int | None = None, budget_dropped_records: int | None = None,
              shortened_values: int | None = None,
              shortened_from_record: int | None = None,
              uncounted_after_budget: int | None = None) -> dict[str, int] | None:
    """What a recording lost, from the counts the engine gives a save (each only when
    not zero), as a summary's "losses" keeps it: None when nothing was lost, else a
    dict of "dropped_records" (all dropped), "budget_dropped_records" (of those,
    dropped because the trace reached its buffer budget; the others met errors),
    "shortened_values" (values written shorter than their value budget allowed, as
    the buffered records neared the buffer budget) and "shortened_from_record" (the
    number of the first record holding one), and "uncounted_after_budget" (traces, 1 for
    one, whose engine stopped reporting the calls of recorded code once the budget was
    reached: their "budget_dropped_records" is a floor)."""
    counts = {"dropped_records": dropped_records, "budget_dropped_records": budget_dropped_records,
              "shortened_values": shortened_values, "shortened_from_record": shortened_from_record,
              "uncounted_after_budget": uncounted_after_budget}
    counts = {key: int(value) for key, value in counts.items() if value}
    return counts or None


def losses_text(losses: dict[str, int] | None) -> str | None:
    """A summary's "losses" as its column holds it."""
    return None if not losses else json.dumps(losses, sort_keys=True)


def losses_from_text(text: Any) -> dict[str, int] | None:
    if not isinstance(text, str):
        return None
    try:
        losses = json.loads(text)
    except ValueError:
        return None
    return losses if isinstance(losses, dict) else None


@dataclasses.dataclass
class NewTrace:
    """One trace ready to be written: its row, its stored document and its call index."""

    row: dict[str, Any]  # the summary columns (no "id")
    stored: bytes  # the document as stored
    encoding: str | None
    functions: list[FunctionFacts]
    indexed: bool  # whether ``functions`` is the whole index (the document was read through)
    user_code: bool | None  # whether any record is of user code (for the save's report)


def new_trace(trace_id: str, document: bytes, *, saved_at: float | None = None,
              outcome: str | None = None, role: str | None = MAIN, pid: int | None = None,
              parent_trace_id: str | None = None, dropped_records: int | None = None,
              losses: dict[str, int] | None = None, label: str | None = None) -> NewTrace:
    """The row, stored document and index of ``document``. ``label`` stands in for the
    one the document gives, when given (a copied row keeps its own)."""
    facts, (stored, encoding) = describe_document_during(document, lambda: codec.encode(document))
    return _made(trace_id, document, facts, stored, encoding, saved_at=saved_at, outcome=outcome,
                 role=role, pid=pid, parent_trace_id=parent_trace_id,
                 dropped_records=dropped_records, losses=losses, label=label)


def _made(trace_id: str, document: bytes, facts: DocumentFacts, stored: bytes,
          encoding: str | None, *, saved_at: float | None, outcome: str | None,
          role: str | None, pid: int | None, parent_trace_id: str | None,
          dropped_records: int | None, losses: dict[str, int] | None,
          label: str | None) -> NewTrace:
    row = {"trace_id": str(trace_id), "saved_at": time.time() if saved_at is None else saved_at,
           "label": facts.label if label is None else label, "outcome": outcome,
           "source": facts.source, "role": role,
           "pid": os.getpid() if pid is None and role is not None else pid,
           "parent_trace_id": parent_trace_id, "records": facts.records,
           "dropped_records": None if dropped_records is None else int(dropped_records),
           "losses": losses, "started_at": facts.started_at, "duration": facts.duration,
           "size": len(document)}
    return NewTrace(row, stored, encoding, facts.functions, facts.records is not None,
                    facts.user_code)


class PendingTrace:
    """A trace whose facts and stored document are worked out on a thread of the
    engine's own while the program goes on (codec.encode_beside): finish() makes it a
    NewTrace as new_trace() would have, once the work has ended."""

    def __init__(self, trace_id: str, document: bytes, encoding: Any,
                 details: dict[str, Any]) -> None:
        self.trace_id = str(trace_id)
        self._document = document
        self._encoding = encoding
        self._result: tuple[Any, bytes] | None = None
        self._details = details

    def settle(self) -> None:
        """Wait for the work to end (its thread is gone), keeping its result. Raises
        nothing (it runs before a fork): work that failed is done again by finish()."""
        encoding, self._encoding = self._encoding, None
        if encoding is not None:
            try:
                self._result = encoding.result()
            except Exception:
                self._result = None

    def finish(self) -> NewTrace:
        self.settle()
        if self._result is None:  # on this thread, as a trace not begun beside is
            return new_trace(self.trace_id, self._document, **self._details)
        read, stored = self._result
        facts = facts_of_reading(read, self._document)
        return _made(self.trace_id, self._document, facts, stored, codec.PACKED,
                     **self._details)


def pending_trace(trace_id: str, document: bytes, *, role: str | None = MAIN,
                  parent_trace_id: str | None = None, dropped_records: int | None = None,
                  losses: dict[str, int] | None = None) -> PendingTrace | None:
    """new_trace() of ``document`` begun beside the program (its row saved now); None
    where the engine cannot (built without zstd): new_trace() then."""
    encoding = codec.encode_beside(document)
    if encoding is None:
        return None
    return PendingTrace(trace_id, document, encoding, {
        "saved_at": time.time(), "outcome": None, "role": role, "pid": None,
        "parent_trace_id": parent_trace_id, "dropped_records": dropped_records,
        "losses": losses, "label": None})


def copied_trace(summary: dict[str, Any], document: bytes) -> NewTrace:
    """A trace read from another store, to be written with its row's facts as they are;
    what the source does not know (the start and duration of a row it kept from before
    they were kept) is read from the document, and the index is made anew."""
    trace = new_trace(summary["trace_id"], document, role=None)
    for key in trace.row:
        if summary.get(key) is not None or key in ("label", "outcome", "pid", "role"):
            trace.row[key] = summary.get(key)
    return trace


# Rows written before these facts had columns: the label carried them at its end.
_OLD_CHILD = re.compile(r"\s*\[child of (trc_[0-9A-Z]{26}) pid (\d+)\]$")
_OLD_WORKER = re.compile(r"\s*\[worker (gw\d+)\]$")


def split_old_label(label: Any) -> dict[str, Any]:
    """The facts an old row's label carried at its end, and the label without them."""
    facts: dict[str, Any] = {"label": label, "role": MAIN, "pid": None, "parent_trace_id": None}
    if not isinstance(label, str):
        return facts
    child = _OLD_CHILD.search(label)
    if child is not None:
        facts.update(label=label[:child.start()], role=CHILD, parent_trace_id=child.group(1),
                     pid=int(child.group(2)))
        return facts
    worker = _OLD_WORKER.search(label)
    if worker is not None:
        facts.update(label=label[:worker.start()], role=WORKER_PREFIX + worker.group(1))
    return facts


def label_matches(pattern: str, label: Any) -> bool:
    """A label pattern as the stores match it: * any text, ? one character, every
    other character itself, case apart."""
    if not isinstance(label, str):
        return False
    regex = "".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in pattern)
    return re.fullmatch(regex, label, re.S) is not None
