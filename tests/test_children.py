"""Child processes of a profiled program: multiprocessing's fork, spawn and forkserver
children, a Python subprocess (with a preexec_fn too) and a plain os.fork (ended by
sys.exit, or os._exit down a line of forks) each save their own trace into the
same store, labelled with the parent's trace id and their process id; --no-children
records the parent alone."""

import concurrent.futures
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from tavo import db

pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")

PROGRAM = textwrap.dedent("""\
    import multiprocessing
    import os
    import subprocess
    import sys

    from child import work

    if __name__ == "__main__":
        for method in ("fork", "spawn", "forkserver"):
            process = multiprocessing.get_context(method).Process(target=work, args=(method,))
            process.start()
            process.join()
            assert process.exitcode == 0
        pool = multiprocessing.get_context("fork").Pool(2)
        assert pool.map(work, ["pool"] * 4, chunksize=1) == ["pool"] * 4
        pool.close()  # its workers end and save (terminate() would kill them unsaved)
        pool.join()
        subprocess.run([sys.executable, "child.py", "subprocess"], check=True)
        subprocess.run([sys.executable, "child.py", "preexec_fn"], check=True, preexec_fn=os.getpid)
        pid = os.fork()
        if pid == 0:
            work("os.fork")
            sys.exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        work("parent")
""")
CHILD = textwrap.dedent("""\
    import sys


    def work(tag):
        return tag


    if __name__ == "__main__":
        work(sys.argv[1])
""")


def is_child(summary):
    """A child's row: its role, its parent trace and its pid, its label as the child's own."""
    return summary["role"] == "child" and summary["pid"] is not None
CHILD_TAGS = {"fork", "spawn", "forkserver", "subprocess", "preexec_fn", "os.fork"}


def tavo(*args, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def work_tags(blob):
    document = db.decode_document(blob)
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return {r["locals"]["tag"] for r in records
            if r.get("co_name") == "work" and r.get("event") == "call"}


@pytest.fixture
def program(tmp_path):
    (tmp_path / "prog.py").write_text(PROGRAM)
    (tmp_path / "child.py").write_text(CHILD)
    return tmp_path


def stored(cwd):
    return [(summary, blob) for t in db.list_traces(cwd / "tavo.sqlite3")
            for summary, blob in db.load_traces(cwd / "tavo.sqlite3", t["trace_id"])]


def test_every_child_saves_its_own_trace_linked_to_the_parent(program):
    result = tavo("run", "prog.py", cwd=program)
    assert result.returncode == 0, result.stderr
    check_children(program)


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_long_settings_reach_children_without_the_environment(program, engine):
    # About 200 KB of settings: more than one environment variable may hold.
    fragments = ", ".join(f'"/nowhere/vendored-library-{i:05d}/"' for i in range(5000))
    (program / "pyproject.toml").write_text(f"[tool.tavo]\ninclude = [{fragments}]\n")
    result = tavo("run", "--engine", engine, "prog.py", cwd=program)
    assert result.returncode == 0, result.stderr
    check_children(program)


def check_children(program):
    """Each child of PROGRAM saved one trace, linked to the parent's."""
    traces = stored(program)
    [(parent, parent_blob)] = [(s, b) for s, b in traces if not is_child(s)]
    assert parent["label"] == "prog.py" and work_tags(parent_blob) == {"parent"}
    assert parent["role"] == "main" and parent["parent_trace_id"] is None
    children, pool_workers = {}, []
    for summary, blob in traces:
        if not is_child(summary):
            continue
        assert summary["parent_trace_id"] == parent["trace_id"], summary
        assert "[child of" not in summary["label"], summary["label"]
        tags = work_tags(blob)
        if tags <= {"pool"}:  # a worker may have been handed no task
            pool_workers.append(tags)
            continue
        [tag] = tags
        assert tag not in children, tag  # each child once
        children[tag] = (summary["trace_id"], summary["pid"])
    assert set(children) == CHILD_TAGS
    assert len(pool_workers) == 2 and {"pool"} in pool_workers
    assert len({pid for _, pid in children.values()}) == len(CHILD_TAGS)

    # Listed under their parent, each with its process id.
    listing = tavo("traces", cwd=program).stdout.splitlines()
    at = next(i for i, line in enumerate(listing) if line.startswith(parent["trace_id"]))
    below = listing[at + 1:at + 1 + len(CHILD_TAGS) + 2]
    assert {t for t, _ in children.values()} <= {line.split()[0] for line in below}
    assert all(line.startswith("  trc_") and re.search(r"\(pid \d+\)$", line) for line in below)


NESTED_EXITS = textwrap.dedent("""\
    import os
    from child import work
    end = os._exit  # taken before the forks: the child's own os._exit must still save
    if os.fork() == 0:
        work("child")
        if os.fork() == 0:
            work("grandchild")
            end(5)
        print(os.waitstatus_to_exitcode(os.wait()[1]))
        os._exit(4)
    print(os.waitstatus_to_exitcode(os.wait()[1]))
""")


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_forked_children_ended_by_os_exit_save_down_the_line(program, engine):
    (program / "nested.py").write_text(NESTED_EXITS)
    plain = subprocess.run([sys.executable, "nested.py"], cwd=program, capture_output=True,
                           text=True, timeout=300)
    result = tavo("run", "--engine", engine, "nested.py", cwd=program)
    assert (result.returncode, result.stdout) == (plain.returncode, plain.stdout) == (0, "5\n4\n")
    by_tag = {frozenset(work_tags(blob)): summary for summary, blob in stored(program)}
    parent, child = by_tag[frozenset()], by_tag[frozenset({"child"})]
    assert child["parent_trace_id"] == parent["trace_id"]
    assert by_tag[frozenset({"grandchild"})]["parent_trace_id"] == child["trace_id"]


def test_no_children_records_the_parent_alone(program):
    result = tavo("run", "--no-children", "prog.py", cwd=program)
    assert result.returncode == 0, result.stderr
    [(summary, blob)] = stored(program)
    assert summary["label"] == "prog.py" and work_tags(blob) == {"parent"}
    assert len(re.findall(r"tavo: saved trace", result.stderr)) == 1


def test_under_pytest_children_are_linked_to_their_tests_trace(program):
    (program / "test_kids.py").write_text(textwrap.dedent("""\
        import multiprocessing
        import subprocess
        import sys

        from child import work


        def test_kid():
            process = multiprocessing.get_context("fork").Process(target=work, args=("fork",))
            process.start()
            process.join()
            subprocess.run([sys.executable, "child.py", "subprocess"], check=True)
    """))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             "--tavo", "test_kids.py"], cwd=program, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    traces = stored(program)
    [test] = [s for s, _ in traces if s["label"] == "test_kids.py::test_kid"]
    linked = {tag for s, b in traces if is_child(s) and s["parent_trace_id"] == test["trace_id"]
              for tag in work_tags(b)}
    assert linked == {"fork", "subprocess"}, [s["label"] for s, _ in traces]


SIGTERM_IN_CHILD = textwrap.dedent("""\
    import multiprocessing
    import signal


    def report(queue):
        queue.put(signal.getsignal(signal.SIGTERM) is signal.SIG_DFL)


    def test_forked_child_has_the_default_sigterm():
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        process = context.Process(target=report, args=(queue,))
        process.start()
        assert queue.get(timeout=60) is True
        process.join()
""")


@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_under_pytest_a_forked_child_starts_with_sigterm_as_without_tavo(tmp_path, engine):
    # A Python-level handler inherited from the run would leave a pool worker that
    # SIGTERM meets as it blocks on its task queue's lock running for ever.
    (tmp_path / "test_sigterm.py").write_text(SIGTERM_IN_CHILD)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    for tavo_args in ([], ["--tavo", "--tavo-engine", engine]):
        result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 *tavo_args, "test_sigterm.py"], cwd=tmp_path, env=env,
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr


BAD_CHILD_SETTINGS = {
    "nested too deep": "[" * 100_000 + "]" * 100_000,
    "no store": json.dumps({"db": None, "source": "cli", "config": {}}),
    "bad setting": json.dumps({"db": "t.sqlite3", "source": "cli", "config": {"threading": 2}}),
    "not json": "{",
}


@pytest.mark.parametrize("content", BAD_CHILD_SETTINGS.values(), ids=BAD_CHILD_SETTINGS.keys())
def test_bad_child_settings_are_one_line_and_nothing_is_written(tmp_path, content):
    settings = tmp_path / "children.json"
    settings.write_text(content)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    env["TAVO_CHILD"] = f"trc_01HF7YAT00AAAAAAAAAAAAAAAA {settings}"
    result = subprocess.run([sys.executable, "-c", "print('ran')"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.stdout == "ran\n" and result.returncode == 0
    [line] = result.stderr.splitlines()
    assert line.startswith("tavo: not profiling process ") and str(settings) in line, line
    assert [path.name for path in tmp_path.iterdir()] == ["children.json"]


# Children ended by SIGTERM: a pool left by `with` (its workers terminated), a process
# terminated while it sleeps, and a Python subprocess terminated. Each saves its trace
# and ends as it would without tavo.
TERMINATED = textwrap.dedent("""\
    import multiprocessing
    import subprocess
    import sys
    import time


    def started(queue):
        queue.put(None)


    # Warned when it forks while it has several threads (one of tavo's would count).
    FORKS = (
        "import os, warnings\\n"
        "with warnings.catch_warnings(record=True) as warned:\\n"
        "    warnings.simplefilter('always')\\n"
        "    if os.fork() == 0:\\n"
        "        os._exit(0)\\n"
        "    os.wait()\\n"
        "print(len(warned), flush=True)\\n"
        "input()\\n")


    def work(n):
        return n * n


    def sleep(ready):
        ready.set()
        time.sleep(60)


    if __name__ == "__main__":
        context = multiprocessing.get_context(sys.argv[1])
        queue = context.Queue()
        with context.Pool(2, initializer=started, initargs=(queue,)) as pool:
            for _ in range(2):
                queue.get()
            print(pool.map(work, range(10)))
            pids = [process.pid for process in pool._pool]
        ready = context.Event()
        process = context.Process(target=sleep, args=(ready,))
        process.start()
        ready.wait()
        process.terminate()
        process.join()
        child = subprocess.Popen([sys.executable, "-c", FORKS], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        warned = child.stdout.readline()
        child.terminate()
        print(process.exitcode, child.wait(), warned.strip())
        print(*pids, process.pid, child.pid, file=sys.stderr)
""")


def run_terminated(cwd, *tavo_args, method="fork", program="terminated.py"):
    """The program's stdout and exit status, and the process ids it printed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    command = ["-m", "tavo", "run", *tavo_args] if tavo_args else []
    result = subprocess.run([sys.executable, *command, program, method], cwd=cwd, env=env,
                            capture_output=True, text=True, timeout=120)
    pids = {int(word) for word in result.stderr.splitlines()[0].split()}
    return result.stdout, result.returncode, pids


def saved_child_pids(cwd):
    return sorted(t["pid"] for t in db.list_traces(cwd / "tavo.sqlite3") if is_child(t))


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
@pytest.mark.parametrize("engine", ["monitoring", "profile"])
def test_children_ended_by_sigterm_save_and_end_as_without_tavo(tmp_path, engine, method):
    (tmp_path / "terminated.py").write_text(TERMINATED)
    plain_out, plain_status, _ = run_terminated(tmp_path, method=method)
    out, status, pids = run_terminated(tmp_path, "--engine", engine, method=method)
    assert (out, status) == (plain_out, plain_status)
    assert out.splitlines()[-1] == "-15 -15 0"
    saved = saved_child_pids(tmp_path)  # with the process that the subprocess forks
    assert set(pids) <= set(saved) and len(saved) == len(pids) + 1


POOL = textwrap.dedent("""\
    import multiprocessing
    import sys


    def work(n):
        return n * n


    if __name__ == "__main__":
        with multiprocessing.Pool(2) as pool:
            print(pool.map(work, range(10)))
            print(*[process.pid for process in pool._pool], file=sys.stderr)
""")


@pytest.mark.skipif(os.environ.get("TAVO_LONG_CHECKS") != "1",
                    reason="long check: set TAVO_LONG_CHECKS=1")
def test_with_pool_keeps_its_workers_traces_in_500_runs(tmp_path):
    (tmp_path / "pool.py").write_text(POOL)
    plain_out, plain_status, _ = run_terminated(tmp_path, program="pool.py")

    def one_run(index):
        cwd = tmp_path / f"run{index}"
        cwd.mkdir()
        (cwd / "pool.py").write_text(POOL)
        engine = ("monitoring", "profile")[index % 2]
        try:
            out, status, pids = run_terminated(cwd, "--engine", engine, program="pool.py")
        except subprocess.TimeoutExpired:
            return index, "hung"
        if (out, status) != (plain_out, plain_status) or saved_child_pids(cwd) != sorted(pids):
            return index, (out, status, pids, saved_child_pids(cwd))
        return None

    with concurrent.futures.ThreadPoolExecutor(4) as runs:
        failed = [result for result in runs.map(one_run, range(500)) if result is not None]
    assert failed == []


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
def test_subinterpreters_are_no_children(tmp_path):
    # They share the process and its environment with the program; tavo's
    # module refuses them, and the program runs as it does without tavo.
    (tmp_path / "prog.py").write_text(textwrap.dedent("""\
        from concurrent import interpreters
        from concurrent.futures import InterpreterPoolExecutor
        interp = interpreters.create()
        interp.exec("print('in the subinterpreter', sum(range(10)))")
        print(interp.call(pow, 2, 10))
        with InterpreterPoolExecutor(2) as pool:
            print(list(pool.map(abs, [-1, -2])))
        try:
            interp.exec("import tavo._tavo")
        except interpreters.ExecutionFailed as refused:
            print(refused.excinfo.type.__name__)
    """))
    plain = subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=300)
    assert plain.stdout.endswith("ImportError\n"), plain.stderr
    traced = tavo("run", "prog.py", cwd=tmp_path)
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout)
    assert [line for line in traced.stderr.splitlines() if not line.startswith("tavo: saved")] == \
        plain.stderr.splitlines()
