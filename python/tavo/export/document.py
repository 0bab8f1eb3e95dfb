"""The decoded document as JSON, written one record at a time (``tavo show --json``
prints it the same way). Map keys JSON cannot hold become text as JSON itself writes
them (true, null, 1.5) or, for the rest, their repr."""

from __future__ import annotations

import json
from typing import Any, TextIO

from tavo import traceformat
from tavo.cli.render import _json_key, to_json


def dumps(value: Any) -> str:
    """``value`` as JSON text, as render.to_json makes it printable (values JSON cannot
    hold become their repr), taking the direct way when the value allows it."""
    try:
        return json.dumps(value, allow_nan=False, default=repr)
    except (ValueError, TypeError, RecursionError):
        return json.dumps(to_json(value))


def _key(key: Any) -> str:
    return json.dumps(key if isinstance(key, str) else _json_key(key))


def write(blob: bytes, out: TextIO) -> None:
    out.write("{")
    first_field = True
    threads_left = 0  # inside the "frames" map: threads still to come
    for kind, item in traceformat.read_document(blob):
        if kind == "section" and item.key is not None:
            out.write(_key(item.key) + ": ")
            _records(item.records, out)
            threads_left -= 1
            out.write(", " if threads_left else "}")
            continue
        out.write("" if first_field else ", ")
        first_field = False
        if kind == "threads":
            threads_left = item
            out.write('"frames": {' + ("" if item else "}"))
            continue
        if kind == "section":
            out.write('"frames_of_interest": ')
            _records(item.records, out)
        else:
            key, value = item
            out.write(f"{_key(key)}: {dumps(value)}")
    out.write("}\n")


def _records(records: Any, out: TextIO) -> None:
    out.write("[")
    for index, record in enumerate(records):
        out.write((", " if index else "") + dumps(record))
    out.write("]")
