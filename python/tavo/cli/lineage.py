"""Which stored traces were saved by child processes of which: a child's row names the
trace that was being recorded when it was started (its parent) and its own pid."""

from __future__ import annotations

from typing import Any


def as_tree(traces: list[dict[str, Any]]) -> list[tuple[int, dict[str, Any], str]]:
    """The traces in their order, each child moved under its parent (when the parent is
    listed): (depth, trace, label to show). A child listed under its parent shows its
    process id after its label."""
    children: dict[str, list[dict[str, Any]]] = {}
    listed = {t["trace_id"] for t in traces}
    roots = []
    for trace in traces:
        parent = trace.get("parent_trace_id")
        if parent is not None and parent in listed and parent != trace["trace_id"]:
            children.setdefault(parent, []).append(trace)
        else:
            roots.append(trace)
    rows: list[tuple[int, dict[str, Any], str]] = []
    shown: set[int] = set()

    def add(trace: dict[str, Any], depth: int) -> None:
        if id(trace) in shown:  # a row naming its own descendant as parent
            return
        shown.add(id(trace))
        label = trace["label"] if isinstance(trace["label"], str) else ""
        if depth and trace.get("pid") is not None:
            label += f" (pid {trace['pid']})"
        rows.append((depth, trace, label.strip()))
        for child in children.get(trace["trace_id"], []):
            add(child, depth + 1)

    for trace in roots:
        add(trace, 0)
    for trace in traces:  # children caught in a cycle of parents
        add(trace, 0)
    return rows
