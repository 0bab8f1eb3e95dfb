"""Reading stored traces: export time and peak memory for a large trace, and find
across a large store. Every figure comes from a fresh process running the command
(or a one-line script), timed by wall clock; its peak resident size is the process's
own high-water mark (VmHWM), which unlike wait4's figure leaves out the pages of the
benchmark process it was forked from.

    python benchmarks/bench_reading.py export [--records 1000000]
    python benchmarks/bench_reading.py find [--traces 1000] [--megabytes 500]
    python benchmarks/bench_reading.py facts --documents STORE
    python benchmarks/bench_reading.py codec --documents STORE

facts: how fast the engine reads a document's facts (records, times, each function's
calls), as every save does, over the documents of a store of real traces (the least of
three passes, in this process). codec: the bytes a store keeps for each document and
the time to write and read them, packed or as zstd alone.

Run it with the interpreter of a virtual environment where tavo is installed.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import trace_data  # noqa: E402

from tavo import db  # noqa: E402


# Runs the code in argv[1], then reports the process's peak resident size (kB).
_WRAPPER = ("import re, sys\nexec(sys.argv[1])\nstatus = open('/proc/self/status').read()\n"
            "print('VmHWM', re.search(r'VmHWM:\\s+(\\d+)', status).group(1), file=sys.stderr)")


def run(code: str, cwd: str) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of a fresh interpreter running ``code``."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", _WRAPPER, code], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    peak = [line.split()[1] for line in result.stderr.splitlines() if line.startswith("VmHWM ")]
    if result.returncode != 0 or not peak:
        raise SystemExit(f"{code} failed: {result.stderr}")
    return elapsed, int(peak[0]) / 1024


def tavo(*words: str) -> str:
    return f"from tavo.cli import main\nif main({list(words)!r}): raise SystemExit(1)"


def bench_export(records: int, workdir: str) -> None:
    store = os.path.join(workdir, "big.sqlite3")
    trace_id = "trc_" + "1" * 26
    blob = trace_data.document(records, trace_id=trace_id)
    db.save_trace_in_sqlite(store, trace_id, timeout=60, msgpack=blob)
    print(f"trace: {db.list_traces(store)[0]['records']} records, document "
          f"{len(blob) / 2**20:.1f} MiB")
    del blob
    load = f"from tavo import db; [(_, b)] = db.iter_documents({store!r}, [1])"
    rows = [("load the document only", load, None),
            ("decode it whole (reference)", load + "; d = db.decode_document(b)", None)]
    for fmt in ("chrome", "speedscope", "json"):
        out = os.path.join(workdir, f"out.{fmt}.json")
        rows.append((f"export --format {fmt}",
                     tavo("export", trace_id, "--format", fmt, "-o", out, "--db", store), out))
    print(f"{'':32} {'seconds':>8} {'peak MiB':>9} {'output MiB':>11}")
    for title, code, out in rows:
        elapsed, peak = run(code, workdir)
        size = f"{os.path.getsize(out) / 2**20:.1f}" if out else ""
        print(f"{title:32} {elapsed:8.2f} {peak:9.1f} {size:>11}", flush=True)


def bench_find(traces: int, megabytes: int, workdir: str) -> None:
    store = os.path.join(workdir, "store.sqlite3")
    per_trace = megabytes * 2**20 // traces
    sample = trace_data.document(1000)
    records = max(int(1000 * per_trace / len(sample)) // 2 * 2, 4)
    rare = "app.rare_function"
    started = time.perf_counter()
    for index in range(traces):
        functions = ["app.load", "app.parse", "app.Model.save", "app.render"]
        if index % 100 == 0:
            functions.append(rare)  # in 1 trace in 100
        blob = trace_data.document(records, label=f"tests/test_{index % 10}.py::test_{index}",
                                   functions=functions, trace_id=f"trc_{index:026d}")
        db.save_trace_in_sqlite(store, f"trc_{index:026d}", timeout=60, msgpack=blob)
    size = os.path.getsize(store) / 2**20
    print(f"store: {traces} traces of {records} records, {size:.0f} MiB "
          f"(built in {time.perf_counter() - started:.0f} s)")
    cases = [
        ("a function in 1 trace in 100", [rare]),
        ("a function in every trace, --arg n=7", ["app.parse", "--arg", "n=7"]),
        ("a glob in every trace, --label 1 in 10", ["app.*save", "--label", "tests/test_3.py*"]),
        ("a name in no trace", ["app.missing"]),
    ]
    print(f"{'':42} {'seconds':>8} {'peak MiB':>9}")
    for title, words in cases:
        elapsed, peak = run(tavo("find", *words, "--db", store), workdir)
        print(f"{title:42} {elapsed:8.2f} {peak:9.1f}", flush=True)


def bench_facts(store: str) -> None:
    from tavo import _tavo

    rows = [trace["id"] for trace in db.list_traces(store)]
    documents = [document for _, document in db.iter_documents(store, rows)]
    size = sum(map(len, documents))
    best = least_time(lambda: [_tavo.describe_document(document) for document in documents])
    print(f"{len(documents)} documents, {size / 2**20:.1f} MiB: facts read in {best:.3f} s, "
          f"{size / best / 2**30:.2f} GiB/s")


def least_time(work: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - started)
    return best


def bench_codec(store: str) -> None:
    """Each document of a store kept as zstd alone (what an earlier tavo stored) and
    packed, then zstd: the bytes stored, and the time to write and read them all."""
    from tavo.stores import codec

    rows = [trace["id"] for trace in db.list_traces(store)]
    documents = [document for _, document in db.iter_documents(store, rows)]
    print(f"{len(documents)} documents, {sum(map(len, documents)) / 2**20:.1f} MiB "
          f"(least of three passes)")
    print(f"{'':18} {'stored MiB':>10} {'write s':>8} {'read s':>7}")
    ways = [("zstd", lambda d: (codec.zstd.compress(d, level=codec._LEVEL), codec.ZSTD)),
            ("packed, zstd", codec.encode)]
    for title, encode in ways:
        stored = [encode(document) for document in documents]
        assert [codec.decode(*row) for row in stored] == documents
        write = least_time(lambda: [encode(document) for document in documents])
        read = least_time(lambda: [codec.decode(*row) for row in stored])
        print(f"{title:18} {sum(len(data) for data, _ in stored) / 2**20:10.2f} "
              f"{write:8.3f} {read:7.3f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    export = sub.add_parser("export")
    export.add_argument("--records", type=int, default=1_000_000)
    find = sub.add_parser("find")
    find.add_argument("--traces", type=int, default=1000)
    find.add_argument("--megabytes", type=int, default=500)
    facts = sub.add_parser("facts")
    facts.add_argument("--documents", required=True, metavar="STORE")
    kept = sub.add_parser("codec")
    kept.add_argument("--documents", required=True, metavar="STORE")
    args = parser.parse_args()
    if args.what in ("facts", "codec"):
        (bench_facts if args.what == "facts" else bench_codec)(args.documents)
        return
    with tempfile.TemporaryDirectory(prefix="tavo-bench-") as workdir:
        if args.what == "export":
            bench_export(args.records, workdir)
        else:
            bench_find(args.traces, args.megabytes, workdir)


if __name__ == "__main__":
    main()
