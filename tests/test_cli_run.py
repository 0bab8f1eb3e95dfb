"""`python -m tavo run` end to end: needs the native module."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import zipapp

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


@pytest.mark.parametrize("call, ending", [("sys.exit()", "exited SystemExit"),
                                           ("sys.exit(0)", "exited SystemExit: 0"),
                                           ("sys.exit(2)", "raised SystemExit: 2")])
def test_show_tells_a_clean_exit_from_a_failure(tmp_path, call, ending):
    (tmp_path / "ends.py").write_text(f"import sys\n{call}\n")
    tavo("run", "ends.py", cwd=tmp_path)
    shown = tavo("show", "last", cwd=tmp_path).stdout
    [line] = [line for line in shown.splitlines() if "<- " in line and "<module>" in line]
    assert line.split("<module> ")[1].startswith(ending), line


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



def recorded_calls(tmp_path, result, co_name):
    _, document = load_only_document(tmp_path / "t.sqlite3", saved_trace(result)[0])
    return [r for r in frames(document) if r["co_name"] == co_name and r["event"] == "call"]


def run_source(tmp_path, source, *options, name="prog.py"):
    (tmp_path / name).write_text(textwrap.dedent(source))
    return tavo("run", "--db", "t.sqlite3", *options, name, cwd=tmp_path)


def test_run_saves_after_the_programs_threads_finish(tmp_path):
    result = run_source(tmp_path, """\
        import threading

        def late_work(started):
            started.wait()  # until the script body has ended
            return started

        started = threading.Event()
        threading.Thread(target=late_work, args=(started,)).start()  # never joined
        threading.Timer(0.3, started.set).start()
    """, "--threading")
    _, document = load_only_document(tmp_path / "t.sqlite3", saved_trace(result)[0])
    assert any(r["co_name"] == "late_work" and r["event"] == "return" for r in frames(document))


@pytest.mark.parametrize("kind", ["zip", "folder"])
def test_run_zip_applications_and_folders(tmp_path, kind):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__main__.py").write_text(
        "import sys\n\ndef greet(who):\n    return who\n\nprint(greet(sys.argv[1]), sys.argv[0])\n")
    if kind == "zip":
        zipapp.create_archive(tmp_path / "app", tmp_path / "app.pyz")
    target = {"zip": "app.pyz", "folder": "app"}[kind]
    plain = subprocess.run([sys.executable, target, "you"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=60)
    result = tavo("run", "--db", "t.sqlite3", target, "you", cwd=tmp_path)
    assert result.stdout == plain.stdout == f"you {target}\n", result.stderr
    assert [r["locals"]["who"] for r in recorded_calls(tmp_path, result, "greet")] == ["you"]


def test_console_script_runs_a_module_of_the_working_directory(tmp_path):
    console = os.path.join(os.path.dirname(sys.executable), "tavo")
    if not os.path.exists(console):
        pytest.skip("the tavo console script is not installed")
    (tmp_path / "cpu.py").write_text("def spin(n):\n    return n\n\nspin(3)\n")
    result = subprocess.run([console, "run", "--db", "t.sqlite3", "-m", "cpu"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert len(recorded_calls(tmp_path, result, "spin")) == 1


def test_a_program_ending_with_os_exit_keeps_its_trace(tmp_path):
    result = run_source(tmp_path, "import os\n\ndef last(n):\n    return n\n\nlast(5)\nos._exit(4)\n")
    assert result.returncode == 4 and len(recorded_calls(tmp_path, result, "last")) == 1


def test_a_run_that_records_no_user_code_says_how_to_include_it(tmp_path):
    (tmp_path / "lib" / "python_tools").mkdir(parents=True)  # "lib/python": library code
    source, name = "def work():\n    return 1\n\nwork()\n", "lib/python_tools/tool.py"
    result = run_source(tmp_path, source, name=name)
    assert saved_trace(result)[1] == 0 and "--include FRAGMENT" in result.stderr
    included = run_source(tmp_path, source, "--include", "python_tools/", name=name)
    assert len(recorded_calls(tmp_path, included, "work")) == 1
    assert "--include FRAGMENT" not in included.stderr


def test_dropped_records_are_counted_on_the_last_line(tmp_path):
    result = run_source(tmp_path, """\
        import tavo.serialize

        def work(n):
            return n

        tavo.serialize.dump_msgpack = lambda value: 1 / 0  # every later record fails
        work(1)
        """)
    [line] = [line for line in result.stderr.splitlines() if SAVED.match(line)]
    assert line.endswith("; 3 records dropped"), result.stderr  # work's call and return, the module's return


STACK_PROGRAM = textwrap.dedent("""\
    import __main__, atexit, os, sys, traceback
    atexit.register(lambda: print("exit handler", sys.excepthook is sys.__excepthook__,
                                  sys.argv, sys.path[0]))
    atexit.register(lambda: os._exit(5))  # the program's own by then, which only prints
    os._exit = lambda status: print("the program's own os._exit", status)
    print(sorted(vars(__main__)))

    def depth_reached(n=0):
        try:
            return depth_reached(n + 1)
        except RecursionError:
            return n

    def show_stack():
        traceback.print_stack(file=sys.stdout)
        below = sys._getframe(1).f_back
        print(below and below.f_code.co_name, depth_reached())
        sys.setrecursionlimit(120)
        print(depth_reached())

    show_stack()
    raise KeyboardInterrupt
""")


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("as_module", [False, True], ids=["script", "module"])
def test_the_program_sees_the_stack_and_the_end_the_interpreter_gives_it(tmp_path, engine,
                                                                        as_module):
    """tavo's own frames stay out of what the program sees of its stack: what it
    prints of it, its callers, where recursion stops, and the traceback it ends with;
    its module holds the names the interpreter gives it, and its exit handlers its
    arguments, path and os._exit. A KeyboardInterrupt ends it by SIGINT after its exit handlers, as the interpreter
    does so that a shell running it stops too (an exit status of 130 would not)."""
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    (tmp_path / "pkg" / "prog.py").write_text(STACK_PROGRAM)
    target = ["-m", "pkg.prog"] if as_module else [str(tmp_path / "pkg" / "prog.py")]
    plain = subprocess.run([sys.executable, *target], cwd=tmp_path, capture_output=True,
                           text=True, timeout=300)
    traced = tavo("run", "--db", "t.sqlite3", "--engine", engine, *target, cwd=tmp_path)
    assert ("_run_code" if as_module else "None") in plain.stdout and plain.returncode == -2
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout)
    assert traced.stderr.replace(saved_trace(traced)[0], "").splitlines()[:-1] == \
        plain.stderr.splitlines()


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("flags", [["-P"], ["-X", "warn_default_encoding", "-W", "error"]],
                         ids=["safe-path", "encoding-warnings"])
def test_the_program_keeps_its_path_flags_and_files(tmp_path, engine, flags):
    """-P keeps the script's folder off the path, and tavo's own code warns of nothing;
    the program sends its stderr to a file and closes the one it started with, which
    leaves tavo's last line out of the file and on the file descriptor."""
    (tmp_path / "beside.py").write_text("")
    (tmp_path / "prog.py").write_text(textwrap.dedent("""\
        import sys
        print(sys.path[0])
        try:
            import beside
        except ImportError:
            print("not importable")
        sys.stderr = open("log.txt", "w", encoding="utf-8")
        sys.__stderr__.close()
        print("logged", file=sys.stderr)
    """))
    plain = subprocess.run([sys.executable, *flags, "prog.py"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=300)
    plain_log = (tmp_path / "log.txt").read_text()
    traced = subprocess.run([sys.executable, *flags, "-m", "tavo", "run", "--db", "t.sqlite3",
                             "--engine", engine, "prog.py"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert plain.stdout.endswith("not importable\n") == ("-P" in flags)
    assert (plain.returncode, plain.stderr, plain_log) == (0, "", "logged\n")
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout)
    assert (tmp_path / "log.txt").read_text() == plain_log
    assert saved_trace(traced)[1] > 0


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_program_started_with_stdin_and_stderr_closed_gets_their_numbers(tmp_path, engine):
    """The store's library puts /dev/null on a closed standard descriptor it is handed,
    and keeps it: the program's own files, and its exit handlers', take them as without
    tavo."""
    (tmp_path / "prog.py").write_text(textwrap.dedent("""\
        import atexit
        opened = [open("first.txt", "w")]
        atexit.register(lambda: print(opened[0].fileno(), open("last.txt", "w").fileno()))
    """))
    closed = ["sh", "-c", 'exec "$@" 0<&- 2>&-', "sh"]
    outputs = [subprocess.run(closed + args, cwd=tmp_path, capture_output=True, text=True,
                              timeout=300).stdout
               for args in ([sys.executable, "prog.py"],
                            [sys.executable, "-m", "tavo", "run", "--db", "t.sqlite3", "--engine",
                             engine, "prog.py"])]
    assert outputs[1] == outputs[0] == "0 2\n"


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_program_that_closes_what_it_inherited_keeps_its_files_and_trace(tmp_path, engine,
                                                                          store_location):
    """As a daemon does: no connection of tavo's is left open for the program to close
    and hand its number to a file of its own, which the save would then write into;
    nor does the run's last line go into the file that took stderr's number."""
    (tmp_path / "prog.py").write_text(textwrap.dedent("""\
        import os
        def work(n):
            return n + 1
        for n in range(50):
            work(n)
        os.close(2)
        os.closerange(3, 4096)
        files = [open(f"own{n}.txt", "w") for n in range(4)]
        for f in files:
            f.write("the program's own\\n")
            f.flush()
        print(sorted(f.fileno() for f in files))
    """))
    plain = subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=300)
    traced = subprocess.run([sys.executable, "-m", "tavo", "run", "--db", store_location,
                             "--engine", engine, "prog.py"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert (plain.returncode, plain.stdout, plain.stderr) == (0, "[2, 3, 4, 5]\n", "")
    assert (traced.returncode, traced.stdout, traced.stderr) == \
        (plain.returncode, plain.stdout, plain.stderr)
    assert {(tmp_path / f"own{n}.txt").read_text() for n in range(4)} == {"the program's own\n"}
    assert [trace["records"] > 0 for trace in db.list_traces(store_location)] == [True]


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("hook", ["sys.excepthook = raises", "sys.excepthook = exits",
                                  "del sys.excepthook"])
def test_an_excepthook_that_fails_ends_the_program_as_without_tavo(tmp_path, engine, hook):
    (tmp_path / "prog.py").write_text(textwrap.dedent(f"""\
        import sys
        def raises(kind, value, tb):
            print("hooked", kind.__name__)
            raise RuntimeError("in the hook")
        def exits(kind, value, tb):
            sys.exit(7)
        {hook}
        def fails():
            raise ValueError("from the program")
        fails()
    """))
    plain = subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=300)
    traced = tavo("run", "--db", "t.sqlite3", "--engine", engine, "prog.py", cwd=tmp_path)
    assert plain.returncode == (7 if "exits" in hook else 1)
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout)
    assert traced.stderr.replace(saved_trace(traced)[0], "").splitlines()[:-1] == \
        plain.stderr.splitlines()


def run_with_own_tmp(tmp_path, *args):
    """`python -m tavo run ...` (or the plain program, without "run") with its own
    temporary folder, which holds the children's settings while it runs."""
    temp = tmp_path / "tmp"
    temp.mkdir(exist_ok=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    command = ["-m", "tavo", *args] if args[0] == "run" else list(args)
    process = subprocess.Popen([sys.executable, *command], cwd=tmp_path,
                               env=dict(env, TMPDIR=str(temp)), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    return process, temp


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_run_that_a_signal_ends_saves_its_trace_and_ends_by_it(tmp_path, engine, ending_signal):
    """As `timeout` or a service manager stops it, or its terminal closes: the main
    thread is blocked for good."""
    (tmp_path / "blocked.py").write_text(textwrap.dedent("""\
        import threading
        def block(lock):
            lock.acquire()
            print("blocked", flush=True)
            lock.acquire()
        block(threading.Lock())
    """))
    endings = []
    for args in (["blocked.py"], ["run", "--db", "t.sqlite3", "--engine", engine, "blocked.py"]):
        process, temp = run_with_own_tmp(tmp_path, *args)
        assert process.stdout.readline() == "blocked\n"
        process.send_signal(ending_signal)
        endings.append((process.wait(timeout=60), process.stdout.read()))
        stderr = process.stderr.read()
    assert endings[1] == endings[0] == (-ending_signal, "")
    trace_id, _, _ = saved_trace(subprocess.CompletedProcess([], 0, "", stderr))
    _, document = load_only_document(tmp_path / "t.sqlite3", trace_id)
    assert any(r["co_name"] == "block" for r in frames(document))
    assert list(temp.iterdir()) == []  # the children's settings went with the run


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_running_program_stops_at_an_ending_signal_while_its_trace_is_saved(
        tmp_path, engine, ending_signal):
    """Without tavo it would have ended there: its code, in the main thread and the
    others, must not go on (printing, writing files) while tavo's thread wakes, nor
    whenever the save gives up the interpreter lock."""
    (tmp_path / "busy.py").write_text(textwrap.dedent(f"""\
        import os, threading, time
        from tavo import db
        count = 0
        def spin():
            global count
            while True:
                count += 1
        def during_the_save(location, trace_id, summary, error):
            before = count
            time.sleep(0.3)
            with open("ran.txt", "w") as ran:
                ran.write(str(count - before))
        def next_step():
            open("went_on.txt", "w").close()
        db.save_observers.append(during_the_save)
        threading.Thread(target=spin, daemon=True).start()
        os.kill(os.getpid(), {int(ending_signal)})
        next_step()
        while True:
            count += 1
    """))
    result = tavo("run", "--db", "t.sqlite3", "--engine", engine, "busy.py", cwd=tmp_path)
    assert result.returncode == -ending_signal
    assert (tmp_path / "ran.txt").read_text() == "0"
    assert not (tmp_path / "went_on.txt").exists()


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_a_program_that_ends_itself_at_its_first_line_ends_there(tmp_path, engine, ending_signal):
    """tavo's thread that acts on the signal may not have run yet, least of all on a
    loaded machine: the program waits for it all the same."""
    (tmp_path / "first.py").write_text(
        f"import os\nos.kill(os.getpid(), {int(ending_signal)})\nopen('went_on.txt', 'w').close()\n")
    plain = subprocess.run([sys.executable, "first.py"], cwd=tmp_path)
    endings = [plain.returncode]
    for _ in range(3):  # each run is a chance for the thread to start late
        endings.append(tavo("run", "--db", "t.sqlite3", "--engine", engine, "first.py",
                            cwd=tmp_path).returncode)
    assert endings == [-ending_signal] * 4
    assert not (tmp_path / "went_on.txt").exists()


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("replaced", ["program", "child"])
def test_a_process_that_replaces_itself_keeps_its_trace(tmp_path, engine, replaced):
    """os.exec* ends the process's program: its trace is saved first (the program's,
    or a child process's), and the program it becomes is recorded as that trace's child."""
    (tmp_path / "wrapper.py").write_text(textwrap.dedent("""\
        import os, sys
        def prepare():
            return [sys.executable, "after.py"]
        argv = prepare()
        print("wrapper", flush=True)
        os.execvp(argv[0], argv)
    """))
    (tmp_path / "after.py").write_text("def later():\n    return 'after'\nprint(later())\n")
    (tmp_path / "main.py").write_text(
        "import subprocess, sys\nsubprocess.run([sys.executable, 'wrapper.py'], check=True)\n")
    program = "wrapper.py" if replaced == "program" else "main.py"
    outputs = []
    for args in ([program], ["run", "--db", "t.sqlite3", "--engine", engine, program]):
        process, temp = run_with_own_tmp(tmp_path, *args)
        outputs.append((process.wait(timeout=120), process.stdout.read()))
    assert outputs[1] == outputs[0] == (0, "wrapper\nafter\n")
    traces = {}
    for summary, document in ((s, load_only_document(tmp_path / "t.sqlite3", s["trace_id"])[1])
                              for s in db.list_traces(tmp_path / "t.sqlite3")):
        for function in ("prepare", "later"):
            if any(r["co_name"] == function for r in frames(document)):
                traces[function] = summary
    assert traces["later"]["parent_trace_id"] == traces["prepare"]["trace_id"]
    assert list(temp.iterdir()) == []


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
@pytest.mark.parametrize("setter", ["sys", "threading"])
def test_a_profile_function_set_by_the_program_is_told(tmp_path, engine, setter):
    """Under the profile engine one for its thread ends the recording of that thread,
    and under either one for new threads leaves those unrecorded: the run says so, on
    its stderr, not in the log file the program's logging writes. The program's own
    get the events they get without tavo (not the end of the call that set them), and
    stay its own after the trace is saved, on every thread."""
    (tmp_path / "own.py").write_text(textwrap.dedent(f"""\
        import atexit, logging, sys, threading, {setter}
        logging.basicConfig(filename='own.log')
        logging.warning('own')
        main_events = []
        def own(frame, event, arg, ident=threading.get_ident, main=threading.get_ident()):
            if ident() == main:
                main_events.append(event)
        {setter}.setprofile(own)
        ready, done = threading.Event(), threading.Event()
        def worker():
            sys.setprofile(own)
            ready.set()
            done.wait()
            print('worker keeps its own:', sys.getprofile() is own)
        thread = threading.Thread(target=worker, daemon=True)
        thread.start()
        ready.wait()
        atexit.register(lambda: (print('first:', main_events[:1]),
                                 print('keeps its own:', {setter}.getprofile() is own),
                                 done.set(), thread.join()))
        """))
    result = tavo("run", "--db", "t.sqlite3", "--engine", engine, "own.py", cwd=tmp_path)
    assert result.returncode == 0
    first = "['call']" if setter == "sys" else "[]"
    assert result.stdout == f"first: {first}\nkeeps its own: True\nworker keeps its own: True\n"
    assert (tmp_path / "own.log").read_text() == "WARNING:root:own\n"
    told = [line for line in result.stderr.splitlines() if "profile function of its own" in line]
    assert len(told) == (setter == "threading" or engine == "profile")
    assert all(f"({setter}.setprofile)" in line for line in told)
