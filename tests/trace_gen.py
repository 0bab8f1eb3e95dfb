"""Generated runs for the tests: a tree of calls (with arguments, return values and
exceptions) per thread, written as a trace document laid out as the engine writes it,
with ids, times and addresses of its own for each writing."""

from __future__ import annotations

import dataclasses
import itertools

import msgpack
from hypothesis import strategies as st

FRAME_KEYS = ("path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
              "thread_native_id", "timestamp", "type", "user_code_call_site")
NAMES = ("app.load", "app.parse", "app.Model.save", "lib.render", "app.parse.<locals>.inner")

# Values, some of them looking like parts of records (so that a reader that searched the
# bytes instead of walking them would be misled).
values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**40, 2**40) | st.floats(allow_nan=False)
    | st.text(max_size=8) | st.binary(max_size=8)
    | st.sampled_from([b"\x8c\xa4path", "\xa8frame_id", {"timestamp": 1.5, "type": "frame"},
                       "<object at 0x7f3a>"]),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner,
                                                                 max_size=3),
    max_leaves=6)


@dataclasses.dataclass
class Node:
    name: str
    arguments: dict
    returned: object = None
    raised: tuple[str, str] | None = None
    children: list["Node"] = dataclasses.field(default_factory=list)
    returns: bool = True  # False: its return was never recorded (the run ended inside it)


@st.composite
def trees(draw, depth=0):
    node = Node(draw(st.sampled_from(NAMES)), {"n": draw(values)}, draw(values))
    if draw(st.integers(0, 5)) == 0:
        node.raised = (draw(st.sampled_from(["ValueError", "app.Error"])), draw(st.text(max_size=5)))
    if depth < 3:
        node.children = draw(st.lists(trees(depth=depth + 1), max_size=3))
    return node


# A run: per thread (None: the main thread), its top-level calls.
runs = st.dictionaries(st.sampled_from([None, 7, 8]), st.lists(trees(), max_size=3),
                       min_size=1, max_size=2)


def document(run: dict, *, seed: int = 0, plugin_records: bool = True) -> bytes:
    """``run`` as a trace document; ``seed`` gives other ids, times and addresses."""
    ids = (f"frm_{seed:04d}{n:022d}" for n in itertools.count())
    clock = itertools.count(1_700_000_000 + seed * 1000, 0.001 * (seed + 1))

    def frame(node: Node, event: str, frame_id: str, caller: str | None, value: object) -> dict:
        locals_ = {**node.arguments, "self": f"<App object at 0x{seed + 4096:x}>"}
        site = None if caller is None else {"call_frame_id": caller, "line_number": 3}
        fields = (f"app/{node.name.split('.')[0]}.py:{len(node.name)}", node.name.rsplit(".", 1)[-1],
                  node.name, event, frame_id, value, locals_, "MainThread", 1, next(clock),
                  "frame", site)
        return dict(zip(FRAME_KEYS, fields))

    def walk(node: Node, caller: str | None, out: list) -> None:
        frame_id = next(ids)
        out.append(frame(node, "call", frame_id, caller, None))
        for child in node.children:
            walk(child, frame_id, out)
        if not node.returns:
            return
        out.append(frame(node, "return", frame_id, caller,
                         None if node.raised else node.returned))
        if node.raised:
            out.append({"frame_id": frame_id, "timestamp": next(clock), "thread": "MainThread",
                        "thread_native_id": 1, "user_code_call_site": None, "type": "exception",
                        "subtype": None, "exception_type": node.raised[0],
                        "message": node.raised[1]})

    threads = {}
    for key, calls in run.items():
        records = [{"type": "start_test", "test_name": "t.py::test", "frame_id": None,
                    "timestamp": next(clock)}] if plugin_records and key is None else []
        for node in calls:
            walk(node, None, records)
        threads[key] = records
    return msgpack.packb({
        "command_line_args": ["pytest"], "current_commit_sha": None,
        "frames": {key: records for key, records in threads.items() if key is not None},
        "frames_of_interest": threads.get(None, []), "main_thread_id": 1,
        "meta": {"version": "0", "source": "pytest", "use_frame_boundaries": True},
        "timestamp": 1.0, "trace_id": f"trc_{seed:026d}"})


def calls(run: dict) -> list[Node]:
    """Every call of the run, thread by thread, in the order they were made."""
    found = []

    def walk(node: Node) -> None:
        found.append(node)
        for child in node.children:
            walk(child)

    for key in sorted(run, key=lambda k: (k is not None, k or 0)):
        for node in run[key]:
            walk(node)
    return found
