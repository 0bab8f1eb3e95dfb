"""The trace viewer: its server's routes and command line, and the page itself driven in a
real headless Chromium (Debian's chromium and chromedriver, installed by
scripts/system-packages) on traces of small known programs."""

import base64
import contextlib
import http.client
import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest
from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from tavo import db
from tavo.export.threads import threads
from tavo.stores import describe
from tavo.viewer.server import ViewerServer

INJECTED = '<script>window.tavoInjected = 1</script>"><img src=x onerror="window.tavoInjected = 2">'

# Two threads, a test boundary, a recursive function and a value holding HTML.
KNOWN_TEST = textwrap.dedent(f"""\
    import datetime
    import threading

    import pytest


    def stamp(when):
        return when


    def factorial(n):
        return 1 if n <= 1 else n * factorial(n - 1)


    def render(title):
        page = "<h1>" + title + "</h1>"
        return page


    def worker(results):
        results.append(factorial(4))


    def test_known():
        results = []
        thread = threading.Thread(target=worker, args=(results,), name="helper-thread")
        thread.start()
        thread.join()
        assert results == [24]
        assert render({INJECTED!r}).startswith("<h1>")
        stamp(datetime.datetime(2026, 12, 8, 18, 55, 22))


    def test_skips():
        pytest.skip("not here")
    """)

# Recorded numbers, as Python writes them in a program's source.
NUMBERS = {"big": "2**60 + 1", "negative": "-(2**63) + 1", "top": "2**64 - 1", "whole": "3.0",
           "tiny": "1e-05", "large": "1e16", "nan": "float('nan')", "inf": "float('-inf')"}

# A program that ends with sys.exit(0), after a call that ended by sys.exit(3).
EXITING = textwrap.dedent(f"""\
    import sys


    def fail():
        sys.exit(3)


    def main():
        {", ".join(NUMBERS)} = {", ".join(NUMBERS.values())}
        try:
            fail()
        except SystemExit:
            pass
        return 0


    sys.exit(main())
    """)

RECORDER = textwrap.dedent("""\
    import sys
    import pytest
    import tavo

    with tavo.profile(sys.argv[1], config={"threading": True, "pytest": True}, source="viewer-test") as p:
        status = pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[2]])
    print(p.trace_id)
    sys.exit(status)
    """)


def tavo_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavo", *args], capture_output=True, text=True,
                          timeout=60, **kwargs)


@pytest.fixture(scope="module")
def known(tmp_path_factory):
    """A database with the known program's trace, a hand-made one with an exception record and
    the exiting program's trace; gives (db path, known trace id, hand-made trace id, exiting
    program's trace id)."""
    where = tmp_path_factory.mktemp("viewer")
    (where / "known_test.py").write_text(KNOWN_TEST)
    (where / "record.py").write_text(RECORDER)
    (where / "exiting.py").write_text(EXITING)
    db_path = str(where / "traces.sqlite3")
    done = subprocess.run([sys.executable, "record.py", db_path, "known_test.py"], cwd=where,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    trace_id = done.stdout.split()[-1]
    handmade = save_handmade(db_path)
    ran = tavo_cli("run", "--db", db_path, "exiting.py", cwd=where)
    assert ran.returncode == 0, ran.stderr
    return db_path, trace_id, handmade, db.list_traces(db_path)[-1]["trace_id"]


def rec(event, name, frame_id, ts, arg=None, local=None, thread=("MainThread", 7)):
    """A frame record as the engine writes it."""
    return {"path": "app.py:3", "co_name": name, "qualname": f"app.{name}", "event": event,
            "frame_id": frame_id, "arg": arg, "locals": local or {}, "thread": thread[0],
            "thread_native_id": thread[1], "timestamp": ts, "type": "frame", "user_code_call_site": None}


def raised(frame_id, ts, kind="builtins.ValueError", message="bad <b>value</b>", thread=("MainThread", 7)):
    return {"type": "exception", "frame_id": frame_id, "exception_type": kind, "message": message,
            "timestamp": ts, "thread": thread[0], "thread_native_id": thread[1],
            "user_code_call_site": None}


def document(records, others=None, trace_id="trc_HANDMADE"):
    return msgpack.packb({"command_line_args": ["app.py"], "current_commit_sha": None,
                          "frames": others or {}, "frames_of_interest": records, "main_thread_id": 7,
                          "meta": {"version": "0", "source": "handmade", "use_frame_boundaries": True},
                          "timestamp": 10.0, "trace_id": trace_id})


def save_handmade(db_path):
    """A trace whose first return has no recorded call and whose call ended by an exception."""
    records = [rec("call", "explode", "frm_B", 10.1, local={"x": 1}),
               rec("return", "explode", "frm_B", 10.3), raised("frm_B", 10.4),
               rec("return", "outer", "frm_A", 10.5, arg=2)]
    db.save_trace_in_sqlite(db_path, "trc_HANDMADE", msgpack=document(records))
    return "trc_HANDMADE"


@contextlib.contextmanager
def serving(db_path):
    srv = ViewerServer(db_path)
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    try:
        yield srv
    finally:
        srv.shutdown()
        srv.server_close()


@pytest.fixture
def server(known):
    with serving(known[0]) as srv:
        yield srv


def get(srv, path, host=None, method="GET", token=True):
    """A request for ``path`` under the server's token (or, token=False, as it is)."""
    port = srv.server_address[1]
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.putrequest(method, f"/{srv.token}{path}" if token else path, skip_host=True)
    conn.putheader("Host", host or f"127.0.0.1:{port}")
    conn.endheaders()
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, body


def test_server_answers_only_its_own_routes(server, known):
    db_path, trace_id, *_ = known
    summary, blob = db.load_traces(db_path, trace_id)[0]
    assert get(server, f"/api/document/{trace_id}/{summary['id']}") == (200, blob)
    status, body = get(server, "/api/traces")
    assert status == 200 and trace_id.encode() in body
    for path in ("/static/../../db.py", "/static/index.html", "/etc/passwd", "/api/traces/../..",
                 f"/api/document/{trace_id}/{summary['id'] + 1000}", "/api/document/x/1",
                 f"/api/document/{trace_id}/{summary['id']}/..", "/static/%2e%2e/db.py"):
        assert get(server, path)[0] == 404, path
    assert get(server, "/", host="attacker.example")[0] == 403
    assert get(server, "/", method="POST")[0] == 501
    assert get(server, "/static/app.js")[0] == 200


@pytest.mark.parametrize("args, status, message", [
    (["trc_NOPE"], 1, "no trace trc_NOPE"),
    (["--html", "out.html"], 2, "--html needs a TRACE_ID"),
    (["--port", "70000"], 2, "--port must be between"),
])
def test_view_command_errors(known, args, status, message):
    done = tavo_cli("view", "--no-browser", "--db", known[0], *args)
    assert (done.returncode, done.stdout) == (status, "")
    assert message in done.stderr and len(done.stderr.splitlines()) == 1


def test_view_command_serves_until_interrupted(known, tmp_path):
    missing = tavo_cli("view", "--no-browser", "--db", str(tmp_path / "none.sqlite3"))
    assert missing.returncode == 1 and "no trace database" in missing.stderr
    process = subprocess.Popen([sys.executable, "-m", "tavo", "view", "--no-browser", "--db", known[0],
                                known[1]], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = process.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:") and f"#/trace/{known[1]}/" in url
        host, _, path = url.split("#")[0].partition("//")[2].partition("/")
        conn = http.client.HTTPConnection(host, timeout=10)
        conn.request("GET", "/" + path)
        assert conn.getresponse().status == 200
        conn.close()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=20) == 0
        assert "viewer stopped" in process.stderr.read()
    finally:
        process.kill()
        process.wait()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900"):
        options.add_argument(arg)
    # The browser is not ours to instrument: under the sanitizer run it must not
    # inherit the preloaded runtimes.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS",
                                                             "UBSAN_OPTIONS", "PYTHONMALLOC")}
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver", env=env))
    yield driver
    driver.quit()


def wait_ready(driver, what):
    WebDriverWait(driver, 30).until(lambda d: d.execute_script("return document.body.dataset.ready") == what)


def tree_rows(driver):
    return [row.text for row in driver.find_elements(By.CSS_SELECTOR, "#tree .trow") if row.is_displayed()]


def click_row(driver, text, part="name"):
    for row in driver.find_elements(By.CSS_SELECTOR, "#tree .trow"):
        if row.is_displayed() and text in row.text:
            row.find_element(By.CLASS_NAME, part).click()
            return
    raise AssertionError(f"no row {text!r} in {tree_rows(driver)}")


def section(driver, name):
    return driver.find_element(By.CSS_SELECTOR, f"#detail [data-section={name}]").text


def test_viewer_page_in_a_browser(known, server, browser, tmp_path):
    db_path, trace_id, handmade, _ = known
    d = browser
    d.get(server.url)
    wait_ready(d, "list")
    assert trace_id in d.find_element(By.ID, "trace-list").text
    d.find_element(By.ID, "trace-filter").send_keys("test_known")
    rows = d.find_elements(By.CSS_SELECTOR, "#trace-list tbody tr")
    assert len(rows) == 1 and "known_test.py::test_known" in rows[0].text
    rows[0].click()
    wait_ready(d, "trace")

    # Threads by name; the recursion unfolds level by level.
    rows = tree_rows(d)
    assert any("thread MainThread (main)" in r for r in rows)
    assert any("thread helper-thread" in r for r in rows)
    for depth in range(4):
        factorials = [r for r in tree_rows(d) if "known_test.factorial" in r]
        assert len(factorials) == depth + 1
        unfolded = d.find_elements(By.CSS_SELECTOR, "#tree .trow")
        last = max((r for r in unfolded if r.is_displayed() and "known_test.factorial" in r.text),
                   key=lambda r: int(r.get_attribute("data-row")))
        last.find_element(By.CLASS_NAME, "toggle").click()
    assert len([r for r in tree_rows(d) if "known_test.factorial" in r]) == 4

    # The outermost factorial: argument 4, return value 24, called from worker.
    click_row(d, "known_test.factorial")
    assert section(d, "arguments") == "n: 4"
    assert section(d, "return") == "24"
    d.find_element(By.CSS_SELECTOR, "#detail button.link").click()
    assert d.find_element(By.CSS_SELECTOR, "#detail h2").text == "known_test.worker"

    # The summary counts every call of the recursion but its time once.
    d.find_elements(By.CSS_SELECTOR, ".tabs .tab")[1].click()
    by_calls = d.find_elements(By.CSS_SELECTOR, "#summary table.summary")[2]
    first = by_calls.find_elements(By.TAG_NAME, "tr")[1].find_elements(By.TAG_NAME, "td")
    assert [first[0].text, first[1].text] == ["known_test.factorial", "4"]

    # Search jumps to the match; the recorded HTML is shown as text and runs nothing.
    search = d.find_element(By.ID, "search")
    search.send_keys("render", Keys.ENTER)
    WebDriverWait(d, 10).until(lambda d: d.find_element(By.CSS_SELECTOR, "#detail h2").text == "known_test.render")
    assert d.find_element(By.ID, "search-count").text == "1 of 1"
    detail = d.find_element(By.ID, "detail")
    assert section(d, "arguments") == f"title: {json.dumps(INJECTED)}"
    assert section(d, "return") == json.dumps(f"<h1>{INJECTED}</h1>")
    assert d.execute_script("return window.tavoInjected") is None
    search.clear()
    search.send_keys("stamp", Keys.ENTER)  # a recorded datetime reads as its text
    WebDriverWait(d, 10).until(lambda d: d.find_element(By.CSS_SELECTOR, "#detail h2").text == "known_test.stamp")
    assert section(d, "arguments") == "when: 2026-12-08T18:55:22"
    search.send_keys(Keys.CONTROL, "a")
    search.send_keys("render", Keys.ENTER)
    assert not detail.find_elements(By.TAG_NAME, "img") and not detail.find_elements(By.TAG_NAME, "script")
    shot = tmp_path / "viewer.png"
    d.save_screenshot(str(shot))
    print(f"viewer screenshot: {shot}")
    assert shot.stat().st_size > 10_000

    # A call that ended by an exception shows as raising; a return without its call encloses it.
    d.execute_script("document.body.dataset.ready = ''")
    row = db.list_traces(db_path, handmade)[0]["id"]
    d.get(f"{server.url}#/trace/{handmade}/{row}")
    wait_ready(d, "trace")
    assert any("app.outer" in r and "1 under" in r for r in tree_rows(d))
    click_row(d, "app.explode")
    assert d.find_element(By.CSS_SELECTOR, "#detail .raised").text == "raised builtins.ValueError: bad <b>value</b>"
    assert section(d, "arguments") == "x: 1" and not d.find_elements(By.CSS_SELECTOR, "[data-section=return]")

    # The page as one file works with the server gone and loads nothing from anywhere.
    page = tmp_path / "trace.html"
    done = tavo_cli("view", trace_id, "--db", db_path, "--html", str(page))
    assert done.returncode == 0, done.stderr
    server.shutdown()
    d.get(page.as_uri())
    wait_ready(d, "trace")
    assert any("known_test.worker" in r for r in tree_rows(d))
    click_row(d, "known_test.worker")
    assert section(d, "arguments") == "results: list (0 items)"
    d.find_element(By.CSS_SELECTOR, "#detail [data-section=locals] summary").click()
    # The folded value is built when opened: wait for it.
    WebDriverWait(d, 10, ignored_exceptions=(StaleElementReferenceException,)).until(
        lambda d: section(d, "locals") == "results: list (1 item)\n0: 24")
    assert d.execute_script("return performance.getEntriesByType('resource').length") == 0


# Private by default ------------------------------------------------------------------------

def test_requests_without_the_token_are_refused(server):
    token = server.token
    for path in ("/", "/api/traces", "/static/app.js", f"/{token[:-1]}/api/traces",
                 f"/{token}x/api/traces", f"/api/traces/{token}/"):
        status, body = get(server, path, token=False)
        assert status == 403 and token.encode() not in body, path
    assert get(server, "/api/traces")[0] == 200


@pytest.mark.parametrize("existed", [False, True])
def test_html_file_is_owner_only(known, tmp_path, existed):
    page = tmp_path / "trace.html"
    if existed:
        page.write_text("an older page")
        page.chmod(0o644)
    done = tavo_cli("view", known[1], "--db", known[0], "--html", str(page))
    assert done.returncode == 0, done.stderr
    assert stat.S_IMODE(page.stat().st_mode) == 0o600 and b"tavo-data" in page.read_bytes()


def test_store_password_stays_out_of_every_answer(postgres):
    secret = "pw-Sq3t"
    store = postgres.url(postgres.new_database().rsplit("/", 1)[1], password=secret)
    db.save_trace_in_sqlite(store, "trc_HANDMADE", msgpack=document([]))
    with serving(store) as srv:
        status, body = get(srv, "/api/traces")
        assert status == 200 and json.loads(body)["db"] == describe(store)
        missing, answer = get(srv, "/api/document/trc_NOPE/1")
        assert missing == 404
        answers = [body, answer]
    with serving(postgres.url("no_such_database", password=secret)) as srv:
        status, body = get(srv, "/api/traces")
        assert status == 500
        answers.append(body)
    assert not [a for a in answers if secret.encode() in a]


# What the page shows ------------------------------------------------------------------

def open_trace(driver, srv, db_path, trace_id):
    row = db.list_traces(db_path, trace_id)[-1]["id"]
    driver.get(f"{srv.url}#/trace/{trace_id}/{row}")
    driver.refresh()
    wait_ready(driver, "trace")


def row_classes(driver, text):
    return [row.get_attribute("class") for row in driver.find_elements(By.CSS_SELECTOR, "#tree .trow")
            if row.is_displayed() and text in row.text]


def test_folding_a_thread_leaves_no_rows(known, server, browser):
    open_trace(browser, server, known[0], known[1])
    click_row(browser, "known_test.factorial", "toggle")
    for thread in ("thread MainThread", "thread helper-thread"):
        click_row(browser, thread)
    assert [r.split("\n")[:2] for r in tree_rows(browser)] == [
        ["▸", "thread MainThread (main)"], ["▸", "thread helper-thread"]]


def test_numbers_read_as_python_prints_them(known, server, browser):
    open_trace(browser, server, known[0], known[3])
    click_row(browser, "__main__.main")
    assert section(browser, "locals") == "\n".join(
        f"{name}: {eval(source)!r}" for name, source in NUMBERS.items())


@pytest.mark.parametrize("ref", ["last", "prefix"])
def test_view_takes_what_show_takes(known, browser, tmp_path, ref):
    db_path = known[0]
    trace_id = db.list_traces(db_path)[-1]["trace_id"] if ref == "last" else known[1]
    page = tmp_path / "page.html"
    done = tavo_cli("view", "last" if ref == "last" else known[1][:-4], "--db", db_path,
                    "--html", str(page))
    assert done.returncode == 0, done.stderr
    browser.get(page.as_uri())
    wait_ready(browser, "trace")
    assert browser.find_element(By.ID, "title").text.startswith(f"trace {trace_id}")


def test_clean_exits_and_skips_are_no_failures(known, server, browser):
    db_path = known[0]
    open_trace(browser, server, db_path, known[3])
    assert [c.split() for c in row_classes(browser, "__main__.<module>")] == [["trow", "ended"]]
    click_row(browser, "__main__.main", "toggle")
    assert "raising" in row_classes(browser, "__main__.fail")[0]
    click_row(browser, "__main__.<module>")
    assert browser.find_element(By.CSS_SELECTOR, "#detail .ended").text == "exited SystemExit: 0"
    open_trace(browser, server, db_path, known[1])
    assert row_classes(browser, "known_test.test_skips") == ["trow ended"]
    assert "· skipped" in [r for r in tree_rows(browser) if "known_test.test_skips" in r][0]


@pytest.mark.parametrize("dropped, losses, listed, told", [
    (1234, {}, "1,234 dropped", "1,234 records were dropped because recording failed"),
    # Calls past the budget that the engine stopped reporting were not counted.
    (1234, {"budget_dropped_records": 1234, "uncounted_after_budget": 1}, "at least 1,234 dropped",
     "At least 1,234 records were dropped: the trace neared and reached its buffer budget, past "
     "which calls go uncounted. Raise it with --buffer-budget (tavo run)"),
    # Values shortened near the budget, nothing dropped: still told, with the remedy.
    (None, {"shortened_values": 56, "shortened_from_record": 7}, "56 shortened",
     "56 values were shortened from record 7 on: the trace neared its buffer budget. Raise it"),
])
def test_what_a_trace_lost_is_told_with_its_remedy(known, browser, tmp_path, dropped, losses,
                                                    listed, told):
    store = str(tmp_path / "lost.sqlite3")
    blob = db.load_traces(known[0], known[2])[0][1]
    db.save_trace_in_sqlite(store, known[2], msgpack=blob, dropped_records=dropped, **losses)
    with serving(store) as srv:
        browser.get(srv.url)
        browser.refresh()
        wait_ready(browser, "list")
        assert listed in browser.find_element(By.ID, "trace-list").text.splitlines()[1]
        open_trace(browser, srv, store, known[2])
        said = browser.find_element(By.ID, "lost").text
        # The budget's remedy where the budget was met; a failure to record has none.
        assert said.startswith(told) and ("TAVO_BUFFER_BUDGET" in said) == bool(losses)


# The page's model of a trace against the Python side ---------------------------------

def edge_cases():
    """Returns without calls (with and without calls open), calls closed by an outer return or
    never, exceptions right after their call's return or not, and a second thread."""
    worker = ("worker", 8)
    main = [rec("return", "before", "f0", 1.0), rec("call", "a", "f1", 1.1), rec("call", "b", "f2", 1.2),
            rec("call", "c", "f3", 1.3), rec("return", "a", "f1", 1.4), raised("f1", 1.41),
            rec("call", "d", "f4", 1.5), rec("return", "d", "f4", 1.6),
            {"type": "start_test", "frame_id": "t", "timestamp": 1.62, "thread": "MainThread",
             "thread_native_id": 7, "test_name": "t"}, raised("f4", 1.65),
            rec("call", "g", "f6", 1.9), rec("return", "x", "f9", 1.95), rec("return", "g", "f6", 2.0),
            raised("f7", 2.05), rec("call", "h", "f8", 2.1)]
    others = [rec("call", "w", "w1", 1.2, thread=worker), rec("call", "v", "w2", 1.3, thread=worker),
              rec("return", "v", "w2", 1.35, thread=worker), raised("w2", 1.36, "SystemExit", "0", worker)]
    return document(main, {8: others}, "trc_EDGES")


def python_calls(blob):
    calls = []
    for thread in threads(blob):
        for step in thread.steps():
            if step.kind == "return":
                call = step.call
                calls.append([thread.name, call.frame_id, call.start, call.finished,
                              call.raised is not None, call.caller and call.caller.frame_id])
    return sorted(calls, key=repr)


# The model built from the whole document, and again from pieces of 7 bytes as they arrive;
# each call as [thread, frame id, start, returned, raised, caller's frame id] (calls made up
# for returns without theirs left out).
MODEL_CALLS = """
var bytes = Uint8Array.fromBase64(arguments[0]);
function calls(tr) {
  var C = tr.call, out = [];
  for (var k = 0; k < C.n; k++) {
    if (tr.isOrphan(k)) continue;
    var p = C.parent[k], caller = p >= 0 && !tr.isOrphan(p) ? tr.frameId(C.callRec[p]) : null;
    out.push([tr.threads[C.thread[k]].name, tr.frameId(C.callRec[k]), C.start[k],
              C.retRec[k] >= 0, C.excRec[k] >= 0, caller]);
  }
  return out;
}
var arriving = new Uint8Array(bytes.length), fed = new Tavo.Trace(arriving, 0);
for (var at = 0; at < bytes.length; at += 7) {
  arriving.set(bytes.subarray(at, at + 7), at);
  fed.feed(Math.min(at + 7, bytes.length));
}
fed.done();
return [calls(new Tavo.Trace(bytes)), calls(fed)];
"""


@pytest.mark.parametrize("which", ["known", "exiting", "handmade", "edges"])
def test_model_pairs_calls_as_python_does(known, server, browser, which):
    trace_id = dict(zip(["known", "handmade", "exiting"], known[1:])).get(which)
    blob = edge_cases() if which == "edges" else db.load_traces(known[0], trace_id)[-1][1]
    browser.get(server.url)
    wait_ready(browser, "list")
    whole, fed = browser.execute_script(MODEL_CALLS, base64.b64encode(blob).decode())
    assert sorted(whole, key=repr) == sorted(fed, key=repr) == python_calls(blob)
