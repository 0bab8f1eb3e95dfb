"""The trace as an evented profile file for flame-graph viewers: one profile per
thread, whose open and close events, in time order and properly nested, name frames
from one shared table (function, file and line). Times are microseconds since the
epoch."""

from __future__ import annotations

import json
from typing import Any, TextIO

from tavo.export.threads import seconds, threads

SCHEMA = "https://www.speedscope.app/file-format-schema.json"
# The version of the file format written (a field the format requires).
FORMAT_VERSION = "0.0.1"


class _Frames:
    """The shared frame table: one entry per function and place."""

    def __init__(self) -> None:
        self.index: dict[tuple[str, str, int | None], int] = {}

    def of(self, name: str, path: str) -> int:
        file, _, line = path.rpartition(":")
        key = (name, file, int(line) if line.isdigit() else None) if file else (name, path, None)
        return self.index.setdefault(key, len(self.index))

    def entries(self) -> list[dict[str, Any]]:
        result = []
        for name, file, line in self.index:
            entry: dict[str, Any] = {"name": name}
            if file:
                entry["file"] = file
            if line is not None:
                entry["line"] = line
            result.append(entry)
        return result


def write(blob: bytes, out: TextIO) -> None:
    frames = _Frames()
    out.write(f'{{"$schema": {json.dumps(SCHEMA)}, "version": {json.dumps(FORMAT_VERSION)},'
              ' "exporter": "tavo", "name": "tavo trace",'
              ' "activeProfileIndex": 0, "profiles": [')
    for number, thread in enumerate(threads(blob)):
        out.write((",\n" if number else "\n") + '{"type": "evented", "name": '
                  + json.dumps(thread.name) + ', "unit": "microseconds", "events": [')
        start = end = None
        first_event = True
        open_frames: list[int] = []
        for step in thread.steps():
            at = seconds(step.record)
            call = step.call
            if step.kind == "call" and call is not None:
                kind, frame = "O", frames.of(call.name, call.path)
                open_frames.append(frame)
            elif step.kind == "return" and call is not None and open_frames:
                kind, frame = "C", open_frames.pop()
            else:
                continue
            # Times must not go back (the wall clock can), and every event needs one.
            value = at * 1e6 if at is not None else end
            if value is None:
                value = 0.0
            if end is not None and value < end:
                value = end
            start = value if start is None else start
            end = value
            out.write(("" if first_event else ",")
                      + f'\n{{"type": "{kind}", "frame": {frame}, "at": {round(value, 3)}}}')
            first_event = False
        out.write(f'], "startValue": {round(start or 0.0, 3)}, "endValue": {round(end or 0.0, 3)}}}')
    out.write('\n], "shared": {"frames": ' + json.dumps(frames.entries()) + "}}\n")
