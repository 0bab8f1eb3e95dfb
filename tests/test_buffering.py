"""Where records go once made: routing by thread, one trace per test cut by
start and end markers, many threads at once, and identifiers across fork."""

import _thread
import inspect
import json
import os
import sqlite3
import sys
import threading
import time

import pytest

import tavo
import tavo.db
import tavo.serialize
import tavo.plugins
from tavo.stores import sqlite as sqlite_store
from conftest import Host, decode, profiling
from test_recording import ULID_RE, all_records, frame_records, ulid_millis

# Every test here runs on both engines.
pytestmark = pytest.mark.usefixtures("engine")

HERE = os.path.basename(__file__)


def thread_leaf(n):
    return n


def thread_body(n):
    return thread_leaf(n)


def renaming_body():
    thread_leaf(1)
    threading.current_thread().name = "second-name"
    thread_leaf(2)


def before_tests():
    return "lost"


def a_test_body(n):
    return thread_leaf(n)


def after_test():
    return "kept"


def side_job(seen):
    seen.append(threading.get_native_id())


def mt_leaf(i):
    return i


def mt_worker(count):
    for i in range(count):
        mt_leaf(i)


def fork_probe():
    return None


def run_thread(target, *args, name=None):
    worker = threading.Thread(target=target, args=args, name=name)
    worker.start()
    worker.join()
    return worker


# ---------------------------------------------------------------- routing

@pytest.mark.parametrize("threading_on", [False, True])
def test_records_are_routed_by_thread(threading_on):
    with profiling(Host({"threading": threading_on})) as profiler:
        if not threading_on:
            threading.setprofile(profiler.register_threading_profiler)
        thread_leaf(-1)
        worker = run_thread(thread_body, 7, name="worker-7")
        document = profiler.build_trace()
    decoded = decode(document)
    main_id = threading.get_native_id()
    interest = [r for r in decoded["frames_of_interest"] if r["co_name"].startswith("thread_")]
    if threading_on:
        assert list(decoded["frames"]) == [worker.native_id]
        elsewhere = decoded["frames"][worker.native_id]
        assert [(r["co_name"], r["event"]) for r in interest] == [
            ("thread_leaf", "call"), ("thread_leaf", "return")]
    else:
        assert decoded["frames"] == {}
        elsewhere = [r for r in interest if r["thread_native_id"] == worker.native_id]
        assert len(interest) == 2 + len(elsewhere)
    assert {r["thread_native_id"] for r in interest if r["locals"] == {"n": -1}} == {main_id}
    assert [(r["co_name"], r["event"], r["thread"]) for r in elsewhere] == [
        ("thread_body", "call", "worker-7"), ("thread_leaf", "call", "worker-7"),
        ("thread_leaf", "return", "worker-7"), ("thread_body", "return", "worker-7")]
    assert {r["thread_native_id"] for r in elsewhere} == {worker.native_id}
    assert elsewhere[1]["user_code_call_site"]["call_frame_id"] == elsewhere[0]["frame_id"]


def test_thread_keeps_the_name_it_had_when_first_seen():
    with profiling(Host({"threading": True})) as profiler:
        worker = run_thread(renaming_body, name="first-name")
        document = profiler.build_trace()
    assert worker.name == "second-name"
    records = [r.value for r in frame_records(document, {"thread_leaf"})]
    assert [r["locals"]["n"] for r in records] == [1, 1, 2, 2]
    assert {r["thread"] for r in records} == {"first-name"}


# ---------------------------------------------------------------- one trace per test

def _boundary_plugin(extra=()):
    def load_plugin_data(config):
        return [{"co_names": ["a_test_body"], "path_fragment": HERE,
                 "call_type": "start_test", "return_type": "end_test"}, *extra]
    return load_plugin_data


@pytest.fixture
def saved(monkeypatch):
    calls = []
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", lambda *a, **k: calls.append((a, k)))
    return calls


def _kinds(records):
    return [(r.get("co_name"), r.get("event"), r["type"]) for r in records]


def test_markers_cut_one_trace_per_test(monkeypatch, saved):
    monkeypatch.setattr(tavo.plugins, "load_plugin_data", _boundary_plugin())
    host = Host(one_trace_per_test=True, db_path="traces.sqlite3")
    before = int(time.time() * 1000)
    with profiling(host) as profiler:
        before_tests()
        a_test_body(1)
        assert len(saved) == 1
        after_test()
        between = decode(profiler.build_trace())
        a_test_body(2)
    after = int(time.time() * 1000)
    assert len(saved) == 2
    (first_args, first_kwargs), (second_args, second_kwargs) = saved
    first_id, second_id = first_args[1], second_args[1]
    for trace_id in (first_id, second_id):
        assert trace_id.startswith("trc_") and ULID_RE.fullmatch(trace_id[4:])
        assert before - 1 <= ulid_millis(trace_id[4:]) <= after + 1
    assert len({host.trace_id, first_id, second_id}) == 3
    assert first_args == ("traces.sqlite3", first_id)
    assert list(first_kwargs) == ["timeout", "msgpack"] and first_kwargs["timeout"] == 60

    first = decode(first_kwargs["msgpack"])
    assert first["trace_id"] == first_id
    assert _kinds(first["frames_of_interest"]) == [
        (None, None, "start_test"),
        ("a_test_body", "call", "frame"), ("thread_leaf", "call", "frame"),
        ("thread_leaf", "return", "frame"), ("a_test_body", "return", "frame"),
        (None, None, "end_test")]
    start, end = first["frames_of_interest"][0], first["frames_of_interest"][-1]
    assert start["frame_id"] == end["frame_id"]
    # Records after the end marker stay buffered under the same trace id.
    assert between["trace_id"] == first_id
    assert _kinds(between["frames_of_interest"]) == [
        ("after_test", "call", "frame"), ("after_test", "return", "frame")]
    second = decode(second_kwargs["msgpack"])
    assert second["trace_id"] == second_id
    assert [r["locals"] for r in second["frames_of_interest"] if r["type"] == "frame"] == [
        {"n": 2}, {"n": 2}, {"n": 2}, {"n": 2}]


def test_markers_are_ordinary_records_without_one_trace_per_test(monkeypatch, saved):
    monkeypatch.setattr(tavo.plugins, "load_plugin_data", _boundary_plugin())
    host = Host(one_trace_per_test=False)
    with profiling(host) as profiler:
        before_tests()
        a_test_body(1)
        document = decode(profiler.build_trace())
    assert saved == [] and document["trace_id"] == host.trace_id
    kinds = [k for k in _kinds(document["frames_of_interest"]) if k[0] != "profiling"]
    assert kinds[:2] == [("before_tests", "call", "frame"), ("before_tests", "return", "frame")]
    assert kinds[2] == (None, None, "start_test") and kinds[-1] == (None, None, "end_test")


def test_store_is_not_called_under_the_plugin_lock(monkeypatch):
    side = {"co_names": ["side_job"], "path_fragment": HERE,
            "call_type": "side_start", "return_type": "side_end"}
    monkeypatch.setattr(tavo.plugins, "load_plugin_data", _boundary_plugin([side]))
    seen, finished = [], []

    def store(*args, **kwargs):
        # Another thread runs a watched function while the store runs: it must
        # not wait for a lock held by the event that is saving.
        worker = threading.Thread(target=side_job, args=(seen,), daemon=True)
        worker.start()
        worker.join(timeout=60)
        finished.append(not worker.is_alive())

    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", store)
    with profiling(Host({"threading": True}, one_trace_per_test=True)) as profiler:
        a_test_body(3)
        document = decode(profiler.build_trace())
    assert finished == [True]
    [native_id] = seen
    assert [r["type"] for r in document["frames"][native_id]] == [
        "side_start", "frame", "frame", "side_end"]


# ---------------------------------------------------------------- many threads

@pytest.mark.parametrize("threading_on", [False, True])
def test_many_threads_keep_every_record(threading_on):
    count = 2000
    with profiling(Host({"threading": threading_on})) as profiler:
        if not threading_on:
            threading.setprofile(profiler.register_threading_profiler)
        workers = [threading.Thread(target=mt_worker, args=(count,), name=f"mt-{k}") for k in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        document = decode(profiler.build_trace())
    if threading_on:
        assert set(document["frames"]) == {w.native_id for w in workers}
        assert not [r for r in document["frames_of_interest"] if r["co_name"].startswith("mt_")]
        per_thread = {tid: records for tid, records in document["frames"].items()}
    else:
        assert document["frames"] == {}
        per_thread = {w.native_id: [r for r in document["frames_of_interest"]
                                    if r["thread_native_id"] == w.native_id] for w in workers}
    all_ids = set()
    for worker in workers:
        records = [r for r in per_thread[worker.native_id] if r["co_name"].startswith("mt_")]
        assert len(records) == 2 + 2 * count
        assert {r["thread"] for r in records} == {worker.name}
        outer_call, leaves, outer_return = records[0], records[1:-1], records[-1]
        assert (outer_call["co_name"], outer_call["event"]) == ("mt_worker", "call")
        assert (outer_return["co_name"], outer_return["event"]) == ("mt_worker", "return")
        assert outer_return["frame_id"] == outer_call["frame_id"]
        calls, returns = leaves[0::2], leaves[1::2]
        assert [(r["co_name"], r["event"]) for r in calls] == [("mt_leaf", "call")] * count
        assert [(r["co_name"], r["event"]) for r in returns] == [("mt_leaf", "return")] * count
        assert [r["locals"]["i"] for r in calls] == list(range(count))
        assert [r["arg"] for r in returns] == list(range(count))
        assert [r["frame_id"] for r in calls] == [r["frame_id"] for r in returns]
        assert {r["user_code_call_site"]["call_frame_id"] for r in calls} == {outer_call["frame_id"]}
        all_ids.update(r["frame_id"] for r in calls + [outer_call])
    assert len(all_ids) == 4 * (count + 1)


# ---------------------------------------------------------------- fork

def _probe_ids(profiler, n):
    for _ in range(n):
        fork_probe()
    document = decode(profiler.build_trace())
    return [r["frame_id"] for r in document["frames_of_interest"]
            if r.get("co_name") == "fork_probe" and r["event"] == "call"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_parent_and_child_draw_different_random_bits(host):
    with profiling(host) as profiler:
        fork_probe()  # this thread's generator is keyed before the fork
        profiler.build_trace()
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(read_end)
                os.write(write_end, json.dumps(_probe_ids(profiler, 5)).encode())
                status = 0
            finally:
                os._exit(status)
        os.close(write_end)
        parent_ids = _probe_ids(profiler, 5)
    with os.fdopen(read_end, "rb") as pipe:
        child_ids = json.loads(pipe.read())
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(parent_ids) == len(child_ids) == 5
    assert not {i[14:] for i in parent_ids} & {i[14:] for i in child_ids}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_child_forked_past_the_budget_records_its_own_calls():
    # The parent's profile function has left its thread; the child's trace starts empty.
    with tavo.profile(db_path=None, config={"buffer_budget": 20_000}) as profiler:
        for i in range(500):
            thread_leaf(i)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                thread_leaf(-1)
                kept = frame_records(profiler.rust_profiler.build_trace(), {"thread_leaf"})
                os.write(write_end, json.dumps([r.value["locals"]["n"] for r in kept]).encode())
                status = 0
            finally:
                os._exit(status)
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        child_calls = json.loads(pipe.read())
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert child_calls == [-1, -1]


def test_threads_tavo_never_hooked_keep_no_profile_function_when_the_paused_come_back(
        engine):
    # Recorded threads that met the budget end; threads started outside threading (never
    # recorded) often get their states' addresses, and must not get the function.
    started, go, finished = threading.Semaphore(0), threading.Event(), threading.Semaphore(0)
    seen = []

    def bare():
        started.release()
        go.wait()
        seen.append(sys.getprofile())
        finished.release()

    config = {"engine": engine, "threading": True, "buffer_budget": 20_000}
    with tavo.profile(db_path=None, config=config) as profiler:
        for _ in range(8):
            worker = threading.Thread(target=lambda: [thread_leaf(i) for i in range(500)])
            worker.start()
            worker.join()
        for _ in range(8):
            _thread.start_new_thread(bare, ())
        for _ in range(8):
            started.acquire()
        profiler.rust_profiler.build_trace()  # puts the function back where it left
        go.set()
        for _ in range(8):
            finished.acquire()
    assert seen == [None] * 8


def test_records_beyond_the_buffer_budget_are_dropped_and_counted(tmp_path):
    db_path = tmp_path / "traces.sqlite3"
    with tavo.profile(db_path, config={"buffer_budget": 20_000}) as profiler:
        for i in range(500):
            thread_leaf(i)
    [(summary, blob)] = tavo.db.load_traces(db_path, profiler.trace_id)
    kept = frame_records(blob, {"thread_leaf"})
    assert 0 < sum(len(record.raw) for record in kept) <= 20_000
    # Past the budget the engine stops reporting calls: the count is a floor, and says so.
    assert 0 < profiler.dropped_records <= 1000 - len(kept)
    assert summary["dropped_records"] == profiler.dropped_records
    assert summary["losses"]["uncounted_after_budget"] == 1


def test_a_full_default_budget_fits_a_sqlite_value_and_a_bigger_document_is_refused_clearly(
        tmp_path, monkeypatch):
    # A document is the buffered records plus a little: the default must leave room.
    assert tavo.profiler.DEFAULT_BUFFER_BUDGET + (1 << 20) < sqlite_store.value_limit(
        sqlite3.connect(":memory:"))
    monkeypatch.setattr(sqlite_store, "value_limit", lambda conn: 100)
    # Documents are stored compressed: bytes that do not shrink.
    with pytest.raises(sqlite3.DataError, match=r"takes \d+ bytes as stored, more than the 100.*"
                                                r"buffer_budget"):
        tavo.db.save_trace_in_sqlite(tmp_path / "t.sqlite3", "trc_x", msgpack=os.urandom(101))


def test_once_the_buffer_budget_is_reached_values_are_not_encoded(monkeypatch):
    # A value can cost far more to encode than its event; one dropped unread saves that.
    native = tavo.serialize.dump_msgpack
    encoded = []

    def counting_dump(value):
        encoded.append(None)
        return native(value)

    monkeypatch.setattr(tavo.serialize, "dump_msgpack", counting_dump)
    with tavo.profile(db_path=None, config={"buffer_budget": 20_000}) as profiler:
        for i in range(500):
            thread_leaf(i)
    kept = frame_records(profiler.trace, {"thread_leaf"})
    assert 0 < profiler.dropped_records <= 1000 - len(kept)
    assert len(encoded) == 2 * (len(kept) + 1)  # arg and locals, up to the first record dropped


def recurse(calls):
    calls.append(None)
    recurse(calls)


def test_records_lost_at_the_recursion_limit_are_counted(monkeypatch):
    # A serializer written in Python fails at the recursion limit (the native one does not).
    monkeypatch.setattr(tavo.serialize, "dump_msgpack", tavo.serialize.reference_dump)
    calls = []
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack()) + 150)
    try:
        with tavo.profile(db_path=None) as profiler:
            with pytest.raises(RecursionError):
                recurse(calls)
    finally:
        sys.setrecursionlimit(limit)
    kept = frame_records(profiler.trace, {"recurse"})
    assert profiler.dropped_records > 0
    assert len(kept) + profiler.dropped_records == 2 * len(calls)


def test_memory_a_taken_trace_leaves_holds_only_the_next_records():
    # A taken trace's chunks are kept and refilled: nothing of it may show again.
    def leaf_args(document):
        return [r.value["locals"]["n"] for r in frame_records(document, {"thread_leaf"})]

    with tavo.profile(db_path=None) as profiler:
        for i in range(3000):
            thread_leaf(i)
        first = profiler.rust_profiler.build_trace()
        kept = profiler.kept_record_bytes
        for i in range(3000):
            thread_leaf(10_000 + i)
        reused = kept - profiler.kept_record_bytes
    assert kept > 0 and reused > 0
    assert leaf_args(first) == [i for i in range(3000) for _ in "cr"]
    assert leaf_args(profiler.trace) == [10_000 + i for i in range(3000) for _ in "cr"]


def ladder_leaf(items, text):
    return len(items)


def test_values_shrink_in_steps_before_records_are_dropped_and_the_summary_says_so(
        tmp_path, engine):
    db_path = tmp_path / "traces.sqlite3"
    items, text = list(range(300)), "t" * 20_000
    with tavo.profile(db_path, config={"buffer_budget": 600_000, "engine": engine}) as p:
        for _ in range(400):
            ladder_leaf(items, text)
    [(summary, blob)] = tavo.db.load_traces(db_path, p.trace_id)
    calls = [r for r in decode(blob)["frames_of_interest"] if r.get("co_name") == "ladder_leaf"]
    sizes = [len(tavo.serialize.reference_dump(r["locals"])) for r in calls[::2]]
    # Each step is smaller than the one before, down to type and size alone.
    assert sizes == sorted(sizes, reverse=True) and len(set(sizes)) == 5
    assert calls[0]["locals"] == {"items": items, "text": text}
    assert calls[-1]["locals"] == {"items": "<list of 300 items>", "text": "<str of 20000 characters>"}
    records = decode(blob)["frames_of_interest"]
    first = next(i for i, r in enumerate(records) if r.get("locals") != calls[0]["locals"])
    losses = summary["losses"]
    assert losses == p.losses
    assert losses["shortened_from_record"] == first + 1
    assert losses["shortened_values"] >= len(calls) // 2 - first // 2
    assert losses["dropped_records"] == losses["budget_dropped_records"] == p.dropped_records > 0
    # Either engine stops the later calls from being reported.
    assert len(records) + p.dropped_records < 800
    assert losses.get("uncounted_after_budget") == 1
    from tavo.cli.call_tree import header  # `tavo show` says so above the calls

    told = header(summary, {})[-1]
    assert told.startswith(f"lost: {losses['shortened_values']} values shortened")
    # A floor is said as one, where the trace is told and where it is listed.
    floor = "at least "
    dropped = p.dropped_records
    assert f", {floor}{dropped} record{'' if dropped == 1 else 's'} dropped" in told
    from tavo.cli.traces import _lost

    assert _lost(summary).endswith(f", {floor}{p.dropped_records} dropped")



def raising_leaf(n, pad):
    raise ValueError(n)


def budget_outer(profiler):
    for i in range(300):
        try:
            raising_leaf(i, "p" * 5000)  # records far bigger than an exception record
        except ValueError:
            pass
    begun_past_the_budget(profiler)
    thread_leaf(1)


def begun_past_the_budget(profiler):
    taken.append(profiler.rust_profiler.build_trace())  # the buffers empty: recording resumes
    thread_leaf(0)


taken = []  # not a local, which the return record would hold


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_past_the_budget_records_are_counted_unmade_and_the_kept_ones_keep_their_structure(engine):
    taken.clear()
    config = {"buffer_budget": 20_000, "exceptions": True, "engine": engine}
    with tavo.profile(db_path=None, config=config) as p:
        budget_outer(p)
    before, after = all_records(taken.pop()), all_records(p.trace)
    leaf = [r.value for r in before if r.value.get("co_name") == "raising_leaf"
            or r.value["type"] == "exception"]
    # Either engine stops the later events from being reported, until the trace is taken.
    assert 0 < p.dropped_records < 3 * 300 + 1 - len(leaf)
    # An exception record comes right after the kept return of its frame.
    returns = {r["frame_id"] for r in leaf if r.get("event") == "return"}
    assert {r["frame_id"] for r in leaf if r["type"] == "exception"} <= returns
    [outer_call] = [r.value for r in before if r.value.get("co_name") == "budget_outer"]
    # Recording resumed inside a frame that began while it was stopped.
    kept = [(r.value.get("co_name"), r.value) for r in after]
    assert [(name, r["event"]) for name, r in kept] == [
        ("thread_leaf", "call"), ("thread_leaf", "return"), ("begun_past_the_budget", "return"),
        ("thread_leaf", "call"), ("thread_leaf", "return"), ("budget_outer", "return")]
    sites = [r["user_code_call_site"]["call_frame_id"] for name, r in kept if r["event"] == "call"]
    assert sites == ["frm_" + "0" * 26, outer_call["frame_id"]]
    assert kept[-1][1]["frame_id"] == outer_call["frame_id"]
