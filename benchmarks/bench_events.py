#!/usr/bin/env python3
"""Cost of one profile event under tavo, against no profiler and the floor.

Run from a virtual environment with tavo installed:

    python benchmarks/bench_events.py [--callgrind] [--scale S] [--reps N]

Everything is measured in one run, on the interpreter running this file:

* none      no profile function at all (the baseline);
* noop      ``tavo._tavo.register_noop_profiler()``: a C profile function that
            returns at once, i.e. what the interpreter itself charges for
            calling a C profile function (the floor);
* tavo      the real profile callback, installed by ``register_profiler``;
* monitoring  the engine on sys.monitoring (config "engine": "monitoring"),
            which switches left-out code off per code object;
* cProfile  the standard library's profiler, as a reference.

Three workloads:

* library   pure-Python standard library code (json's pure-Python encoder,
            decoder and scanner, textwrap, Fraction arithmetic, statistics,
            ipaddress); every one of its frames lives under ".../lib/python..."
            and is filtered out by tavo, which is checked after the run (the
            trace must hold no record);
* py-calls  standard library code that calls Python functions only (colorsys),
            also filtered out: with no C calls, whose events tavo ignores at
            once, it is the least favourable mix for the filtered-out ratio;
* recorded  small functions of workloads.py beside this file (user code), every frame of
            which tavo records; run once with the real host serializer
            (``tavo.serialize.dump_msgpack``) and once with a serializer that
            returns a constant, so that tavo's own (native) share shows; run at
            two stack depths of recorded frames to show the cost is flat.

Events are counted exactly, by running each timed region once under a small
``sys.setprofile`` counter that counts "call" and "return" (C calls are
counted apart and not included). ns/event = elapsed ns of the region / events.

The benchmark file must not live under a path holding "lib/python" or
"site-packages", or its own functions would be filtered out as library code.
"""

import argparse
import ctypes
import functools
import gc
import itertools
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import msgpack

import tavo
import tavo.serialize
from tavo import _tavo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import _mid, previous_dump  # noqa: E402

perf_counter_ns = time.perf_counter_ns

# ---------------------------------------------------------------------------
# Event counting
# ---------------------------------------------------------------------------

# The counter counts only while ACTIVE[0] is true; the timed regions switch it
# on right before their first clock read and off right after the last one, so
# it counts exactly the events that fall inside the timed interval.
ACTIVE = [False]
COUNTS = {"call": 0, "return": 0, "c_call": 0, "c_return": 0, "c_exception": 0}


def _counter(frame, event, arg):
    if ACTIVE[0]:
        COUNTS[event] = COUNTS.get(event, 0) + 1


def _reset_counts():
    for key in COUNTS:
        COUNTS[key] = 0


# ---------------------------------------------------------------------------
# Recorded workload: user code, defined here
# ---------------------------------------------------------------------------


def _descend(depth, calls):
    """Recurses until `depth` frames of this function are active, then times
    `calls` calls of _mid. With tavo installed, the `depth` frames are
    recorded, so tavo's call-frame stack is `depth` deep during the timing."""
    if depth > 1:
        return _descend(depth - 1, calls)
    mid = _mid
    ACTIVE[0] = True
    t0 = perf_counter_ns()
    for i in range(calls):
        mid(i)
    t1 = perf_counter_ns()
    ACTIVE[0] = False
    return t1 - t0


def region_recorded(install, uninstall, depth, calls):
    # This frame is entered before the profile function is installed and left
    # after it is removed: it produces no event itself.
    install()
    elapsed = _descend(depth, calls)
    uninstall()
    return elapsed


# ---------------------------------------------------------------------------
# Library workload: pure-Python standard library code only
# ---------------------------------------------------------------------------


def build_library_ops():
    """(callable, args, drain) triples made of standard library callables
    only: calling them runs no Python frame outside the standard library.
    `drain` marks a result that is a generator to be consumed."""
    import fractions
    import ipaddress
    import json.decoder
    import json.encoder
    import json.scanner
    import textwrap

    Fraction = fractions.Fraction
    fracs = [Fraction(n, d) for n, d in [(1, 3), (2, 7), (5, 11), (3, 4), (7, 9), (4, 13)]]
    data = {
        "name": "tavo \"bench\"\n",
        "values": [1, 2.5, "tab\there", None, True, [3, 4, {"k": "v\u00e9"}]],
        "nested": {"a": [1, 2, 3], "b": "quote\"d\\slash", "c": {"d": [None, False]}},
    }
    # iterencode without _one_shot never uses the C encoder: the pure-Python
    # _make_iterencode generators run, with py_encode_basestring for strings.
    encoder = json.encoder.JSONEncoder(sort_keys=True)
    text = json.dumps(data)
    decoder = json.decoder.JSONDecoder()
    decoder.parse_string = json.decoder.py_scanstring
    decoder.scan_once = json.scanner.py_make_scanner(decoder)
    escaped = "line one\nline \"two\"\t\\ three \x01 four\r\n" * 3
    prose = (
        "The interpreter calls the profile function for every call and return; "
        "a profiler that records nothing of library code must add little to it. "
    ) * 3
    addrs = [ipaddress.ip_address(f"10.{i % 7}.{(i * 37) % 251}.{(i * 91) % 253}") for i in range(24)]
    return [
        (json.encoder.py_encode_basestring, (escaped,), False),
        (encoder.iterencode, (data,), True),
        (decoder.decode, (text,), False),
        (textwrap.fill, (prose, 38), False),
        (textwrap.dedent, ("    a\n      b\n    c\n",), False),
        (sum, (fracs, Fraction(0)), False),
        (statistics.mean, (fracs,), False),
        (statistics.median, (fracs,), False),
        (statistics.variance, (fracs,), False),
        (sorted, (addrs,), False),
        (ipaddress.ip_network, ("192.168.16.0/28",), False),
        (ipaddress.collapse_addresses, (addrs[:8],), True),
        (ipaddress.summarize_address_range, (addrs[0], addrs[0] + 300), True),
        (ipaddress.ip_interface, ("2001:db8::17/64",), False),
    ]


def build_pycalls_ops():
    """Standard library functions that call only Python functions, no C
    function at all: every profile event of this workload is a Python call or
    return, the kind tavo has to look at. (The library workload above also
    makes C calls, whose events tavo ignores at once but for which the
    interpreter still calls the profile function.)"""
    import colorsys

    return [
        (colorsys.hls_to_rgb, (0.3, 0.5, 0.4), False),  # calls colorsys._v three times
        (colorsys.hls_to_rgb, (0.9, 0.2, 0.7), False),
        (colorsys.rgb_to_yiq, (0.1, 0.2, 0.3), False),
        (colorsys.yiq_to_rgb, (0.5, 0.1, -0.2), False),
    ]


def region_library(install, uninstall, ops, passes):
    install()
    # One untimed pass first, inline (a call of a function of this file would
    # be recorded): the timings are of the steady state, after each code
    # object's first event, when the monitoring engine switches it off.
    for fn, args, drain in ops:
        result = fn(*args)
        if drain:
            for _item in result:
                pass
    ACTIVE[0] = True
    t0 = perf_counter_ns()
    for _ in range(passes):
        for fn, args, drain in ops:
            result = fn(*args)
            if drain:
                for _item in result:
                    pass
    t1 = perf_counter_ns()
    ACTIVE[0] = False
    uninstall()
    return t1 - t0


# ---------------------------------------------------------------------------
# Profilers under test
# ---------------------------------------------------------------------------

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


class HostProfiler:
    """The host profiler object the module is registered with."""

    def __init__(self):
        self.config = {}
        self.db_path = os.path.join(tempfile.gettempdir(), "tavo-bench-unused.sqlite3")
        self.one_trace_per_test = False
        self.trace_id = "trc_" + "".join(random.choice(_CROCKFORD) for _ in range(26))
        self.source = "benchmarks/bench_events.py"

    def __call__(self, *args):
        return None


# A serializer that returns a constant, made of C callables only: calling it
# runs no Python frame, so the const rows show tavo's own part of an event plus
# one C call, without the value encoding. next(repeat, value) ignores `value`.
_const_serializer = functools.partial(next, itertools.repeat(b"\xc0"))


class Setup:
    """Installers and removers for every configuration. Each installer and
    remover is a C callable (a builtin or a functools.partial of one), so that
    installing or removing a profile function produces no Python-level event
    of its own."""

    def __init__(self, exceptions=False):
        self.host = HostProfiler()
        self.host.config["exceptions"] = exceptions
        _tavo.register_profiler(self.host)
        sys.setprofile(None)
        self.tavo = self.host.rust_profiler
        # The monitoring engine is registered anew for each region (a C call
        # that produces no Python event); each registration is a new profiler.
        self.monitoring_host = HostProfiler()
        self.monitoring_host.config.update(exceptions=exceptions, engine="monitoring")
        if exceptions:  # the unwind-event callback stays registered for the whole run
            import tavo.utils as tavo_utils

            tavo_utils.watch_exceptions(self.tavo.exception_unwind)
        self.real_serializer = tavo.serialize.dump_msgpack
        self.previous_serializer = previous_dump
        off = functools.partial(sys.setprofile, None)
        import cProfile

        self.cprofile = cProfile.Profile()
        self.install = {
            "none": (off, off),
            "noop": (_tavo.register_noop_profiler, off),
            # register_threading_profiler installs the very callback that
            # register_profiler installed, with the same profiler object: the
            # profiler (and its per-code-object filter cache) persists across
            # repetitions instead of being rebuilt for each one.
            "tavo": (functools.partial(self.tavo.register_threading_profiler, None, None, None), off),
            "mon": (functools.partial(_tavo.register_profiler, self.monitoring_host),
                    _tavo.unregister_profiler),
            "cProfile": (self.cprofile.enable, self.cprofile.disable),
            "counter": (functools.partial(sys.setprofile, _counter), off),
        }

    def serializer(self, const):
        """const: True (a constant), False (the real one) or "previous"."""
        tavo.serialize.dump_msgpack = (self.previous_serializer if const == "previous"
                                       else _const_serializer if const else self.real_serializer)

    def drain_trace(self, key="tavo"):
        """Builds (and so empties) the trace of the profile engine, or of the
        last monitoring engine with key "mon"; returns the document bytes."""
        if key == "mon":
            native = getattr(self.monitoring_host, "rust_profiler", None)
            return None if native is None else native.build_trace()
        return self.tavo.build_trace()


# Configurations: (label, profiler key, const serializer?)
FILTERED_CONFIGS = [("none", "none", False), ("noop", "noop", False),
                    ("tavo", "tavo", False), ("monitoring", "mon", False),
                    ("cProfile", "cProfile", False)]
RECORDED_CONFIGS = [("none", "none", False), ("noop", "noop", False),
                    ("tavo real serializer", "tavo", False), ("tavo const serializer", "tavo", True),
                    ("tavo previous serializer", "tavo", "previous"),
                    ("monitoring real serial.", "mon", False),
                    ("monitoring const serial.", "mon", True), ("cProfile", "cProfile", False)]
TAVO_KEYS = ("tavo", "mon")

FILTERED_WORKLOADS = ("library", "pycalls")
TITLES = {"library": "library (filtered)", "pycalls": "py-calls (filtered)", "recorded": "recorded"}


class Workloads:
    """The operations and sizes of the three workloads at a given scale."""

    def __init__(self, scale):
        self.ops = {"library": build_library_ops(), "pycalls": build_pycalls_ops()}
        self.size = {
            # Short regions (a few ms) leave some repetitions undisturbed by
            # other processes even on a busy machine.
            "library": max(1, round(scale * 5)),  # passes over the ops, ~2200 events each
            "pycalls": max(1, round(scale * 500)),  # passes over the ops, 20 events each
            "recorded": max(1, round(scale * 1000)),  # calls of _mid, 6 events each
        }


def run_region(setup, work, workload, key, const, depth=5):
    install, uninstall = setup.install[key]
    setup.serializer(const)
    try:
        if workload == "recorded":
            return region_recorded(install, uninstall, depth, work.size[workload])
        return region_library(install, uninstall, work.ops[workload], work.size[workload])
    finally:
        setup.serializer(False)


def count_events(setup, work, workload, depth=5):
    """Exact call/return events (and C calls, apart) of one timed region."""
    run_region(setup, work, workload, "none", False, depth)  # first-use work (caches, imports)
    results = []
    for _ in range(2):
        _reset_counts()
        run_region(setup, work, workload, "counter", False, depth)
        results.append(dict(COUNTS))
    if results[0] != results[1]:
        raise SystemExit(f"event count of the {workload} workload is not deterministic: {results}")
    counts = results[0]
    return counts["call"] + counts["return"], counts["c_call"]


def records_in(document):
    return msgpack.unpackb(document)["frames_of_interest"]


def check_records(workload, document, events, depth):
    """What tavo buffered for one region must be what the workload promises."""
    records = records_in(document)
    if workload != "recorded":
        if records:
            paths = sorted({r["path"].rsplit(":", 1)[0] for r in records})
            raise SystemExit(f"{workload} workload: tavo recorded {len(records)} frames, e.g. {paths[:5]}")
    else:
        # The timed events plus the call and return of each _descend frame.
        expected = events + 2 * depth
        if len(records) != expected:
            raise SystemExit(f"recorded workload: {len(records)} records, expected {expected}")


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


class Row:
    def __init__(self, workload, label, key, const, depth, events, c_calls):
        self.workload, self.label, self.key, self.const = workload, label, key, const
        self.depth, self.events, self.c_calls = depth, events, c_calls
        self.samples = []  # ns per event, one per repetition
        self.ir = None  # instructions per event, from callgrind

    @property
    def median(self):
        return statistics.median(self.samples)

    @property
    def min(self):
        return min(self.samples)

    @property
    def max(self):
        return max(self.samples)


def measure(setup, work, args):
    rows = []
    for workload in FILTERED_WORKLOADS:
        events, c_calls = count_events(setup, work, workload)
        for label, key, const in FILTERED_CONFIGS:
            rows.append(Row(workload, label, key, const, None, events, c_calls))
    for depth in args.depths:
        events, c_calls = count_events(setup, work, "recorded", depth=depth)
        if events != 6 * work.size["recorded"]:
            raise SystemExit(f"recorded workload: {events} events counted, "
                             f"expected {6 * work.size['recorded']}")
        for label, key, const in RECORDED_CONFIGS:
            rows.append(Row("recorded", label, key, const, depth, events, c_calls))

    def once(row, check=False):
        if row.key in TAVO_KEYS:
            setup.drain_trace(row.key)
        gc.collect()
        gc.disable()
        try:
            elapsed = run_region(setup, work, row.workload, row.key, row.const, row.depth or 5)
        finally:
            gc.enable()
        if row.key in TAVO_KEYS:
            document = setup.drain_trace(row.key)  # buffers do not grow across repetitions
            if check:
                check_records(row.workload, document, row.events, row.depth)
        return elapsed

    # Warm-up: fills the interpreter's caches and tavo's per-code-object
    # filter cache, and checks what tavo recorded.
    for row in rows:
        once(row, check=True)
    # Repetitions are interleaved across configurations, so that a burst of
    # load from elsewhere on the machine spreads over all of them.
    for rep in range(args.reps):
        for row in rows:
            row.samples.append(once(row) / row.events)
        print(f"  repetition {rep + 1}/{args.reps} done", file=sys.stderr, flush=True)
    return rows


# ---------------------------------------------------------------------------
# Memory held per buffered record
# ---------------------------------------------------------------------------


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes handed out by glibc's malloc: small blocks plus mmap'ed ones."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def array_header_size(count):
    return 1 if count <= 15 else 3 if count <= 0xFFFF else 5


def measure_memory(setup, events_wanted):
    """malloc bytes held by tavo's buffers per encoded byte of the records
    they hold, the records made with the real serializer."""
    try:
        malloc_in_use()
    except (AttributeError, OSError):
        return None
    work = Workloads(1.0)
    work.size["recorded"] = -(-events_wanted // 6)
    depth = 5

    def delta(key):
        # Record memory that earlier traces left for reuse is in use before the
        # region and taken by its records: it counts as theirs.
        kept = setup.tavo.kept_record_bytes if key == "tavo" else 0
        gc.collect()
        before = malloc_in_use() - kept
        run_region(setup, work, "recorded", key, False, depth)
        gc.collect()
        return malloc_in_use() - before - (setup.tavo.kept_record_bytes if key == "tavo" else 0)

    # Warm-up: per-thread state, scratch buffers, caches.
    run_region(setup, work, "recorded", "tavo", False, depth)
    setup.drain_trace()
    noise = delta("noop")  # what the workload itself leaves behind
    held = delta("tavo")
    document = setup.drain_trace()
    empty = setup.drain_trace()
    records = records_in(document)
    count = len(records)
    # Encoded size, way 1 (the one used): the document minus its fixed part,
    # that is minus an empty document, whose records array header is one byte.
    encoded = len(document) - len(empty) - (array_header_size(count) - 1)
    # Way 2, as a cross-check: re-encode each decoded record with msgpack.
    reencoded = sum(len(msgpack.packb(record)) for record in records)
    del document, records
    return {"records": count, "held": held, "noise": noise, "encoded": encoded,
            "reencoded": reencoded, "ratio": (held - noise) / encoded}


# ---------------------------------------------------------------------------
# Instruction counts under callgrind
# ---------------------------------------------------------------------------

# Each measured region runs inside a ctypes callback: calling it goes through
# libffi's ffi_call, which callgrind uses as its collection toggle and dumps a
# profile part on leaving, so only the region is counted, not the
# interpreter's start-up, the imports or the warm-up. The region runs twice,
# at sizes n and 2n, and Ir/event is (Ir(2n) - Ir(n)) / (events(2n) -
# events(n)): what the two runs share (ctypes glue, installing the profile
# function, the recursion to the wanted depth and back) cancels out.
CALLGRIND_CONFIGS = [  # (workload, profiler key, const serializer?, depth)
    ("library", "none", False, None), ("library", "noop", False, None),
    ("library", "tavo", False, None), ("library", "mon", False, None),
    ("pycalls", "none", False, None), ("pycalls", "noop", False, None),
    ("pycalls", "tavo", False, None), ("pycalls", "mon", False, None),
    ("recorded", "none", False, 5), ("recorded", "noop", False, 5),
    ("recorded", "tavo", True, 5), ("recorded", "tavo", False, 5),
    ("recorded", "mon", True, 5), ("recorded", "mon", False, 5),
    ("recorded", "tavo", "previous", 5),
    ("recorded", "none", False, 200), ("recorded", "tavo", True, 200),
]


def callgrind_child(args):
    workload, key, serializer, depth = args.callgrind_child.split(":")
    const, depth = {"const": True, "real": False, "previous": "previous"}[serializer], int(depth)
    setup = Setup(args.exceptions)
    work = Workloads(args.scale)
    base = work.size[workload]
    region = functools.partial(run_region, setup, work, workload, key, const, depth)
    callback = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: (region(), 0)[1])
    events = []
    for size in (base, 2 * base):
        work.size[workload] = size
        for _ in range(2):  # warm-up, not collected
            region()
            setup.drain_trace(key)
        events.append(count_events(setup, work, workload, depth))
    for size, (count, _c_calls) in zip((base, 2 * base), events):
        work.size[workload] = size
        setup.drain_trace(key)
        gc.collect()
        gc.disable()  # as in the timed runs
        callback()  # collected, then dumped as one profile part
        gc.enable()
        if key in TAVO_KEYS:
            check_records(workload, setup.drain_trace(key), count, depth)
    print(json.dumps({"events": [count for count, _ in events]}))


def read_callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise ValueError(f"no total in {path}")


def run_callgrind(args, rows):
    valgrind = shutil.which("valgrind") or "/usr/bin/valgrind"
    outdir = args.callgrind_dir or tempfile.mkdtemp(prefix="tavo-callgrind-")
    os.makedirs(outdir, exist_ok=True)
    results = {}
    env = dict(os.environ, PYTHONHASHSEED="0")
    for workload, key, const, depth in CALLGRIND_CONFIGS:
        kind = "previous" if const == "previous" else "const" if const else "real"
        name = f"{workload}:{key}:{kind}:{depth or 5}"
        out = os.path.join(outdir, "callgrind.out." + name.replace(":", "-"))
        cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=ffi_call",
               "--dump-after=ffi_call", f"--callgrind-out-file={out}",
               sys.executable, os.path.abspath(__file__),
               "--callgrind-child", name, "--scale", str(args.callgrind_scale)]
        if args.exceptions:
            cmd.append("--exceptions")
        print(f"  callgrind {name} ...", file=sys.stderr, flush=True)
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            sys.stderr.write(proc.stdout[-3000:] + proc.stderr[-3000:])
            raise SystemExit(f"callgrind run {name} failed")
        small, large = json.loads(proc.stdout.strip().splitlines()[-1])["events"]
        ir_small, ir_large = read_callgrind_total(out + ".1"), read_callgrind_total(out + ".2")
        results[(workload, key, const, depth)] = ((ir_large - ir_small) / (large - small),
                                                  large - small, out + ".2")
    for row in rows:
        found = results.get((row.workload, row.key, row.const, row.depth))
        if found:
            row.ir = found[0]
    return results, outdir


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def find(rows, workload, label, depth=None):
    for row in rows:
        if row.workload == workload and row.label == label and row.depth == depth:
            return row
    raise KeyError((workload, label, depth))


def verdict(ok):
    return "met" if ok else "MISSED"


def filtered_ratio(rows, workload, stat):
    none, noop, tavo_ = (getattr(find(rows, workload, k), stat) for k in ("none", "noop", "tavo"))
    return (tavo_ - none) / (noop - none)


def measure_cwd_query(reps, calls=2000):
    """ns per working-directory query, which every recorded event makes (the
    path is relative to it): os.getcwd() minus sys.getrecursionlimit() (a
    Python call of the same kind without a system call), each the minimum over
    `reps` loops."""
    best = {os.getcwd: float("inf"), sys.getrecursionlimit: float("inf")}
    for _ in range(reps):
        for call in best:
            t0 = perf_counter_ns()
            for _ in range(calls):
                call()
            best[call] = min(best[call], (perf_counter_ns() - t0) / calls)
    return best[os.getcwd] - best[sys.getrecursionlimit]


def report(args, rows, memory, callgrind, outdir):
    print()
    print(f"tavo {tavo.__version__} | Python {platform.python_version()} ({sys.executable}) | "
          f"{args.reps} repetitions, scale {args.scale}")
    print("ns/event: median of the repetitions, with min and max. added: median minus the median "
          "of 'none'. vs floor: added / added of 'noop'.")
    print("events: call+return events per repetition; C calls: C function calls per repetition "
          "(their events are not counted in ns/event).")
    if callgrind:
        print(f"Ir/event: instructions per event under callgrind (scale {args.callgrind_scale}).")
    header = (f"{'workload':<21} {'configuration':<22} {'events':>7} {'C calls':>7} "
              f"{'median':>8} {'min':>8} {'max':>8} {'added':>8} {'vs floor':>8} {'Ir/event':>8}")
    print(header)
    print("-" * len(header))
    groups = [(w, None) for w in FILTERED_WORKLOADS] + [("recorded", d) for d in args.depths]
    for workload, depth in groups:
        base = find(rows, workload, "none", depth)
        floor_added = find(rows, workload, "noop", depth).median - base.median
        title = TITLES[workload] + (f" d={depth}" if depth else "")
        for row in rows:
            if row.workload != workload or row.depth != depth:
                continue
            added = row.median - base.median
            blank = f"{'':>8}"
            added_s = blank if row.label == "none" else f"{added:8.1f}"
            ratio_s = blank if row.label == "none" or floor_added <= 0 else f"{added / floor_added:8.2f}"
            ir_s = blank if row.ir is None else f"{row.ir:8.0f}"
            print(f"{title:<21} {row.label:<22} {row.events:>7} {row.c_calls:>7} "
                  f"{row.median:8.1f} {row.min:8.1f} {row.max:8.1f} {added_s} {ratio_s} {ir_s}")
        print()

    ir = {k: v[0] for k, v in callgrind.items()} if callgrind else {}

    def ir_ratio(workload):
        return ((ir[(workload, "tavo", False, None)] - ir[(workload, "none", False, None)])
                / (ir[(workload, "noop", False, None)] - ir[(workload, "none", False, None)]))

    print("Targets (timing verdicts use the minimums, the least disturbed repetitions, as the "
          "machine may be shared; the filtered-out verdict uses instructions when callgrind ran)")
    for workload, what in (("library", "library workload"),
                           ("pycalls", "py-calls workload (no C calls: the least favourable mix)")):
        med, low = filtered_ratio(rows, workload, "median"), filtered_ratio(rows, workload, "min")
        line = (f"  filtered-out event, {what}: (tavo - none) / (noop - none) = {med:.3f} "
                f"(from minimums {low:.3f})")
        if ir:
            line += f", in instructions {ir_ratio(workload):.3f}"
        print(line + f" -- target <= 1.10: {verdict((ir_ratio(workload) if ir else low) <= 1.10)}")

    for workload in FILTERED_WORKLOADS:
        none, mon = find(rows, workload, "none"), find(rows, workload, "monitoring")
        line = (f"  monitoring engine, {TITLES[workload]}: run time / unprofiled = "
                f"{mon.median / none.median:.3f} (from minimums {mon.min / none.min:.3f})")
        basis = mon.min / none.min
        if ir:
            basis = ir[(workload, "mon", False, None)] / ir[(workload, "none", False, None)]
            line += (f", in instructions {basis:.3f} ({ir[(workload, 'mon', False, None)]:.0f} "
                     f"Ir/event beside the profile engine's {ir[(workload, 'tavo', False, None)]:.0f}"
                     f" and unprofiled {ir[(workload, 'none', False, None)]:.0f})")
        print(line + f" -- target <= 1.10: {verdict(basis <= 1.10)}")
    for depth in args.depths:
        profile_engine = find(rows, "recorded", "tavo real serializer", depth)
        mon = find(rows, "recorded", "monitoring real serial.", depth)
        line = (f"  monitoring engine, recorded d={depth}: {mon.median:.0f} ns/event (min "
                f"{mon.min:.0f}) against the profile engine's {profile_engine.median:.0f} (min "
                f"{profile_engine.min:.0f})")
        slower = mon.min / profile_engine.min
        if ir and depth == 5:
            slower = ir[("recorded", "mon", False, 5)] / ir[("recorded", "tavo", False, 5)]
            line += (f", in instructions {ir[('recorded', 'mon', False, 5)]:.0f} against "
                     f"{ir[('recorded', 'tavo', False, 5)]:.0f} Ir/event")
        # Within 2%: the timing noise of a shared machine.
        print(line + f" -- target no slower: {verdict(slower <= 1.02)}")
    for depth in args.depths:
        none = find(rows, "recorded", "none", depth)
        real = find(rows, "recorded", "tavo real serializer", depth)
        const = find(rows, "recorded", "tavo const serializer", depth)
        own, own_min = const.median - none.median, const.min - none.min
        print(f"  recorded event, depth {depth}: real serializer {real.median:.0f} ns/event "
              f"(min {real.min:.0f}), const serializer {const.median:.0f} (min {const.min:.0f}); "
              f"the two serializer calls (real - const) {real.median - const.median:.0f} ns "
              f"(min {real.min - const.min:.0f}); tavo's own part (const - none) {own:.0f} ns "
              f"(min {own_min:.0f}) -- target < 1000 ns: {verdict(own_min < 1000)}")
        previous = find(rows, "recorded", "tavo previous serializer", depth)
        floor = find(rows, "recorded", "noop", depth)
        print(f"  recorded event, depth {depth}, over the floor (noop): real serializer "
              f"{real.median - floor.median:.0f} ns (min {real.min - floor.min:.0f}) -- target "
              f"<= 1000 ns: {verdict(real.min - floor.min <= 1000)}; previous serializer "
              f"{previous.median - floor.median:.0f} ns (min {previous.min - floor.min:.0f}); "
              f"serializer share (x - const): previous {previous.median - const.median:.0f} ns, "
              f"real {real.median - const.median:.0f} ns, ratio "
              f"{(previous.median - const.median) / max(real.median - const.median, 1):.1f}")
    cwd_ns = measure_cwd_query(args.reps)
    real = find(rows, "recorded", "tavo real serializer", args.depths[0])
    floor = find(rows, "recorded", "noop", args.depths[0])
    print(f"  working-directory query (os.getcwd() - sys.getrecursionlimit(), min): {cwd_ns:.0f} ns per recorded "
          f"event, a system call on every one; the real serializer's event over the floor without "
          f"it: {real.min - floor.min - cwd_ns:.0f} ns (depth {args.depths[0]}, minimums)")
    if len(args.depths) >= 2:
        lo, hi = args.depths[0], args.depths[-1]

        def own(depth, stat):
            return (getattr(find(rows, "recorded", "tavo const serializer", depth), stat)
                    - getattr(find(rows, "recorded", "none", depth), stat))

        growth, growth_min = own(hi, "median") / own(lo, "median"), own(hi, "min") / own(lo, "min")
        line = (f"  tavo's own part at depth {hi} / at depth {lo}: {growth:.3f} (from minimums "
                f"{growth_min:.3f})")
        basis = growth_min
        if ir and (lo, hi) == (5, 200):
            basis = ((ir[("recorded", "tavo", True, 200)] - ir[("recorded", "none", False, 200)])
                     / (ir[("recorded", "tavo", True, 5)] - ir[("recorded", "none", False, 5)]))
            line += f", in instructions {basis:.3f}"
        print(line + f" -- flat, within 10%: {verdict(basis <= 1.10)}")
    if ir:
        base = ir[("recorded", "none", False, 5)]
        print(f"  recorded event in instructions (depth 5), over none: const serializer "
              f"+{ir[('recorded', 'tavo', True, 5)] - base:.0f} Ir/event, real serializer "
              f"+{ir[('recorded', 'tavo', False, 5)] - base:.0f} Ir/event, previous serializer "
              f"+{ir[('recorded', 'tavo', 'previous', 5)] - base:.0f} Ir/event "
              f"(noop +{ir[('recorded', 'noop', False, 5)] - base:.0f})")
    if memory:
        m = memory
        print(f"  memory: {m['records']} records buffered; malloc in use grew by {m['held']} bytes "
              f"under tavo and by {m['noise']} under noop; the records' encoded size is {m['encoded']} "
              f"bytes (document minus empty document; re-encoding each decoded record with msgpack "
              f"gives {m['reencoded']}); {(m['held'] - m['noise']) / m['records']:.1f} bytes held per "
              f"record of {m['encoded'] / m['records']:.1f} encoded")
        print(f"  memory ratio (tavo - noop) / encoded = {m['ratio']:.3f} -- target <= 1.15: "
              f"{verdict(m['ratio'] <= 1.15)}")
    elif args.mem_events:
        print("  memory: not measured, mallinfo2 is missing (glibc 2.33 or newer is needed)")
    if callgrind:
        print()
        print(f"callgrind profiles in {outdir} (callgrind_annotate FILE; .1: size n, .2: size 2n):")
        for per_event, events, path in callgrind.values():
            print(f"  {os.path.basename(path):<44} +{events:>6} events {per_event:8.0f} Ir/event")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="workload size factor (default 1.0: 6 000 to 11 000 events per repetition)")
    parser.add_argument("--reps", type=int, default=41, help="timed repetitions per configuration")
    parser.add_argument("--depths", default="5,200",
                        help="stack depths (recorded frames) of the recorded workload, comma-separated")
    parser.add_argument("--mem-events", type=int, default=200_000,
                        help="events recorded for the memory measurement (0: skip it)")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per event under valgrind's callgrind")
    parser.add_argument("--callgrind-scale", type=float, default=1.0,
                        help="workload size factor of the callgrind runs, which are ~50x slower "
                             "(default 1.0)")
    parser.add_argument("--callgrind-dir", help="where to keep the callgrind profiles")
    parser.add_argument("--callgrind-child", help=argparse.SUPPRESS)
    parser.add_argument("--exceptions", action="store_true",
                        help='profile with config "exceptions" on (its unwind-event callback '
                             "registered)")
    args = parser.parse_args()
    args.depths = [int(d) for d in args.depths.split(",")]

    here = os.path.abspath(__file__)
    if "lib/python" in here or "/site-packages/" in here:
        raise SystemExit(f"{here} would be filtered out as library code; run it from the repository")
    sys.setrecursionlimit(max(sys.getrecursionlimit(), max(args.depths) + 200))
    if args.callgrind_child:
        callgrind_child(args)
        return

    setup = Setup(args.exceptions)
    work = Workloads(args.scale)
    print(f"measuring on Python {platform.python_version()} ...", file=sys.stderr, flush=True)
    rows = measure(setup, work, args)
    memory = measure_memory(setup, args.mem_events) if args.mem_events > 0 else None
    callgrind, outdir = run_callgrind(args, rows) if args.callgrind else (None, None)
    report(args, rows, memory, callgrind, outdir)


if __name__ == "__main__":
    main()
