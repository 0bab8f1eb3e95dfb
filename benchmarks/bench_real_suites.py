#!/usr/bin/env python3
"""Real test suites run with and without tavo: outcomes, time, memory, store, losses.

Run from a virtual environment with tavo and pytest installed:

    python benchmarks/bench_real_suites.py [--cache DIR] [--memory-cap BYTES] [--repeat N]
        [--project NAME==VERSION] [--engine ENGINE] [--tavo-option=OPTION]

Each project's source distribution (which ships its tests) is downloaded once
into the cache with ``pip download --no-binary :all: --no-deps``, unpacked into
a temporary folder and its suite run from there, so that the project's code is
user code that tavo records (a src/ layout is put on PYTHONPATH). What a suite's
tests need beyond pytest is installed once per interpreter into a folder of the
cache named site-packages (so that tavo counts it as library code), also put on
PYTHONPATH: the environment running this script is left as it is. Each suite
runs plain ``python -m pytest``, then with ``--tavo`` and a temporary
``--tavo-db`` once per engine (``--tavo-engine profile``, ``monitoring``), on
the interpreter running this script; ``--repeat N`` runs that sequence N times,
and ``--tavo-option`` adds a pytest option to every traced run (the budgets'
cost: ``--tavo-option=--tavo-value-budget=1024``).
Each run is measured by ``/usr/bin/time -v`` (elapsed time, peak resident
memory, file system output) under ``prlimit --as`` (a run that would exhaust the
machine fails instead) and a time limit. The table gives each run's outcome
counts, its peak memory, the ratio of its time to the plain run's before it,
whether the outcome counts are identical ("same"), the store's size after the
run, the bytes the run wrote to disk, and the values shortened and records
dropped that the pytest summary reported.
"""

import argparse
import logging
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
from dataclasses import dataclass
from pathlib import Path

import tavo

logger = logging.getLogger("tavo")

# Small pure-Python projects whose sdists ship their tests: (distribution, version),
# and what their tests need beyond pytest (installed with --no-deps, so that nothing
# here shadows the environment's pytest; the list is complete).
PROJECTS = [("toolz", "1.2.0"), ("more-itertools", "11.2.1"), ("attrs", "26.1.0"),
            ("python-dateutil", "4.0.0"), ("sqlparse", "0.5.3")]
TEST_NEEDS = {
    "attrs": ["hypothesis==6.170.29", "sortedcontainers==2.4.0", "pympler==1.1",
              "cloudpickle==3.1.3"],
    # pytest-cov registers the no_cover mark the suite uses (warnings are errors there).
    "python-dateutil": ["hypothesis==6.170.29", "sortedcontainers==2.4.0", "freezegun==1.5.5",
                        "pytest-cov==7.1.0", "coverage==7.18.0", "tzdata==2026.6"],
}
DEFAULT_CACHE = Path.home() / ".cache" / "tavo-bench-suites"
DEFAULT_CAP = 6_000_000_000
OUTCOME = re.compile(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed)\b")


LOSSES = re.compile(r"(\d+) (values shortened|records dropped)")


@dataclass
class Run:
    outcome: dict[str, int]
    seconds: float
    peak_mb: float
    exit_code: int
    written_mb: float = 0.0
    store_mb: float = 0.0
    shortened: int = 0
    dropped: int = 0

    def counts(self) -> str:
        return " ".join(f"{n} {k}" for k, n in sorted(self.outcome.items())) or "none"


def sdist(name: str, version: str, cache: Path) -> Path:
    """The project's source distribution, downloaded into `cache` once."""
    cache.mkdir(parents=True, exist_ok=True)
    stem = name.replace("-", "_")
    found = [p for p in cache.iterdir() if p.name.lower().startswith(
        (f"{stem}-{version}.", f"{name}-{version}.")) and p.name.endswith(".tar.gz")]
    if not found:
        subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-binary", ":all:",
                        "--no-deps", "--dest", str(cache), f"{name}=={version}"], check=True)
        return sdist(name, version, cache)
    return found[0]


def unpack(archive: Path, into: Path) -> Path:
    with tarfile.open(archive) as tar:
        tar.extractall(into, filter="data")
    (root,) = [p for p in into.iterdir() if p.is_dir()]
    return root


def test_needs(name: str, cache: Path) -> Path | None:
    """The folder holding what `name`'s tests need, installed there once for this
    interpreter; None when they need nothing."""
    needs = TEST_NEEDS.get(name)
    if not needs:
        return None
    folder = cache / f"needs-{name}-py{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages"
    done = folder / ".installed"
    if not done.exists() or done.read_text() != " ".join(needs):
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                        "--target", str(folder), *needs], check=True)
        done.write_text(" ".join(needs))
    return folder


def suite_environment(source: Path, needs: Path | None) -> dict[str, str]:
    paths = [str(source / "src")] if (source / "src").is_dir() else []
    if needs is not None:
        paths.append(str(needs))
    env = dict(os.environ)
    if paths:
        env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


def run_suite(source: Path, extra: list[str], cap: int, timeout: float,
              env: dict[str, str] | None = None, store: Path | None = None) -> Run:
    report = source / ".time-report"
    command = ["prlimit", f"--as={cap}", "/usr/bin/time", "-v", "-o", str(report),
               sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra]
    logger.info("running %s in %s", " ".join(command), source)
    # A session of its own, so that a run over the time limit is ended whole.
    child = subprocess.Popen(command, cwd=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True, env=env)
    try:
        stdout, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return Run({"timeout": 1}, timeout, 0.0, -1)
    lines = stdout.strip().splitlines()
    summary = lines[-1] if lines else ""
    losses = {kind: int(n) for line in lines if line.startswith("tavo: ")
              for n, kind in LOSSES.findall(line)}
    outcome = {kind.rstrip("s") if kind.startswith("error") else kind: int(n)
               for n, kind in OUTCOME.findall(summary)}
    if not outcome:
        logger.warning("no pytest summary (exit %d): %s", child.returncode,
                       (stderr.strip().splitlines() or [""])[-1])
    times = report.read_text() if report.exists() else ""
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", times)
    elapsed = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", times)
    # In 512-byte blocks: what the run wrote to the file system, its children too.
    written = re.search(r"File system outputs: (\d+)", times)
    seconds = 0.0
    if elapsed:
        for part in elapsed.group(1).split(":"):
            seconds = seconds * 60 + float(part)
    store_bytes = 0
    if store is not None:
        store_bytes = sum(p.stat().st_size for p in store.parent.glob(store.name + "*"))
    return Run(outcome, seconds, int(peak.group(1)) / 1024 if peak else 0.0, child.returncode,
               int(written.group(1)) * 512 / 1e6 if written else 0.0, store_bytes / 1e6,
               losses.get("values shortened", 0), losses.get("records dropped", 0))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE,
                        help=f"where the sdists are kept (default {DEFAULT_CACHE})")
    parser.add_argument("--memory-cap", type=int, default=DEFAULT_CAP, metavar="BYTES",
                        help=f"address-space limit of each run (default {DEFAULT_CAP})")
    parser.add_argument("--timeout", type=float, default=1800, metavar="SECONDS",
                        help="time limit of each run (default 1800); a run over it is "
                             "reported as 'timeout'")
    parser.add_argument("--project", action="append", metavar="NAME==VERSION",
                        help="run this project instead of the default ones (repeatable)")
    parser.add_argument("--engine", action="append", choices=("profile", "monitoring"),
                        help="run this engine only (repeatable; default both)")
    parser.add_argument("--repeat", type=int, default=1, metavar="N",
                        help="run each suite's plain and traced runs N times (default 1)")
    parser.add_argument("--tavo-option", action="append", default=[], metavar="OPTION",
                        help="add this pytest option to the traced runs (repeatable; "
                             "--tavo-option=--tavo-value-budget=1024)")
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, format="%(message)s")
    for tool in ("prlimit", "/usr/bin/time"):
        if shutil.which(tool) is None:
            raise SystemExit(f"bench_real_suites: {tool} is needed and was not found")
    projects = PROJECTS
    if args.project:
        try:
            projects = [tuple(p.split("==", 1)) for p in args.project]
            assert all(len(p) == 2 and all(p) for p in projects)
        except AssertionError:
            raise SystemExit("bench_real_suites: --project takes NAME==VERSION") from None
    print(f"tavo {tavo.__version__} | Python {platform.python_version()} ({sys.executable}) | "
          f"{platform.machine()} {os.cpu_count()} CPUs | memory cap {args.memory_cap} bytes",
          flush=True)
    header = (f"{'project':<22} {'mode':<10} {'outcome':<40} {'exit':>4} {'peak MB':>8} "
              f"{'seconds':>8} {'ratio':>6} {'same':>5} {'store MB':>9} {'written MB':>10} "
              f"{'shortened':>10} {'dropped':>11}")
    print(header)
    print("-" * len(header), flush=True)
    for name, version in projects:
        archive = sdist(name, version, args.cache)
        with tempfile.TemporaryDirectory(prefix="tavo-suite-") as tmp:
            source = unpack(archive, Path(tmp))
            env = suite_environment(source, test_needs(name, args.cache))
            for _ in range(args.repeat):
                plain = run_suite(source, [], args.memory_cap, args.timeout, env)
                row(name, version, "plain", plain, plain)
                for engine in args.engine or ("profile", "monitoring"):
                    store = Path(tmp) / f"trace-{engine}.db"
                    traced = run_suite(source, ["--tavo", f"--tavo-engine={engine}",
                                                f"--tavo-db={store}", *args.tavo_option],
                                       args.memory_cap, args.timeout, env, store)
                    row(name, version, engine, traced, plain)
                    for made in store.parent.glob(store.name + "*"):
                        made.unlink()  # the next run starts from an empty store


def row(name: str, version: str, mode: str, run: Run, plain: Run) -> None:
    ratio = run.seconds / plain.seconds if plain.seconds else float("nan")
    same = "yes" if run.outcome == plain.outcome else "NO"
    print(f"{name + ' ' + version:<22} {mode:<10} {run.counts():<40} {run.exit_code:>4} "
          f"{run.peak_mb:8.0f} {run.seconds:8.1f} {ratio:6.2f} {same:>5} {run.store_mb:9.1f} "
          f"{run.written_mb:10.1f} {run.shortened:10d} {run.dropped:11d}", flush=True)


if __name__ == "__main__":
    main()
