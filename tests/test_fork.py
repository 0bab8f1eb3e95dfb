"""A profiled process that forks: parent and child both keep profiling, each
builds and saves its own documents, and no identifier made after the fork in
one process repeats one made in the other (their random parts are compared)."""

import os
import select
import signal
import subprocess
import sys
import time
import traceback

import msgpack
import pytest

import tavo.db
import tavo.plugins

from conftest import Host, profiling

TESTS_PER_PROCESS = 60  # each a trace of its own, with a new trace id
WATCHDOG_SECONDS = 120
ID_LENGTH = 30  # "frm_" or "trc_" and 26 characters
RANDOM_PART = 16  # the last 16 characters hold the 80 random bits


def recorded(tag):
    return tag


def run_test(tag):
    # Watched by the test-boundary plugin: the call starts a trace, the return
    # ends and saves it.
    return recorded(tag)


def session(first_tag):
    for tag in range(first_tag, first_tag + TESTS_PER_PROCESS):
        run_test(tag)


def boundary_plugin():
    return [{
        "co_names": ["run_test"],
        "path_fragment": os.path.basename(__file__),
        "call_type": "start_test",
        "return_type": "end_test",
    }]


def identifiers(documents):
    """Trace ids of the documents and frame ids of their records, and the
    tags recorded, per document."""
    trace_ids, frame_ids, tags = [], [], []
    for blob in documents:
        doc = msgpack.unpackb(blob, strict_map_key=False, raw=False)
        trace_ids.append(doc["trace_id"])
        doc_tags = set()
        for records in [doc["frames_of_interest"], *doc["frames"].values()]:
            for record in records:
                if record.get("frame_id") is not None:
                    frame_ids.append(record["frame_id"])
                if record.get("co_name") == "recorded":
                    doc_tags.add(record["locals"]["tag"])
        tags.append(doc_tags)
    return trace_ids, frame_ids, tags


def random_parts(ids, prefix):
    assert all(len(i) == ID_LENGTH and i.startswith(prefix) for i in ids), ids[:3]
    return {i[-RANDOM_PART:] for i in ids}


def read_all(fd, deadline):
    chunks = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def wait_or_kill(pid, deadline):
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_parent_and_child_keep_profiling_with_their_own_identifiers(monkeypatch):
    saved = []

    def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
        saved.append(bytes(msgpack))

    monkeypatch.setattr(tavo.plugins, "load_plugin_data", lambda config: boundary_plugin())
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    host = Host(one_trace_per_test=True)
    deadline = time.monotonic() + WATCHDOG_SECONDS
    with profiling(host) as native:
        session(0)  # identifiers made before the fork, in the parent
        native.build_trace()
        before_fork = list(saved)
        saved.clear()
        read_fd, write_fd = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.close(read_fd)
                session(100_000)
                payload = msgpack.packb([*saved, native.build_trace()])
                view = memoryview(payload)
                while view:
                    view = view[os.write(write_fd, view):]
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(code)
        os.close(write_fd)
        session(200_000)
        parent_documents = [*saved, native.build_trace()]
    try:
        payload = read_all(read_fd, deadline)
    finally:
        os.close(read_fd)
    status = wait_or_kill(pid, deadline)
    assert status is not None, "the child did not finish in time"
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    assert payload is not None, "the child's document did not arrive in time"
    child_documents = msgpack.unpackb(payload)

    # Each process saved one document per test, holding that test's records
    # and nothing of the other process's.
    for documents, first_tag in ((child_documents, 100_000), (parent_documents, 200_000)):
        trace_ids, frame_ids, tags = identifiers(documents)
        expected = [{tag} for tag in range(first_tag, first_tag + TESTS_PER_PROCESS)]
        assert tags == expected + [set()]  # the final build has nothing left
        assert len(set(trace_ids[:-1])) == TESTS_PER_PROCESS  # a new trace per test
        assert trace_ids[-1] == trace_ids[-2]  # the last trace goes on

    child_traces, child_frames, _ = identifiers(child_documents)
    parent_traces, parent_frames, _ = identifiers(parent_documents)
    before_traces, before_frames, _ = identifiers(before_fork)
    # Three frame ids per test (the plugin record's, and the two frames'), one
    # more for `session`, whose return comes after the last test.
    assert len(set(child_frames)) == len(set(parent_frames)) == 3 * TESTS_PER_PROCESS + 1
    child = random_parts(set(child_frames), "frm_") | random_parts(set(child_traces), "trc_")
    parent = random_parts(set(parent_frames), "frm_") | random_parts(set(parent_traces), "trc_")
    before = (random_parts(set(before_frames), "frm_")
              | random_parts(set(before_traces), "trc_"))
    assert len(child) == len(parent) == 4 * TESTS_PER_PROCESS + 1
    assert child.isdisjoint(parent)
    assert child.isdisjoint(before) and parent.isdisjoint(before)


FORK_AND_SAVE = """
import os
import sys
import tavo

def work(tag):
    return tag

with tavo.profile(db_path=sys.argv[1]):
    work("before")
    pid = os.fork()
    if pid == 0:
        work("child")
        sys.exit(0)  # leaves the block: the child saves its own trace
    _, status = os.waitpid(pid, 0)
    work("parent")
sys.exit(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_forked_child_saves_only_its_own_records_under_a_new_trace_id(tmp_path):
    program = tmp_path / "fork_and_save.py"
    program.write_text(FORK_AND_SAVE)
    db_path = tmp_path / "traces.sqlite3"
    done = subprocess.run([sys.executable, str(program), str(db_path)], capture_output=True,
                          text=True, timeout=WATCHDOG_SECONDS)
    assert done.returncode == 0, done.stderr
    summaries = tavo.db.list_traces(db_path)
    trace_ids = [summary["trace_id"] for summary in summaries]
    assert len(trace_ids) == 2 and len(set(trace_ids)) == 2  # one document per trace id
    tags, frame_ids = [], []
    for trace_id in trace_ids:
        [(_, blob)] = tavo.db.load_traces(db_path, trace_id)
        records = msgpack.unpackb(blob, strict_map_key=False, raw=False)["frames_of_interest"]
        tags.append(sorted(r["locals"]["tag"] for r in records
                           if r.get("co_name") == "work" and r["event"] == "call"))
        frame_ids += [(r["frame_id"], r["event"]) for r in records if r.get("frame_id")]
    assert sorted(tags) == [["before", "parent"], ["child"]]  # each record stored once
    assert len(frame_ids) == len(set(frame_ids))
