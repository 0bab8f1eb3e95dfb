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
"""

import argparse
import os
import platform
import sys
import time

import msgpack

import tavo
from tavo import _tavo, serialize

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def _previous_default(obj):
    return repr(obj)[:1000]


def previous_dump(obj):
    """The previous serializer's path for data msgpack encodes natively."""
    try:
        return msgpack.packb(obj, default=_previous_default)
    except Exception:  # noqa: BLE001 - its fallback for unencodable values
        return msgpack.packb(repr(obj)[:1000])


def user_workload_values():
    """The values a recorded call+return of bench_events' workload carries."""
    import bench_events

    values = []

    def capture(frame, event, arg):
        if event in ("call", "return") and frame.f_code.co_name in ("_leaf", "_mid"):
            values.append(arg)
            values.append(dict(frame.f_locals))

    sys.setprofile(capture)
    for i in range(50):
        bench_events._mid(i)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=15, help="timed repetitions per cell")
    args = parser.parse_args()
    encoders = {"previous": previous_dump, "native": _tavo.dump_msgpack,
                "reference": serialize.reference_dump}
    print(f"tavo {tavo.__version__} | Python {platform.python_version()} ({sys.executable}) | "
          f"{platform.machine()} {platform.processor() or ''} {os.cpu_count()} CPUs | "
          f"{args.reps} repetitions, ns per value (minimum)")
    header = f"{'workload':<22} {'bytes':>7} " + " ".join(f"{n:>10}" for n in encoders) + \
        f" {'previous/native':>16}"
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
              + f" {times['previous'] / times['native']:16.1f}")


if __name__ == "__main__":
    main()
