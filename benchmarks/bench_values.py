#!/usr/bin/env python3
"""Speed of the value encoder alone, against the previous Python serializer.

Run from a virtual environment with tavo installed:

    python benchmarks/bench_values.py [--reps N]

Three workloads of plain data, each encoded by:

* previous   the serializer tavo shipped before its native encoder: one
             ``msgpack.packb`` call with a Python ``default`` (its path for
             values msgpack encodes natively, which all of these are);
* native     ``tavo._tavo.dump_msgpack`` called from Python (the engine calls
             the same encoder without the Python call);
* reference  ``tavo.serialize.reference_dump``, the encoder's Python definition.

Workloads: "user workload", the (arg, locals) values that the recorded workload
of bench_events.py records (captured by running it under a small profile
function); "dict 1000 str->list", a 1,000-item dict of str to a 3-item list;
"nested lists", lists nested 6 deep, 4 wide. ns per value: the minimum over
the repetitions of (elapsed / values encoded); the ratio previous / native.
``--callgrind`` adds the native encoder's instructions per value ("native Ir").

Then values over their budget (cut): a list of one-byte ints at 128 bytes, an
object holding lists of small numbers and a node of a parsed tree (whose parent
holds 180 nodes) at 2 KiB (the budget of a value in a test), native against
reference. Last, how much slower the program reads the attributes of objects
that tavo has described than of others.
"""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import tavo
from tavo import _tavo, serialize

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads as shared  # noqa: E402
from workloads import previous_dump  # noqa: E402


def user_workload_values():
    """The values a recorded call+return of bench_events' workload carries."""
    values = []

    def capture(frame, event, arg):
        if event in ("call", "return") and frame.f_code.co_name in ("_leaf", "_mid"):
            values.append(arg)
            values.append(dict(frame.f_locals))

    sys.setprofile(capture)
    for i in range(50):
        shared._mid(i)
    sys.setprofile(None)
    return values


def workloads():
    def nested(depth, width, leaf):
        if depth == 0:
            return leaf
        return [nested(depth - 1, width, leaf * width + i) for i in range(width)]

    return {
        "user workload": user_workload_values(),
        "dict 1000 str->list": [{f"key-{i}": [i, i * 0.5, f"value {i}"] for i in range(1000)}],
        "nested lists": [nested(6, 4, 1)],
    }


def time_per_value(dump, values, reps, budget_ns=20_000_000):
    loops = 1
    while True:  # enough loops for a region of ~20 ms
        start = time.perf_counter_ns()
        for _ in range(loops):
            for value in values:
                dump(value)
        elapsed = time.perf_counter_ns() - start
        if elapsed >= budget_ns or loops >= 1 << 20:
            break
        loops *= 2
    best = elapsed / (loops * len(values))
    for _ in range(reps):
        start = time.perf_counter_ns()
        for _ in range(loops):
            for value in values:
                dump(value)
        best = min(best, (time.perf_counter_ns() - start) / (loops * len(values)))
    return best


# The encoder's instructions per value under callgrind: only the native
# encoder's own calls are counted (--toggle-collect on its entry point), so the
# figure is free of the interpreter's loop and of other load on the machine.
CALLGRIND_LOOPS = 20


def callgrind_child(name):
    values = workloads()[name]
    dump = _tavo.dump_msgpack
    for _ in range(CALLGRIND_LOOPS):
        for value in values:
            dump(value)


def instructions_per_value(name, outdir):
    out = os.path.join(outdir, "callgrind.out." + name.replace(" ", "-"))
    cmd = [shutil.which("valgrind"), "--tool=callgrind", "--collect-atstart=no",
           # The entry point alone: its lambdas, whose names start alike, would toggle it off.
           "--toggle-collect=tavo::values::encode_to_bytes(_object*, bool, "
           "tavo::values::ValueSettings const&)", f"--callgrind-out-file={out}",
           sys.executable, os.path.abspath(__file__), "--callgrind-child", name]
    subprocess.run(cmd, check=True, capture_output=True)
    with open(out) as f:
        total = next(int(line.split()[1]) for line in f if line.startswith("summary:"))
    return total / (CALLGRIND_LOOPS * len(workloads()[name]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=15, help="timed repetitions per cell")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count the native encoder's instructions per value (valgrind)")
    parser.add_argument("--callgrind-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.callgrind_child:
        return callgrind_child(args.callgrind_child)
    outdir = tempfile.mkdtemp(prefix="tavo-values-callgrind-") if args.callgrind else None
    encoders = {"previous": previous_dump, "native": _tavo.dump_msgpack,
                "reference": serialize.reference_dump}
    print(f"tavo {tavo.__version__} | Python {platform.python_version()} ({sys.executable}) | "
          f"{platform.machine()} {platform.processor() or ''} {os.cpu_count()} CPUs | "
          f"{args.reps} repetitions, ns per value (minimum)")
    header = f"{'workload':<22} {'bytes':>7} " + " ".join(f"{n:>10}" for n in encoders) + \
        f" {'previous/native':>16}" + (f" {'native Ir':>10}" if outdir else "")
    print(header)
    print("-" * len(header))
    for name, values in workloads().items():
        for value in values:  # the encoders agree on these values
            if not (previous_dump(value) == _tavo.dump_msgpack(value)
                    == serialize.reference_dump(value)):
                raise SystemExit(f"{name}: the encoders disagree on {value!r:.80}")
        size = sum(len(_tavo.dump_msgpack(v)) for v in values) / len(values)
        times = {n: time_per_value(dump, values, args.reps) for n, dump in encoders.items()}
        print(f"{name:<22} {size:7.0f} " + " ".join(f"{t:10.1f}" for t in times.values())
              + f" {times['previous'] / times['native']:16.1f}"
              + (f" {instructions_per_value(name, outdir):10.0f}" if outdir else ""))
    cut_table(args.reps)
    attribute_reads_after_description(max(args.reps, 50))


class _Masks:
    """An object holding lists of small numbers, as calendar code keeps them."""

    def __init__(self):
        self.name = "masks"
        self.months = list(range(1, 13)) * 62
        self.days = [d - 32 for d in range(1, 32)] * 24
        self.week = [d % 7 for d in range(760)]


class _Node:
    """A node of a parsed tree: its text, its kind and its parent, whose own nodes
    are a long list of such nodes."""

    __slots__ = ("text", "kind", "parent", "nodes")

    def __init__(self, text, kind, parent=None):
        self.text, self.kind, self.parent = text, kind, parent


def _tree_leaf():
    root = _Node("", "statement")
    root.nodes = [_Node(word, "keyword" if i % 3 else "name", root)
                  for i, word in enumerate(["select", "a", ",", "b", "from", "t"] * 30)]
    return root.nodes[5]


class _Point:
    def __init__(self, x):
        self.x, self.y, self.label = x, -x, "point"

    def norm(self):
        return self.x * self.x + self.y * self.y


CUT_WORKLOADS = {  # name: (budget, values)
    "ints cut to 128 B": (128, [list(range(-32, 128)) * 3]),
    "object cut to 2 KiB": (2048, [_Masks()]),
    "tree node cut to 2 KiB": (2048, [_tree_leaf()]),
}


def cut_table(reps):
    """Values over their budget: the native encoder against its Python definition."""
    print(f"\n{'over the budget':<22} {'bytes':>7} {'native':>10} {'reference':>10}")
    for name, (budget, values) in CUT_WORKLOADS.items():
        previous = serialize.configure("safe", budget)
        try:
            for value in values:
                if _tavo.dump_msgpack(value) != serialize.reference_dump(value, budget=budget):
                    raise SystemExit(f"{name}: the encoders disagree")
            size = sum(len(_tavo.dump_msgpack(v)) for v in values) / len(values)
            native = time_per_value(_tavo.dump_msgpack, values, reps)
            reference = time_per_value(
                lambda v: serialize.reference_dump(v, budget=budget), values, reps)
        finally:
            serialize.configure(**previous)
        print(f"{name:<22} {size:7.0f} {native:10.1f} {reference:10.1f}")


def attribute_reads_after_description(reps):
    """How much slower the program reads the attributes of objects once tavo has
    described them, against objects it never described (1.0: not at all)."""
    described = [_Point(i) for i in range(1000)]
    untouched = [_Point(i) for i in range(1000)]
    for obj in described:
        _tavo.dump_msgpack(obj)

    def reads(objects):
        best = float("inf")
        for _ in range(reps):
            start = time.perf_counter_ns()
            for obj in objects:
                obj.norm()
            best = min(best, time.perf_counter_ns() - start)
        return best

    ratio = reads(described) / reads(untouched)
    print(f"\nattribute reads of described objects / of others: {ratio:.2f}")


if __name__ == "__main__":
    main()
