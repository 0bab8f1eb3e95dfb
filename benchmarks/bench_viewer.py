"""Time to first paint of the trace viewer in headless Chromium, for traces of given sizes.

    python benchmarks/bench_viewer.py                     # 10k, 200k and 1M records
    python benchmarks/bench_viewer.py --records 200000 --reps 5
    python benchmarks/bench_viewer.py --records 10000,200000 --html   # also the one-file page

Each trace is recorded for real (a tree of small calls with an argument and a local each)
into a temporary database; the viewer's server serves it, and a fresh page load of the
trace is timed from navigation start until the timeline and the call tree have painted.
With --html, the page written by `tavo view TRACE_ID --html FILE` is timed too, opened from
the file.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import tavo
from tavo import db
from tavo.viewer.page import standalone_page
from tavo.viewer.server import ViewerServer


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
    with tavo.profile(db_path, source="bench") as p:
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


def first_paint(driver, url: str) -> dict[str, float]:
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get("about:blank")
    driver.get(url)
    WebDriverWait(driver, 300, poll_frequency=0.05).until(
        lambda d: d.execute_script("return document.body.dataset.ready") in ("trace", "error"))
    if driver.execute_script("return document.body.dataset.ready") == "error":
        raise RuntimeError(driver.find_element("css selector", "main").text)
    return driver.execute_script("""
        var mark = function (name) { var m = performance.getEntriesByName(name); return m.length ? m[0].startTime : NaN; };
        return {fetched: mark("tavo:fetched"), indexed: mark("tavo:indexed"), painted: window.tavoFirstPaint};
    """)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", default="10000,200000,1000000",
                        help="trace sizes, comma-separated (default: 10000,200000,1000000)")
    parser.add_argument("--reps", type=int, default=3, help="page loads per size (default 3)")
    parser.add_argument("--html", action="store_true", help="also time the self-contained file")
    args = parser.parse_args()
    sizes = [int(n) for n in args.records.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        db_path = os.path.join(tmp, "bench.sqlite3")
        traces = []
        for size in sizes:
            started = time.perf_counter()
            trace_id = record(db_path, size)
            summary = db.list_traces(db_path, trace_id)[-1]
            traces.append(summary)
            print(f"recorded {summary['records']} records ({summary['size'] / 2**20:.1f} MiB) "
                  f"in {time.perf_counter() - started:.1f} s", file=sys.stderr)
        server = ViewerServer(db_path)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        driver = browser()
        try:
            print(f"{'records':>9} {'MiB':>7} {'fetched ms':>11} {'indexed ms':>11} {'first paint ms':>15}"
                  f"  (medians of {args.reps}; min first paint)")
            for summary in traces:
                url = f"{server.url}#/trace/{summary['trace_id']}/{summary['id']}"
                runs = [first_paint(driver, url) for _ in range(args.reps)]
                med = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
                best = min(run["painted"] for run in runs)
                print(f"{summary['records']:>9} {summary['size'] / 2**20:>7.1f} {med['fetched']:>11.0f} "
                      f"{med['indexed']:>11.0f} {med['painted']:>15.0f}  (min {best:.0f})", flush=True)
                if args.html:
                    page = os.path.join(tmp, "page.html")
                    blob = next(b for s, b in db.load_traces(db_path, summary["trace_id"])
                                if s["id"] == summary["id"])
                    with open(page, "wb") as file:
                        file.write(standalone_page(summary, blob))
                    runs = [first_paint(driver, "file://" + page) for _ in range(args.reps)]
                    print(f"{'(file)':>9} {os.path.getsize(page) / 2**20:>7.1f} {'':>11} "
                          f"{statistics.median(r['indexed'] for r in runs):>11.0f} "
                          f"{statistics.median(r['painted'] for r in runs):>15.0f}", flush=True)
        finally:
            driver.quit()
            server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
