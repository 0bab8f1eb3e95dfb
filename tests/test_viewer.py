"""The trace viewer: its server's routes and command line, and the page itself driven in a
real headless Chromium (Debian's chromium and chromedriver, installed by
scripts/system-packages) on a trace of a small known program."""

import http.client
import json
import os
import signal
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
from tavo.viewer.server import ViewerServer

INJECTED = '<script>window.tavoInjected = 1</script>"><img src=x onerror="window.tavoInjected = 2">'

# Two threads, a test boundary, a recursive function and a value holding HTML.
KNOWN_TEST = textwrap.dedent(f"""\
    import datetime
    import threading


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
    """A database with the known program's trace and a hand-made one with an exception record;
    gives (db path, known trace id, hand-made trace id)."""
    where = tmp_path_factory.mktemp("viewer")
    (where / "known_test.py").write_text(KNOWN_TEST)
    (where / "record.py").write_text(RECORDER)
    db_path = str(where / "traces.sqlite3")
    done = subprocess.run([sys.executable, "record.py", db_path, "known_test.py"], cwd=where,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    trace_id = done.stdout.split()[-1]
    return db_path, trace_id, save_handmade(db_path)


def save_handmade(db_path):
    """A trace whose first return has no recorded call and whose call ended by an exception."""
    def rec(event, name, frame_id, ts, arg=None, local=None):
        return {"path": "app.py:3", "co_name": name, "qualname": f"app.{name}", "event": event,
                "frame_id": frame_id, "arg": arg, "locals": local or {}, "thread": "MainThread",
                "thread_native_id": 7, "timestamp": ts, "type": "frame", "user_code_call_site": None}
    raised = {"type": "exception", "frame_id": "frm_B", "exception_type": "builtins.ValueError",
              "message": "bad <b>value</b>", "timestamp": 10.4, "thread": "MainThread",
              "thread_native_id": 7, "user_code_call_site": None}
    records = [rec("call", "explode", "frm_B", 10.1, local={"x": 1}),
               rec("return", "explode", "frm_B", 10.3), raised,
               rec("return", "outer", "frm_A", 10.5, arg=2)]
    document = {"command_line_args": ["app.py"], "current_commit_sha": None, "frames": {},
                "frames_of_interest": records, "main_thread_id": 7,
                "meta": {"version": "0", "source": "handmade", "use_frame_boundaries": True},
                "timestamp": 10.0, "trace_id": "trc_HANDMADE"}
    blob = msgpack.packb(document)
    db.save_trace_in_sqlite(db_path, "trc_HANDMADE", msgpack=blob)
    return "trc_HANDMADE"


@pytest.fixture
def server(known):
    srv = ViewerServer(known[0])
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()


def get(srv, path, host=None, method="GET"):
    port = srv.server_address[1]
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.putrequest(method, path, skip_host=True)
    conn.putheader("Host", host or f"127.0.0.1:{port}")
    conn.endheaders()
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, body


def test_server_answers_only_its_own_routes(server, known):
    db_path, trace_id, _ = known
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
        host = url.split("/")[2]
        conn = http.client.HTTPConnection(host, timeout=10)
        conn.request("GET", "/")
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
    db_path, trace_id, handmade = known
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
