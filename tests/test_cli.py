"""The command line's reading commands and its error paths (no native module needed)."""

import contextlib
import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys

import msgpack
import pytest

from tavo import db
from tavo.stores import codec

TRACE_ID = "trc_01JB0000000000000000000000"


def tavo(*args, cwd, stdin=subprocess.DEVNULL):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], cwd=cwd, env=env,
                          stdin=stdin, capture_output=True, text=True, timeout=120)


def assert_one_line_error(result, *fragments):
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("tavo: ")
    for fragment in fragments:
        assert fragment in lines[0]


def frame(event, co_name, path, arg=None, locals_=None, thread=1):
    return {"path": path, "co_name": co_name, "qualname": f"app.{co_name}", "event": event,
            "frame_id": "frm_01JB0000000000000000000001", "arg": arg, "locals": locals_ or {},
            "thread": thread, "thread_native_id": thread, "timestamp": 1.0, "type": "frame",
            "user_code_call_site": None}


def sample_document():
    main = [
        {"type": "start_test", "test_name": "tests/test_app.py::test_add", "frame_id": None,
         "timestamp": 1.0, "thread": 1, "thread_native_id": 1, "user_code_call_site": None},
        frame("call", "main", "app.py:10"),
        frame("call", "add", "app.py:3", locals_={"a": 1, "b": "x" * 500}),
        frame("return", "add", "app.py:4", arg=b"\x00raw"),
        frame("return", "main", "app.py:12", arg=None),
    ]
    return {
        "command_line_args": ["app.py", "--fast"],
        "current_commit_sha": "0123456789abcdef0123456789abcdef01234567",
        "frames": {4242: [frame("call", "worker", "app.py:20", locals_={"n": 5}, thread=4242),
                          frame("return", "worker", "app.py:21", arg=25, thread=4242)]},
        "frames_of_interest": main,
        "main_thread_id": 1,
        "meta": {"version": "0.1.0", "source": "cli", "use_frame_boundaries": True},
        "timestamp": 1_700_000_000.5,
        "trace_id": TRACE_ID,
    }


@pytest.fixture
def stored(tmp_path):
    path = tmp_path / "traces.sqlite3"
    db.save_trace_in_sqlite(path, TRACE_ID, timeout=5, msgpack=msgpack.packb(sample_document()))
    return path


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_traces_lists_stored_traces(tmp_path, stored):
    result = tavo("traces", "--db", stored, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    header, row = result.stdout.strip().splitlines()
    assert header.split()[:5] == ["TRACE", "ID", "SAVED", "SOURCE", "RECORDS"]
    fields = row.split()
    assert fields[0] == TRACE_ID
    assert "cli" in fields and "7" in fields  # source, records
    assert row.rstrip().endswith("tests/test_app.py::test_add")


def test_show_prints_a_call_tree(tmp_path, stored):
    result = tavo("show", TRACE_ID, "--db", stored, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"trace {TRACE_ID}")
    assert "command: app.py --fast" in lines

    def line_with(text):
        [line] = [line for line in lines if text in line]
        return line, len(line) - len(line.lstrip())

    main_call, main_depth = line_with("-> app.main(")
    add_call, add_depth = line_with("-> app.add(")
    add_return, add_return_depth = line_with("<- app.add returned")
    main_return, main_return_depth = line_with("<- app.main returned None")
    start, start_depth = line_with("[start_test]")
    assert "app.py:10" in main_call and "app.py:3" in add_call
    assert add_depth > main_depth and add_return_depth == add_depth
    assert main_return_depth == main_depth == start_depth
    assert "a=1" in add_call and "xxx" in add_call and len(add_call) < 200  # value shortened
    assert "\\x00raw" in add_return
    assert "tests/test_app.py::test_add" in start
    thread_header = lines.index("thread 4242:")
    assert "-> app.worker(n=5)" in lines[thread_header + 1]
    assert "<- app.worker returned 25" in lines[thread_header + 2]


def test_show_json_decodes_the_document(tmp_path, stored):
    result = tavo("show", TRACE_ID, "--db", stored, "--json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    expected = sample_document()
    assert list(document) == list(expected)
    assert document["command_line_args"] == ["app.py", "--fast"]
    assert document["frames"]["4242"][1]["arg"] == 25
    assert document["frames_of_interest"][3]["arg"] == repr(b"\x00raw")
    assert document["frames_of_interest"][2]["locals"] == {"a": 1, "b": "x" * 500}


def test_a_trace_saved_twice_shows_both_documents(tmp_path, stored):
    second = sample_document()
    second["command_line_args"] = ["again.py"]
    db.save_trace_in_sqlite(stored, TRACE_ID, timeout=5, msgpack=msgpack.packb(second))
    text = tavo("show", TRACE_ID, "--db", stored, cwd=tmp_path)
    assert text.stdout.count(f"trace {TRACE_ID}") == 2
    assert "command: again.py" in text.stdout
    lines = tavo("show", TRACE_ID, "--db", stored, "--json", cwd=tmp_path).stdout.splitlines()
    assert [json.loads(line)["command_line_args"] for line in lines] == [["app.py", "--fast"],
                                                                         ["again.py"]]


def test_unknown_trace_id(tmp_path, stored):
    before = digest(stored)
    result = tavo("show", "trc_NOPE", "--db", stored, cwd=tmp_path)
    assert_one_line_error(result, "no trace trc_NOPE", str(stored))
    assert digest(stored) == before


def test_missing_or_foreign_database(tmp_path):
    missing = tmp_path / "missing.sqlite3"
    assert_one_line_error(tavo("traces", "--db", missing, cwd=tmp_path), "no trace database")
    assert_one_line_error(tavo("show", TRACE_ID, "--db", missing, cwd=tmp_path), str(missing))
    assert not missing.exists()
    # The default database is tavo.sqlite3 in the working directory.
    assert_one_line_error(tavo("traces", cwd=tmp_path), "tavo.sqlite3")
    notes = tmp_path / "notes.txt"
    notes.write_text("not a database\n" * 100)
    assert_one_line_error(tavo("traces", "--db", notes, cwd=tmp_path), "not a tavo trace database")
    assert notes.read_text() == "not a database\n" * 100


def test_run_with_an_unwritable_database_path(tmp_path, stored):
    marker = tmp_path / "ran"
    script = tmp_path / "script.py"
    script.write_text(f"open({str(marker)!r}, 'w').close()\n")
    for bad in (tmp_path / "no-such-dir" / "t.sqlite3", tmp_path):  # missing parent; a directory
        result = tavo("run", "--db", bad, script, cwd=tmp_path)
        assert_one_line_error(result, "cannot write trace database", str(bad))
        assert not marker.exists()  # the script did not run
    not_a_db = tmp_path / "notes.txt"
    not_a_db.write_text("keep me\n")
    assert_one_line_error(tavo("run", "--db", not_a_db, script, cwd=tmp_path), str(not_a_db))
    assert not_a_db.read_text() == "keep me\n"


def test_run_with_a_missing_script_or_module(tmp_path, stored):
    before = digest(stored)
    result = tavo("run", "--db", stored, "nowhere.py", "arg", cwd=tmp_path)
    assert_one_line_error(result, "nowhere.py")
    assert result.returncode == 2
    assert_one_line_error(tavo("run", "--db", stored, "-m", "no_such_module_xyz", cwd=tmp_path),
                          "no_such_module_xyz")
    assert_one_line_error(tavo("run", "--db", stored, "-m", "no_such_pkg.sub", cwd=tmp_path),
                          "no_such_pkg.sub")
    assert digest(stored) == before
    assert not (tmp_path / "tavo.sqlite3").exists()


def test_usage_errors(tmp_path):
    for args in (("frobnicate",), ("run",), ("run", "--bogus", "x.py"), ("run", "--db")):
        assert_one_line_error(tavo(*args, cwd=tmp_path))
    usage = tavo(cwd=tmp_path)
    assert usage.returncode == 2 and "tavo run" in usage.stdout
    assert tavo("--help", cwd=tmp_path).returncode == 0
    assert tavo("--version", cwd=tmp_path).stdout.strip() == "tavo 0.1.0"



@contextlib.contextmanager
def unwritable(target):
    """``target`` made unwritable (immutable, for root), for the block."""
    if os.geteuid() == 0 and shutil.which("chattr") is None:
        pytest.skip("root cannot be kept from writing without chattr")
    old_mode = target.stat().st_mode
    flip = (lambda on: subprocess.run(["chattr", "+i" if on else "-i", target], check=True)) \
        if os.geteuid() == 0 else (lambda on: target.chmod(0o555 if on else old_mode))
    flip(True)
    try:
        yield
    finally:
        flip(False)


@pytest.mark.parametrize("case", ["foreign database", "read-only file", "read-only folder"])
def test_run_refuses_a_database_it_cannot_or_must_not_write_before_running(tmp_path, case):
    path = tmp_path / "dbs" / "t.sqlite3"
    path.parent.mkdir()
    if case == "foreign database":
        sqlite3.connect(path).execute("CREATE TABLE things (x)").connection.close()
    else:
        db.ensure_database(path)
    script = tmp_path / "script.py"
    script.write_text(f"open({str(tmp_path / 'ran')!r}, 'w').close()\n")
    before = digest(path)
    target = {"read-only file": path, "read-only folder": path.parent}.get(case)
    with unwritable(target) if target else contextlib.nullcontext():
        assert_one_line_error(tavo("run", "--db", path, script, cwd=tmp_path), str(path))
    assert not (tmp_path / "ran").exists() and digest(path) == before


def test_damaged_rows_and_documents_get_one_line_each(tmp_path, stored):
    deep = []
    for _ in range(1000):
        deep = [deep]
    document = sample_document()
    document["frames_of_interest"][1]["locals"] = {"deep": deep}
    for trace_id in (TRACE_ID, "trc_FUTURE"):
        db.save_trace_in_sqlite(stored, trace_id, timeout=5, msgpack=msgpack.packb(document))
    with contextlib.closing(sqlite3.connect(stored)) as conn, conn:
        conn.execute("UPDATE traces SET saved_at = 1e300 WHERE trace_id = 'trc_FUTURE'")
    listing = tavo("traces", "--db", stored, cwd=tmp_path)
    assert listing.stdout.count(TRACE_ID) == 2 and "trc_FUTURE" not in listing.stdout
    assert listing.returncode == 1 and listing.stderr.startswith("tavo: row 3 ")
    for args in ((), ("--json",)):  # both writers walk deep values without recursion
        shown = tavo("show", TRACE_ID, "--db", stored, *args, cwd=tmp_path)
        assert shown.returncode == 0 and shown.stderr == "", shown.stderr
        assert shown.stdout.count(TRACE_ID) == 2


@pytest.mark.parametrize("data", [
    codec.zstd.compress(b"\x05\x00\x00\x00\xc1\x80abc"),  # a code the packing does not write
    codec.zstd.compress(b"\x09\x00\x00\x00\xc1"),  # a block cut
    codec.zstd.compress(b"\x05\x00\x00\x00abcde" * 1000)[:-4]])  # the compressed data cut
def test_a_damaged_stored_document_is_one_line(tmp_path, stored, data):
    with contextlib.closing(sqlite3.connect(stored)) as conn, conn:
        conn.execute("UPDATE documents SET data = ?", (data,))
    for args in (("show", TRACE_ID), ("export", TRACE_ID, "--format", "json")):
        assert_one_line_error(tavo(*args, "--db", stored, cwd=tmp_path), "damaged")


def test_stored_text_cannot_drive_the_terminal(tmp_path, stored):
    escape = "\x1b]0;owned\x07\x1b[2J\r"
    document = sample_document()
    document["command_line_args"] = ["app.py", escape]
    document["frames_of_interest"][0]["test_name"] = escape
    document["frames_of_interest"][2]["locals"] = {escape: escape}
    db.save_trace_in_sqlite(stored, "trc_ESC", timeout=5, msgpack=msgpack.packb(document))
    for args in (("traces",), ("show", "trc_ESC")):
        output = tavo(*args, "--db", stored, cwd=tmp_path).stdout
        assert "\\x1b]0;owned\\x07" in output and not set("\x1b\x07\r") & set(output)
    as_json = json.loads(tavo("show", "trc_ESC", "--db", stored, "--json", cwd=tmp_path).stdout)
    assert as_json["command_line_args"] == ["app.py", escape]


# Numbers on the command line are checked there, however large.

@pytest.mark.parametrize("args", [("traces", "--limit", "1" + "0" * 20),
                                  ("prune", "--keep", "1" + "0" * 20),
                                  ("prune", "--older-than", "nan")])
def test_numbers_out_of_range_are_usage_errors(tmp_path, stored, args):
    result = tavo(*args, "--db", stored, cwd=tmp_path)
    assert_one_line_error(result, args[1])
    assert result.returncode == 2


# Long labels are listed whole: test ids that differ only at their end stay apart.

def test_traces_lists_long_labels_whole(tmp_path):
    path = tmp_path / "traces.sqlite3"
    labels = [f"tests/{'deep/' * 20}test_module.py::TestClass::test_case[{n}]" for n in "ab"]
    for label in labels:
        db.save_trace_in_sqlite(path, f"trc_{label[-2]}", timeout=5,
                                msgpack=msgpack.packb({"command_line_args": [label]}))
    listed = tavo("traces", "--db", path, cwd=tmp_path).stdout
    assert all(label in listed for label in labels), listed


# Output into a pipe that was closed (| head) ends the command quietly.

@pytest.mark.parametrize("command", [["traces"], ["show", TRACE_ID], ["find", "worker"]])
def test_a_closed_pipe_ends_the_command_quietly(tmp_path, stored, command):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    process = subprocess.Popen([sys.executable, "-m", "tavo", *command, "--db", str(stored)],
                               cwd=tmp_path, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdout.close()  # the reader is gone before the first line is written
    assert process.stderr.read() == ""
    assert process.wait(timeout=120) != 0
