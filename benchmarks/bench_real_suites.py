#!/usr/bin/env python3
"""Real test suites run with and without tavo: outcomes, peak memory, time.

Run from a virtual environment with tavo and pytest installed:

    python benchmarks/bench_real_suites.py [--cache DIR] [--memory-cap BYTES]

Each project's source distribution (which ships its tests) is downloaded once
into the cache with ``pip download --no-binary :all: --no-deps``, unpacked into
a temporary folder and its suite run from there, so that the project's code is
user code that tavo records. Each suite runs twice on the interpreter running
this script: plain ``python -m pytest``, then with ``--tavo`` and a temporary
``--tavo-db`` once per engine (``--tavo-engine profile``, ``monitoring``). Each run is measured by ``/usr/bin/time -v`` (elapsed time, peak
resident memory) under ``prlimit --as`` (a run that would exhaust the machine
fails instead) and a time limit. The table gives each run's outcome counts, its peak memory and
the ratio of its time to the plain run's; "same" says whether the outcome
counts are identical.
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

# (distribution, version): small pure-Python projects whose sdists ship their tests.
PROJECTS = [("toolz", "1.2.0"), ("more-itertools", "11.2.1")]
DEFAULT_CACHE = Path.home() / ".cache" / "tavo-bench-suites"
DEFAULT_CAP = 6_000_000_000
OUTCOME = re.compile(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed)\b")


@dataclass
class Run:
    outcome: dict[str, int]
    seconds: float
    peak_mb: float
    exit_code: int

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


def run_suite(source: Path, extra: list[str], cap: int, timeout: float) -> Run:
    report = source / ".time-report"
    command = ["prlimit", f"--as={cap}", "/usr/bin/time", "-v", "-o", str(report),
               sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra]
    logger.info("running %s in %s", " ".join(command), source)
    # A session of its own, so that a run over the time limit is ended whole.
    child = subprocess.Popen(command, cwd=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)
    try:
        stdout, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return Run({"timeout": 1}, timeout, 0.0, -1)
    lines = stdout.strip().splitlines()
    summary = lines[-1] if lines else ""
    outcome = {kind.rstrip("s") if kind.startswith("error") else kind: int(n)
               for n, kind in OUTCOME.findall(summary)}
    if not outcome:
        logger.warning("no pytest summary (exit %d): %s", child.returncode,
                       (stderr.strip().splitlines() or [""])[-1])
    times = report.read_text() if report.exists() else ""
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", times)
    elapsed = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", times)
    seconds = 0.0
    if elapsed:
        for part in elapsed.group(1).split(":"):
            seconds = seconds * 60 + float(part)
    return Run(outcome, seconds, int(peak.group(1)) / 1024 if peak else 0.0, child.returncode)


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
    header = (f"{'project':<22} {'mode':<10} {'outcome':<32} {'exit':>4} {'peak MB':>8} "
              f"{'seconds':>8} {'ratio':>6} {'same':>5}")
    print(header)
    print("-" * len(header), flush=True)
    for name, version in projects:
        archive = sdist(name, version, args.cache)
        with tempfile.TemporaryDirectory(prefix="tavo-suite-") as tmp:
            source = unpack(archive, Path(tmp))
            plain = run_suite(source, [], args.memory_cap, args.timeout)
            row(name, version, "plain", plain, plain)
            for engine in ("profile", "monitoring"):
                traced = run_suite(source, ["--tavo", "--tavo-engine", engine, "--tavo-db",
                                            str(Path(tmp) / f"trace-{engine}.db")],
                                   args.memory_cap, args.timeout)
                row(name, version, engine, traced, plain)


def row(name: str, version: str, mode: str, run: Run, plain: Run) -> None:
    ratio = run.seconds / plain.seconds if plain.seconds else float("nan")
    same = "yes" if run.outcome == plain.outcome else "NO"
    print(f"{name + ' ' + version:<22} {mode:<10} {run.counts():<32} {run.exit_code:>4} "
          f"{run.peak_mb:8.0f} {run.seconds:8.1f} {ratio:6.2f} {same:>5}", flush=True)


if __name__ == "__main__":
    main()
