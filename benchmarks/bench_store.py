"""The store against the store of another commit, on the same traces: saving them, the
size they take, and listing, showing and searching them, on SQLite and on PostgreSQL.

    python benchmarks/bench_store.py [--before PYTHON | --baseline REF] [--traces 1000]
                                     [--records 2000] [--stores sqlite,postgresql]
                                     [--documents FILE]

Run it with the interpreter of a virtual environment where tavo is installed, from the
repository. The version measured against is either the tavo installed for another
interpreter (--before: the python of a virtual environment built from the older
checkout), or the host package of a commit taken from git (--baseline, see baseline.py;
the installed engine serves both). Every figure comes from a fresh process, timed by wall
clock from the parent, so interpreter start-up is in it; each command runs --repeat
times (default 3), alternating the two versions, and the least time is shown.

The traces are --traces synthetic documents of --records records each (trace_data.py:
nested calls of four functions over two threads), one in a hundred also calling
app.rare_function, and the one in the middle has as many records as make about
--show-mib MiB; or, with --documents FILE, the documents of a store of real traces
(a SQLite store of either layout), each saved once.

Rows:
- save: all the traces saved one by one through tavo.db.save_trace_in_sqlite, as the
  engine saves them (in one process; its start-up left out), and the store's size after.
- traces --limit 3, traces: the newest three, and every trace.
- show: one trace (from the middle of the store) as a call tree.
- find rare: every call of app.rare_function (in 1 trace in 100).
- find first 20: the time until the 20th line of `find app.parse` (in every trace) is
  printed, when the process is stopped.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import platform
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import baseline  # noqa: E402
import msgpack  # noqa: E402
import trace_data  # noqa: E402

RARE = "app.rare_function"
COMMON = "app.parse"

# Saves the documents of a file (a MessagePack list of [trace id, document]) into a
# store, prints the seconds the saves took.
_SAVE = """
import sys, time, msgpack
from tavo import db
documents = msgpack.unpackb(open(sys.argv[1], "rb").read())
started = time.perf_counter()
for trace_id, document in documents:
    db.save_trace_in_sqlite(sys.argv[2], trace_id, timeout=60, msgpack=document)
print(time.perf_counter() - started)
"""


def synthetic(traces: int, records: int, show_mib: float) -> list[tuple[str, bytes]]:
    documents = []
    probe = len(trace_data.document(records))
    for index in range(traces):
        count = records
        if index == traces // 2:  # the one shown
            count = int(records * show_mib * 2**20 / probe) // 4 * 4
        functions = ["app.load", "app.parse", "app.Model.save", "app.render"]
        if index % 100 == 0:
            functions.append(RARE)
        trace_id = f"trc_{index:026d}"
        documents.append((trace_id, trace_data.document(
            count, label=f"tests/test_{index % 10}.py::test_{index}", functions=functions,
            trace_id=trace_id)))
    return documents


def real(path: str) -> list[tuple[str, bytes]]:
    """The documents of a SQLite store of either layout."""
    from tavo.stores import TraceQuery, open_store

    with open_store(path) as store:
        rows = store.summaries(TraceQuery(newest_first=False))
        return [(row["trace_id"], blob) for row, blob in store.load_rows([r["id"] for r in rows])]


def _clean(path: str) -> None:
    for suffix in ("", "-wal", "-shm", "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path + suffix)


def sqlite_size(path: str) -> int:
    return sum(os.path.getsize(path + s) for s in ("", "-wal") if os.path.exists(path + s))


def postgres_size(url: str) -> int:
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        return conn.execute("SELECT sum(pg_total_relation_size(relid)) FROM pg_stat_user_tables"
                            ).fetchone()[0]


def wall(command: list[str], env: dict[str, str], lines: int | None = None) -> float:
    """Seconds until ``command`` ends (or has printed ``lines`` lines, when it is stopped)."""
    started = time.perf_counter()
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL) as process:
        assert process.stdout is not None
        if lines is not None:
            for count, _ in enumerate(process.stdout, 1):
                if count >= lines:
                    break
            elapsed = time.perf_counter() - started
            process.kill()
            return elapsed
        process.stdout.read()
    if process.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(command)} failed ({process.returncode})")
    return time.perf_counter() - started


@contextlib.contextmanager
def postgres_server() -> Iterator[object]:
    from postgres_server import PostgresServer

    class Durable(PostgresServer):  # commits wait for the disk, as on a real server
        def command(self, action: str) -> list[str]:
            return [word.replace(" -F", "") for word in super().command(action)]

    server = Durable()
    try:
        server.start()
        yield server
    finally:
        server.remove()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", metavar="PYTHON",
                        help="interpreter whose installed tavo is the version to compare with")
    parser.add_argument("--baseline", default=None,
                        help="commit to compare with (default: where this branch left main)")
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--records", type=int, default=2000)
    parser.add_argument("--show-mib", type=float, default=2.0)
    parser.add_argument("--documents", metavar="FILE", help="a store whose documents to use")
    parser.add_argument("--stores", default="sqlite,postgresql")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if args.baseline is None and args.before is None:
        args.baseline = subprocess.run(["git", "-C", HERE, "merge-base", "HEAD", "main"],
                                       check=True, capture_output=True, text=True).stdout.strip()
    documents = (real(args.documents) if args.documents
                 else synthetic(args.traces, args.records, args.show_mib))
    total = sum(len(blob) for _, blob in documents)
    print(f"{platform.node()} {platform.machine()} {os.cpu_count()} CPUs, load "
          f"{os.getloadavg()[0]:.1f} | Python {platform.python_version()} | SQLite "
          f"{sqlite3.sqlite_version}")
    print(f"{len(documents)} traces, {total / 2**20:.1f} MiB of documents")
    with tempfile.TemporaryDirectory(prefix="tavo-bench-store-") as work, \
            contextlib.ExitStack() as stack:
        source = os.path.join(work, "documents.msgpack")
        with open(source, "wb") as file:
            file.write(msgpack.packb(documents))
        middle_id, middle = documents[len(documents) // 2]
        print(f"shown: {middle_id}, {len(middle) / 2**20:.1f} MiB")
        now = (sys.executable, dict(os.environ))
        if args.before:
            versions = {"before": (args.before, dict(os.environ)), "now": now}
        else:
            old = stack.enter_context(baseline.package(args.baseline))
            versions = {f"before ({old.commit})": (sys.executable, old.environment()), "now": now}
        for name, (python, _) in versions.items():
            print(f"{name}: {python}")
        for kind in args.stores.split(","):
            if kind == "postgresql":
                server = stack.enter_context(postgres_server())
                locations = {name: server.new_database() for name in versions}
            else:
                locations = {name: os.path.join(work, f"{i}.sqlite3")
                             for i, name in enumerate(versions)}
            bench(kind, versions, locations, source, middle_id, args.repeat)


def bench(kind: str, versions: dict[str, tuple[str, dict[str, str]]],
          locations: dict[str, str], source: str, middle: str, repeat: int) -> None:
    rows: dict[str, dict[str, float]] = {}
    sizes: dict[str, int] = {}
    for name, (python, env) in versions.items():
        location = locations[name]
        if kind == "sqlite":
            _clean(location)
        result = subprocess.run([python, "-c", _SAVE, source, location], env=env,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise SystemExit(f"saving failed ({name}): {result.stderr}")
        rows.setdefault("save", {})[name] = float(result.stdout)
        sizes[name] = sqlite_size(location) if kind == "sqlite" else postgres_size(location)
    commands = [
        ("traces --limit 3", ["traces", "--limit", "3"], None),
        ("traces", ["traces"], None),
        ("show", ["show", middle], None),
        ("find rare", ["find", RARE], None),
        ("find first 20", ["find", COMMON], 20),
    ]
    for title, words, lines in commands:
        for _ in range(repeat):
            for name, (python, env) in versions.items():
                seconds = wall([python, "-m", "tavo", *words, "--db", locations[name]], env,
                               lines)
                best = rows.setdefault(title, {}).get(name)
                rows[title][name] = seconds if best is None else min(best, seconds)
    old, new = versions
    print(f"\n{kind}: seconds (least of {repeat}, save once)")
    print(f"{'':18} {old:>18} {new:>10} {'ratio':>7}")
    for title, by_version in rows.items():
        print(f"{title:18} {by_version[old]:18.3f} {by_version[new]:10.3f} "
              f"{by_version[new] / by_version[old]:7.3f}")
    print(f"{'store size MiB':18} {sizes[old] / 2**20:18.1f} {sizes[new] / 2**20:10.1f} "
          f"{sizes[new] / sizes[old]:7.3f}", flush=True)


if __name__ == "__main__":
    if shutil.which("git") is None:
        raise SystemExit("bench_store: git is needed to take the baseline's package")
    main()
