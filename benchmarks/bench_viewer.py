"""The trace viewer on traces of given sizes, in headless Chromium: time to first paint
(served, and as the one-file page), the memory that writing the one-file page takes, and
the time each zoom, pan and select takes once the page is up.

    python benchmarks/bench_viewer.py                     # 10k, 200k and 1M records
    python benchmarks/bench_viewer.py --records 200000 --reps 5
    python benchmarks/bench_viewer.py --baseline DIR      # against another version, same run

With --baseline, DIR holds another version's `tavo` package (a copy of an earlier install);
its server and its `tavo view --html` run as well, in processes that import it first, and
each measurement alternates between the two versions, so both meet the same machine load.

Each trace is recorded for real (a tree of small calls with an argument and a local each)
into a temporary database. Served: the viewer's own server serves it, and a fresh page load
of the trace is timed from navigation start until the timeline and the call tree have
painted. File: `tavo view TRACE_ID --html FILE` runs in a fresh interpreter (its wall time
and peak resident size, VmHWM, are taken; the same interpreter importing the command alone
is the baseline), then the file is opened and timed the same way. Interactions: on the
served page, keys and clicks are sent to the timeline and the tree; each is timed from the
event until the frame it caused has been drawn and laid out.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import tavo
from tavo import db


def leaf(i):
    doubled = i * 2
    return doubled


def branch(depth, width):
    total = 0
    for i in range(width):
        total += branch(depth - 1, width) if depth > 1 else leaf(i)
    return total


def record(db_path: str, records: int) -> str:
    """A trace of about ``records`` records (each call writes two)."""
    calls, width, depth = records // 2, 10, 1
    while width ** (depth + 1) < calls:
        depth += 1
    # Complete trees of `depth` levels, as many as it takes.
    per_tree = sum(width ** d for d in range(1, depth + 1)) + 1
    # Room for every record: the default buffer budget would drop some of a million.
    with tavo.profile(db_path, config={"buffer_budget": 1 << 31}, source="bench") as p:
        for _ in range(max(1, round(calls / per_tree))):
            branch(depth, width)
    return p.trace_id


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900"):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))


def first_paint(driver, url: str) -> float:
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get("about:blank")
    driver.get(url)
    WebDriverWait(driver, 300, poll_frequency=0.05).until(
        lambda d: d.execute_script("return document.body.dataset.ready") in ("trace", "error"))
    if driver.execute_script("return document.body.dataset.ready") == "error":
        raise RuntimeError(driver.find_element("css selector", "main").text)
    return driver.execute_script("return window.tavoFirstPaint")


# Sends one event and calls back with the milliseconds it cost: the handler's own time,
# plus the animation frame after it (the redraws it asked for) up to a forced layout.
_ACTION = """
var what = arguments[0], done = arguments[arguments.length - 1];
var canvas = document.querySelector("#timeline canvas"), tree = document.getElementById("tree");
function key(target, name) { target.dispatchEvent(new KeyboardEvent("keydown", {key: name, bubbles: true})); }
requestAnimationFrame(function () { setTimeout(function () {
  var t0 = performance.now();
  if (what === "zoom") key(canvas, "w");
  else if (what === "unzoom") key(canvas, "s");
  else if (what === "pan") key(canvas, "d");
  else if (what === "select") key(tree, "ArrowDown");
  else if (what === "click") {
    var r = canvas.getBoundingClientRect(), x = r.left + r.width * 0.37, y = r.top + 50;
    ["mousedown", "mouseup"].forEach(function (type) {
      canvas.dispatchEvent(new MouseEvent(type, {clientX: x, clientY: y, bubbles: true}));
    });
  }
  var handled = performance.now() - t0;
  requestAnimationFrame(function (frame) {
    var drawn = performance.now() - frame;
    document.body.offsetHeight;  // layout of what changed
    var laid = performance.now() - frame;
    done(handled + Math.max(drawn, laid));
  });
}, 0); });
"""


def interactions(driver, url: str) -> dict[str, float]:
    """Median and worst milliseconds per kind of interaction on the page at ``url``."""
    first_paint(driver, url)
    driver.execute_script("document.querySelector('#tree .trow:not(.thread) .name').click()")
    times: dict[str, list[float]] = {"zoom": [], "pan": [], "select": []}
    for _ in range(8):
        times["zoom"].append(driver.execute_async_script(_ACTION, "zoom"))
        times["pan"].append(driver.execute_async_script(_ACTION, "pan"))
        times["select"].append(driver.execute_async_script(_ACTION, "select"))
        times["select"].append(driver.execute_async_script(_ACTION, "click"))
    for _ in range(8):
        times["zoom"].append(driver.execute_async_script(_ACTION, "unzoom"))
    return {kind: (statistics.median(v), max(v)) for kind, v in times.items()}


# Runs the code in argv[1], then reports the process's peak resident size (kB).
_WRAPPER = ("import re, sys\nexec(sys.argv[1])\nstatus = open('/proc/self/status').read()\n"
            "print('VmHWM', re.search(r'VmHWM:\\s+(\\d+)', status).group(1), file=sys.stderr)")
# Serves the store in argv[1] and prints the page's address.
_SERVER = ("import sys\nfrom tavo.viewer.server import ViewerServer\n"
           "server = ViewerServer(sys.argv[1])\nprint(server.url, flush=True)\nserver.serve_forever()")


class Version:
    """The tavo a server and a writer import: this one, or the one in ``path``."""

    def __init__(self, name: str, path: str | None) -> None:
        self.name = name
        self.env = dict(os.environ)
        if path is not None:
            self.env["PYTHONPATH"] = os.pathsep.join(filter(None, [path, os.environ.get("PYTHONPATH")]))
        self.server: subprocess.Popen | None = None
        self.url = ""

    def serve(self, db_path: str) -> None:
        self.server = subprocess.Popen([sys.executable, "-c", _SERVER, db_path], env=self.env,
                                       stdout=subprocess.PIPE, text=True)
        self.url = self.server.stdout.readline().strip()

    def stop(self) -> None:
        if self.server is not None:
            self.server.kill()
            self.server.wait()


def run_measured(code: str, env: dict[str, str] | None = None) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of a fresh interpreter running ``code``."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", _WRAPPER, code], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, env=env)
    elapsed = time.perf_counter() - start
    peak = [line.split()[1] for line in result.stderr.splitlines() if line.startswith("VmHWM ")]
    if result.returncode != 0 or not peak:
        raise SystemExit(f"{code} failed: {result.stderr}")
    return elapsed, int(peak[0]) / 1024


def write_page(db_path: str, trace_id: str, page: str, env: dict[str, str]) -> tuple[float, float]:
    words = ["view", trace_id, "--db", db_path, "--html", page]
    return run_measured(f"from tavo.cli import main\nif main({words!r}): raise SystemExit(1)", env)


def alternate(versions: list[Version], reps: int, measure) -> dict[str, list]:
    """``measure(version)`` ``reps`` times for each version, the versions taking turns."""
    results: dict[str, list] = {v.name: [] for v in versions}
    for _ in range(reps):
        for version in versions:
            results[version.name].append(measure(version))
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", default="10000,200000,1000000",
                        help="trace sizes, comma-separated (default: 10000,200000,1000000)")
    parser.add_argument("--reps", type=int, default=3, help="page loads per size (default 3)")
    parser.add_argument("--baseline", metavar="DIR",
                        help="a folder holding another version's tavo package, measured too")
    args = parser.parse_args()
    sizes = [int(n) for n in args.records.split(",")]
    versions = [Version("this", None)] + ([Version("baseline", args.baseline)] if args.baseline else [])
    print(f"{platform.node()}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}; "
          f"Python {platform.python_version()}; tavo {tavo.__file__}"
          + (f"; baseline {args.baseline}" if args.baseline else ""))
    mib = 2 ** 20
    with tempfile.TemporaryDirectory() as tmp:
        db_path = os.path.join(tmp, "bench.sqlite3")
        traces = []
        for size in sizes:
            started = time.perf_counter()
            trace_id = record(db_path, size)
            summary = db.list_traces(db_path, trace_id)[-1]
            traces.append(summary)
            print(f"recorded {summary['records']} records ({summary['size'] / mib:.1f} MiB) "
                  f"in {time.perf_counter() - started:.1f} s", file=sys.stderr)
        floors = {v.name: run_measured("import tavo.cli, tavo.cli.view, tavo.viewer.page", v.env)[1]
                  for v in versions}
        for version in versions:
            version.serve(db_path)
        driver = browser()
        driver.set_script_timeout(120)
        rows = []
        try:
            for summary in traces:
                route = f"#/trace/{summary['trace_id']}/{summary['id']}"
                served = alternate(versions, args.reps, lambda v: first_paint(driver, v.url + route))
                pages = {v.name: os.path.join(tmp, f"{v.name}.html") for v in versions}
                written = alternate(versions, 1, lambda v: write_page(db_path, summary["trace_id"],
                                                                      pages[v.name], v.env))
                filed = alternate(versions, args.reps,
                                  lambda v: first_paint(driver, "file://" + pages[v.name]))
                acts = alternate(versions, 1, lambda v: interactions(driver, v.url + route))
                for v in versions:
                    rows.append((v.name, summary, served[v.name], filed[v.name], *written[v.name][0],
                                 os.path.getsize(pages[v.name]), acts[v.name][0], floors[v.name]))
                print(f"measured {summary['records']} records", file=sys.stderr, flush=True)
        finally:
            driver.quit()
            for version in versions:
                version.stop()
    print(f"\nfirst paint, ms from navigation start (median of {args.reps}, min in brackets)")
    print(f"{'version':>9} {'records':>9} {'doc MiB':>8} {'served':>14} {'file':>14} {'file MiB':>9}")
    for name, summary, served, filed, _, _, size, _, _ in rows:
        print(f"{name:>9} {summary['records']:>9} {summary['size'] / mib:>8.1f} "
              f"{statistics.median(served):>6.0f} ({min(served):>5.0f}) "
              f"{statistics.median(filed):>6.0f} ({min(filed):>5.0f}) {size / mib:>9.1f}")
    print("\nwriting the file with `tavo view --html` (a fresh interpreter; `import` is its peak "
          "when it only imports the command)")
    print(f"{'version':>9} {'records':>9} {'doc MiB':>8} {'seconds':>8} {'peak MiB':>9} {'import':>7}"
          f" {'(peak - import) / doc':>22}")
    for name, summary, _, _, seconds, peak, _, _, floor in rows:
        print(f"{name:>9} {summary['records']:>9} {summary['size'] / mib:>8.1f} {seconds:>8.1f} "
              f"{peak:>9.0f} {floor:>7.0f} {(peak - floor) / (summary['size'] / mib):>22.2f}")
    print("\ninteractions on the served page, ms per event (median / worst of 16)")
    print(f"{'version':>9} {'records':>9} {'zoom':>14} {'pan':>14} {'select':>14}")
    for name, summary, *_, acts, _ in rows:
        print(f"{name:>9} {summary['records']:>9} " + " ".join(
            f"{acts[k][0]:>6.1f} /{acts[k][1]:>6.1f}" for k in ("zoom", "pan", "select")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
