"""`python -m tavo run` end to end: needs the native module."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from tavo import db

pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")

SAVED = re.compile(r"tavo: saved trace (trc_[0-9A-Z]{26}) \((\d+) records\) in (\S+)")

SCRIPT = textwrap.dedent("""\
    import json
    import sys


    def add(a, b):
        return a + b


    def main(args):
        total = 0
        for i in range(3):
            total = add(total, i)
        print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__}))
        return total


    if __name__ == "__main__":
        sys.exit(main(sys.argv[1:]))
""")


def tavo(*args, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def saved_trace(result):
    match = SAVED.search(result.stderr)
    assert match, result.stderr
    return match.group(1), int(match.group(2)), match.group(3)


def frames(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return [r for r in records if r.get("type") == "frame"]


def load_only_document(db_path, trace_id):
    [(summary, blob)] = db.load_traces(db_path, trace_id)
    return summary, db.decode_document(blob)


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "script.py"
    path.write_text(SCRIPT)
    return path


def test_run_records_the_script_and_preserves_its_behaviour(tmp_path, script):
    result = tavo("run", "--db", "t.sqlite3", "script.py", "a", "--b", cwd=tmp_path)
    assert result.returncode == 3  # main() returned 0 + 1 + 2
    seen = json.loads(result.stdout)  # stdout holds the script's output only
    assert seen == {"argv": ["script.py", "a", "--b"], "path0": os.path.realpath(tmp_path),
                    "name": "__main__"}
    trace_id, records, where = saved_trace(result)
    assert where == "t.sqlite3" and records > 0

    summary, document = load_only_document(tmp_path / "t.sqlite3", trace_id)
    assert summary["records"] == records and summary["source"] == "cli"
    assert document["trace_id"] == trace_id
    assert document["meta"]["source"] == "cli"
    assert document["command_line_args"] == ["script.py", "a", "--b"]
    calls = [r for r in frames(document) if r["co_name"] == "add" and r["event"] == "call"]
    returns = [r for r in frames(document) if r["co_name"] == "add" and r["event"] == "return"]
    assert [(r["locals"]["a"], r["locals"]["b"]) for r in calls] == [(0, 0), (0, 1), (1, 2)]
    assert [r["arg"] for r in returns] == [0, 1, 3]
    assert all(r["path"].startswith("script.py:") for r in calls)
    [main_call] = [r for r in frames(document) if r["co_name"] == "main" and r["event"] == "call"]
    assert main_call["locals"]["args"] == ["a", "--b"]
    assert not any("/tavo/" in r["path"] for r in frames(document))

    listing = tavo("traces", "--db", "t.sqlite3", cwd=tmp_path)
    assert listing.returncode == 0
    [row] = [line for line in listing.stdout.splitlines() if line.startswith(trace_id)]
    assert " cli " in row and f" {records} " in row

    shown = tavo("show", trace_id, "--db", "t.sqlite3", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    main_line = next(line for line in lines if "-> " in line and "main(" in line)
    add_lines = [line for line in lines if "-> " in line and "add(a=" in line]
    assert len(add_lines) == 3
    indent = lambda line: len(line) - len(line.lstrip())  # noqa: E731
    assert all(indent(line) > indent(main_line) for line in add_lines)
    assert any("add returned 3" in line for line in lines)

    as_json = tavo("show", trace_id, "--db", "t.sqlite3", "--json", cwd=tmp_path)
    assert json.loads(as_json.stdout)["trace_id"] == trace_id


def test_uncaught_exception_prints_its_traceback_and_the_trace_is_saved(tmp_path):
    (tmp_path / "fails.py").write_text(textwrap.dedent("""\
        def explode(value):
            raise ValueError(f"boom {value}")

        explode(42)
    """))
    result = tavo("run", "--db", "t.sqlite3", "fails.py", cwd=tmp_path)
    assert result.returncode == 1
    assert "Traceback (most recent call last)" in result.stderr
    assert "ValueError: boom 42" in result.stderr
    script = os.path.join(os.path.realpath(tmp_path), "fails.py")
    assert f'File "{script}", line 2, in explode' in result.stderr
    assert "runpy" not in result.stderr and "tavo/__main__.py" not in result.stderr
    trace_id, _, _ = saved_trace(result)
    _, document = load_only_document(tmp_path / "t.sqlite3", trace_id)
    assert any(r["co_name"] == "explode" and r["locals"].get("value") == 42
               for r in frames(document) if r["event"] == "call")


def test_exit_message_and_default_database(tmp_path):
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "quits.py").write_text(
        "import os, sys\nos.chdir('elsewhere')\nsys.exit('fatal: bad input')\n")
    result = tavo("run", "quits.py", cwd=tmp_path)
    assert result.returncode == 1
    assert "fatal: bad input" in result.stderr
    trace_id, _, where = saved_trace(result)
    assert where == "tavo.sqlite3"
    # Saved in the working directory tavo started in, though the script moved.
    assert [t["trace_id"] for t in db.list_traces(tmp_path / "tavo.sqlite3")] == [trace_id]
    assert not (tmp_path / "elsewhere" / "tavo.sqlite3").exists()


def test_run_module(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "tool.py").write_text(textwrap.dedent("""\
        import json, sys

        def greet(who):
            return "hello " + who

        print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__,
                          "said": greet(sys.argv[1])}))
    """))
    result = tavo("run", "--db", "t.sqlite3", "-m", "pkg.tool", "world", "-x", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["argv"] == [str(package / "tool.py"), "world", "-x"]
    assert os.path.realpath(seen["path0"]) == os.path.realpath(tmp_path)
    assert seen["name"] == "__main__" and seen["said"] == "hello world"
    trace_id, _, _ = saved_trace(result)
    _, document = load_only_document(tmp_path / "t.sqlite3", trace_id)
    [greet_return] = [r for r in frames(document) if r["co_name"] == "greet" and r["event"] == "return"]
    assert greet_return["arg"] == "hello world"


def test_run_with_threading_records_other_threads(tmp_path):
    (tmp_path / "threads.py").write_text(textwrap.dedent("""\
        import threading

        def work(n):
            return n * 2

        worker = threading.Thread(target=work, args=(21,))
        worker.start()
        worker.join()
    """))
    result = tavo("run", "--db", "t.sqlite3", "--threading", "threads.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    trace_id, _, _ = saved_trace(result)
    _, document = load_only_document(tmp_path / "t.sqlite3", trace_id)
    assert document["main_thread_id"] is not None
    other_threads = [r for records in document["frames"].values() for r in records]
    assert any(r.get("co_name") == "work" and r.get("event") == "return" and r.get("arg") == 42
               for r in other_threads)
