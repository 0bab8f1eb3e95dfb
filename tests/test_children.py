"""Child processes of a profiled program: multiprocessing's fork, spawn and forkserver
children, a Python subprocess and a plain os.fork each save their own trace into the
same store, labelled with the parent's trace id and their process id; --no-children
records the parent alone."""

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
CHILD_LABEL = re.compile(r"^(.*) \[child of (trc_[0-9A-Z]{26}) pid (\d+)\]$")
CHILD_TAGS = {"fork", "spawn", "forkserver", "subprocess", "os.fork"}


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
    traces = stored(program)
    [(parent, parent_blob)] = [(s, b) for s, b in traces if not CHILD_LABEL.match(s["label"])]
    assert parent["label"] == "prog.py" and work_tags(parent_blob) == {"parent"}
    children, pool_workers = {}, []
    for summary, blob in traces:
        found = CHILD_LABEL.match(summary["label"])
        if found is None:
            continue
        assert found.group(2) == parent["trace_id"], summary["label"]
        tags = work_tags(blob)
        if tags <= {"pool"}:  # a worker may have been handed no task
            pool_workers.append(tags)
            continue
        [tag] = tags
        assert tag not in children, tag  # each child once
        children[tag] = (summary["trace_id"], int(found.group(3)))
    assert set(children) == CHILD_TAGS
    assert len(pool_workers) == 2 and {"pool"} in pool_workers
    assert len({pid for _, pid in children.values()}) == len(CHILD_TAGS)

    # Listed under their parent, each with its process id.
    listing = tavo("traces", cwd=program).stdout.splitlines()
    at = next(i for i, line in enumerate(listing) if line.startswith(parent["trace_id"]))
    below = listing[at + 1:at + 1 + len(CHILD_TAGS) + 2]
    assert {t for t, _ in children.values()} <= {line.split()[0] for line in below}
    assert all(line.startswith("  trc_") and re.search(r"\(pid \d+\)$", line) for line in below)


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
    linked = {tag for s, b in traces if (found := CHILD_LABEL.match(s["label"] or ""))
              and found.group(2) == test["trace_id"] for tag in work_tags(b)}
    assert linked == {"fork", "subprocess"}, [s["label"] for s, _ in traces]


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
