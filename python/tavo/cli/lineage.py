"""Which stored traces were saved by child processes of which: a child's label ends
with "[child of PARENT_TRACE_ID pid PID]" (see tavo.profiler)."""

from __future__ import annotations

import re
from typing import Any

CHILD_LABEL = re.compile(r"\s*\[child of (trc_[0-9A-Z]{26}) pid (\d+)\]$")


def parent_of(label: str | None) -> tuple[str, int] | None:
    """The parent trace id and process id in a child's label."""
    found = CHILD_LABEL.search(label) if isinstance(label, str) else None
    return None if found is None else (found.group(1), int(found.group(2)))


def as_tree(traces: list[dict[str, Any]]) -> list[tuple[int, dict[str, Any], str]]:
    """The traces in their order, each child moved under its parent (when the parent is
    listed): (depth, trace, label to show). A child's label shows its process id in
    place of the parent's trace id."""
    children: dict[str, list[dict[str, Any]]] = {}
    listed = {t["trace_id"] for t in traces}
    roots = []
    for trace in traces:
        parent = parent_of(trace["label"])
        if parent is not None and parent[0] in listed and parent[0] != trace["trace_id"]:
            children.setdefault(parent[0], []).append(trace)
        else:
            roots.append(trace)
    rows: list[tuple[int, dict[str, Any], str]] = []
    shown: set[int] = set()

    def add(trace: dict[str, Any], depth: int) -> None:
        if id(trace) in shown:  # a label naming its own descendant as parent
            return
        shown.add(id(trace))
        label = trace["label"] if isinstance(trace["label"], str) else ""
        parent = parent_of(label)
        if depth and parent is not None:
            label = CHILD_LABEL.sub("", label) + f" (pid {parent[1]})"
        rows.append((depth, trace, label.strip()))
        for child in children.get(trace["trace_id"], []):
            add(child, depth + 1)

    for trace in roots:
        add(trace, 0)
    for trace in traces:  # children caught in a cycle of parents
        add(trace, 0)
    return rows
