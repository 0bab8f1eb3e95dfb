"""Many threads recording at once while another thread keeps taking traces.

Each worker thread makes a known sequence of recorded calls, grouped into
batches that a plugin turns into test boundaries ("start_test" at the call of
`run_batch`, "end_test" at its return). Plugin callables and the host store
let the interpreter lock go (time.sleep(0), a little file I/O) in the middle of
event handling. Meanwhile a collector thread calls build_trace() and
save_request_in_db() over and over.

Every record is identified by the unique value it carries in "locals" (or by
its marker), so the documents can be checked exactly: each decodes as one
MessagePack value; no record appears twice; each thread's records keep their
order, inside a document and from one document to the next; and every record
is in a document, except, with one trace per test, records dropped by design
because a test boundary reset the buffers before anything took them. Those are
accounted for, not tolerated: per thread, the records pushed under one trace
id form one run; the records of a run that reach documents are a prefix of it
(everything pushed before the last take of that trace), and a missing record
is only possible at the end of a run that a later reset ended.

The long variant (8 threads of at least 100 000 recorded calls each) runs when
TAVO_LONG_CHECKS=1.
"""

import collections
import faulthandler
import logging
import os
import sys
import threading
import time
from array import array

import msgpack
import pytest

import tavo.db
import tavo.plugins
from tavo import _tavo

from conftest import Host, profiling

LONG = os.environ.get("TAVO_LONG_CHECKS") == "1"
THREADS = 8 if LONG else 4
CALLS_PER_THREAD = 100_000 if LONG else 3_000
BATCH = 500 if LONG else 200  # recorded calls between two test boundaries
BATCHES = CALLS_PER_THREAD // BATCH
# Position of each record in its thread's sequence: a batch is its start
# marker, a call and a return record per recorded call, and its end marker.
BATCH_SPAN = 2 * BATCH + 2
SEQUENCE = BATCHES * BATCH_SPAN
TAG_STRIDE = 10**9  # tag = thread index * TAG_STRIDE + call number
# A watchdog, not a timing check: a run that has not finished by then is hung.
WATCHDOG_SECONDS = 3600 if LONG else 600
INITIAL_TRACE_ID = "trc_01HF7YAT00AAAAAAAAAAAAAAAA"
DOCUMENT_KEYS = {"command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                 "main_thread_id", "meta", "timestamp", "trace_id"}


def recorded(tag):
    return tag


def run_batch(thread_index, batch_index, first_tag, count):
    for tag in range(first_tag, first_tag + count):
        recorded(tag)
    return count


def worker(thread_index, errors):
    try:
        base = thread_index * TAG_STRIDE
        for batch_index in range(BATCHES):
            run_batch(thread_index, batch_index, base + batch_index * BATCH, BATCH)
    except BaseException as exc:  # reported by the test, not lost with the thread
        errors.append(exc)


def boundary_plugin(log_path):
    """Test boundaries around each `run_batch`; the callables let the
    interpreter lock go while the event is being handled."""

    def build_context(config):
        return {"log": str(log_path)}

    def call(frame, event, arg, context):
        time.sleep(0)
        with open(context["log"], "a") as log:
            log.write(event[0])
        return True

    def process(frame, event, arg, context):
        time.sleep(0)
        f_locals = frame.f_locals
        return {"stress_marker": [f_locals["thread_index"], f_locals["batch_index"]]}

    return [{
        "co_names": ["run_batch"],
        "path_fragment": os.path.basename(__file__),
        "call_type": "start_test",
        "return_type": "end_test",
        "build_context": build_context,
        "call": call,
        "process": process,
    }]


class Intake:
    """Decodes documents as they arrive and keeps, per worker thread, where
    each of its records was found: (position in the thread's sequence,
    trace id, document number), in document order."""

    def __init__(self, threading_on):
        self.threading_on = threading_on
        self.trace_ids = {INITIAL_TRACE_ID: 0}
        self.positions = [array("q") for _ in range(THREADS)]
        self.generations = [array("q") for _ in range(THREADS)]
        self.documents = [array("q") for _ in range(THREADS)]
        self.document_count = 0
        self.origins = collections.Counter()
        self.problems = []

    def generation(self, trace_id):
        return self.trace_ids.setdefault(trace_id, len(self.trace_ids))

    def take(self, blob, origin, store_trace_id=None):
        if not isinstance(blob, bytes):
            self.problems.append(f"{origin}: document is {type(blob).__name__}, not bytes")
            return None
        try:
            # unpackb refuses trailing bytes and incomplete values alike.
            doc = msgpack.unpackb(blob, strict_map_key=False, raw=False)
        except Exception as exc:
            self.problems.append(f"{origin}: not one MessagePack value: {exc!r}")
            return None
        if not isinstance(doc, dict) or set(doc) != DOCUMENT_KEYS:
            self.problems.append(f"{origin}: unexpected document shape {sorted(doc)}")
            return None
        if store_trace_id is not None and store_trace_id != doc["trace_id"]:
            self.problems.append(f"{origin}: stored under {store_trace_id}, "
                                 f"document says {doc['trace_id']}")
        number = self.document_count
        self.document_count += 1
        self.origins[origin] += 1
        generation = self.generation(doc["trace_id"])
        if not self.threading_on and doc["frames"]:
            self.problems.append(f"{origin}: threading off, yet frames has {list(doc['frames'])}")
        lists = [(None, doc["frames_of_interest"])] + list(doc["frames"].items())
        for key, records in lists:
            for record in records:
                self.take_record(record, key, generation, number, origin)
        return doc

    def take_record(self, record, key, generation, number, origin):
        kind = record.get("type")
        if kind == "frame":
            if record.get("co_name") != "recorded":
                return
            tag = record["locals"]["tag"]
            if record["event"] == "return" and record["arg"] != tag:
                self.problems.append(f"{origin}: return of {tag} carries {record['arg']!r}")
            thread_index, call_number = divmod(tag, TAG_STRIDE)
            batch_index, offset = divmod(call_number, BATCH)
            position = (batch_index * BATCH_SPAN + 1 + 2 * offset
                        + (record["event"] == "return"))
        elif kind in ("start_test", "end_test"):
            marker = record.get("stress_marker")
            if marker is None:
                return
            thread_index, batch_index = marker
            position = batch_index * BATCH_SPAN + (0 if kind == "start_test" else BATCH_SPAN - 1)
        else:
            return
        if record["thread"] != f"stress-{thread_index}":
            self.problems.append(f"{origin}: record of thread {thread_index} names "
                                 f"{record['thread']!r}")
            return
        if self.threading_on:
            if key is None or key != record["thread_native_id"]:
                self.problems.append(f"{origin}: record of thread {thread_index} filed under "
                                     f"{key!r}, its native id is {record['thread_native_id']!r}")
        elif key is not None:
            self.problems.append(f"{origin}: threading off, record filed under thread {key!r}")
        self.positions[thread_index].append(position)
        self.generations[thread_index].append(generation)
        self.documents[thread_index].append(number)


def check_thread(intake, thread_index, one_trace_per_test, final_generation):
    """Problems with one worker thread's records (an empty list when none)."""
    problems = []
    positions = intake.positions[thread_index]
    generations = intake.generations[thread_index]
    documents = intake.documents[thread_index]
    generation_at = {}
    segments = {}  # document number -> [first, last] position, in document order
    previous = {}
    for position, generation, number in zip(positions, generations, documents):
        if position in generation_at:
            problems.append(f"position {position} found twice")
            continue
        generation_at[position] = generation
        if number in previous and previous[number] >= position:
            problems.append(f"document {number}: position {position} after {previous[number]}")
        previous[number] = position
        segment = segments.setdefault(number, [position, position])
        segment[0] = min(segment[0], position)
        segment[1] = max(segment[1], position)
    # From one document to the next the thread's records must not interleave.
    ordered = sorted(segments.values())
    for (first_a, last_a), (first_b, last_b) in zip(ordered, ordered[1:]):
        if last_a >= first_b:
            problems.append(f"documents interleave: {first_a}..{last_a} and {first_b}..{last_b}")
    # Trace ids along the thread's sequence: each one run, never resumed.
    edges = set()
    closed = set()
    current = None
    for position in sorted(generation_at):
        generation = generation_at[position]
        if generation != current:
            if generation in closed:
                problems.append(f"trace {generation} resumes at position {position}")
            if current is not None:
                closed.add(current)
                edges.add((current, generation))
            current = generation
    # Missing records.
    lost = [p for p in range(SEQUENCE) if p not in generation_at]
    if lost and not one_trace_per_test:
        problems.append(f"{len(lost)} records lost, first at positions {lost[:10]}")
    elif lost:
        blocks = []
        for p in lost:
            if blocks and blocks[-1][1] == p - 1:
                blocks[-1][1] = p
            else:
                blocks.append([p, p])
        for first, last in blocks:
            before = generation_at.get(first - 1)
            after = generation_at.get(last + 1, final_generation)
            if before is None and first == 0:
                # Nothing of the thread was found before: a reset after the
                # lost records was needed, so the trace found next is not
                # the one the run began with.
                if after == 0:
                    problems.append(f"positions {first}..{last} lost under the first trace")
            elif before == after:
                problems.append(f"positions {first}..{last} lost inside trace {before}, "
                                "with no reset after them")
    return problems, edges, len(lost)


def acyclic(edges):
    successors = collections.defaultdict(set)
    incoming = collections.Counter()
    nodes = set()
    for a, b in edges:
        nodes.update((a, b))
        if b not in successors[a]:
            successors[a].add(b)
            incoming[b] += 1
    ready = [n for n in nodes if incoming[n] == 0]
    seen = 0
    while ready:
        node = ready.pop()
        seen += 1
        for nxt in successors[node]:
            incoming[nxt] -= 1
            if incoming[nxt] == 0:
                ready.append(nxt)
    return seen == len(nodes)


def join_or_fail(threads, deadline):
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    alive = [thread.name for thread in threads if thread.is_alive()]
    if alive:
        faulthandler.dump_traceback(all_threads=True)
        pytest.fail(f"still running at the watchdog's deadline (deadlock or hang): {alive}")


@pytest.mark.parametrize("one_trace_per_test", [False, True], ids=["one-trace", "trace-per-test"])
@pytest.mark.parametrize("threading_on", [False, True], ids=["threading-off", "threading-on"])
def test_threads_with_concurrent_builds_and_saves(monkeypatch, tmp_path, threading_on,
                                                  one_trace_per_test):
    # Documents in the order they were handed over, decoded once the threads
    # are done so that decoding does not slow the collector down.
    pending = collections.deque()

    def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
        time.sleep(0)
        pending.append(("store", trace_id, msgpack))

    monkeypatch.setattr(tavo.plugins, "load_plugin_data",
                        lambda config: boundary_plugin(tmp_path / "plugin.log"))
    monkeypatch.setattr(tavo.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    monkeypatch.setattr(sys, "argv", ["stress"])

    errors = []
    native_box = []
    started = threading.Event()
    stop = threading.Event()

    def collector():
        # Started before registration, so it is not itself profiled.
        try:
            started.wait()
            native = native_box[0]
            while not stop.is_set():
                pending.append(("build_trace", None, native.build_trace()))
                native.save_request_in_db()
                time.sleep(0)
        except BaseException as exc:
            errors.append(exc)

    host = Host({"threading": threading_on}, one_trace_per_test=one_trace_per_test,
                trace_id=INITIAL_TRACE_ID, source="stress")
    collector_thread = threading.Thread(target=collector, name="collector", daemon=True)
    collector_thread.start()
    old_interval = sys.getswitchinterval()
    deadline = time.monotonic() + WATCHDOG_SECONDS
    # If a deadlock keeps the interpreter lock, joins never return: this prints
    # every thread's stack and ends the process instead of hanging it.
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS + 120, exit=True)
    try:
        sys.setswitchinterval(0.0002)  # many more thread switches mid-event
        with profiling(host) as native:
            if not threading_on:
                # Threads are not hooked without "threading"; hook them here so
                # that their records share frames_of_interest with the rest.
                threading.setprofile(native.register_threading_profiler)
            native_box.append(native)
            workers = [threading.Thread(target=worker, args=(i, errors), name=f"stress-{i}",
                                        daemon=True) for i in range(THREADS)]
            for thread in workers:
                thread.start()
            started.set()
            join_or_fail(workers, deadline)
            stop.set()
            join_or_fail([collector_thread], deadline)
        # Every worker has finished: what is still buffered goes in one last
        # document.
        pending.append(("final", None, native.build_trace()))
    finally:
        started.set()
        stop.set()
        sys.setswitchinterval(old_interval)
        faulthandler.cancel_dump_traceback_later()

    assert not errors, errors
    intake = Intake(threading_on)
    final = None
    while pending:
        origin, trace_id, blob = pending.popleft()
        doc = intake.take(blob, origin, store_trace_id=trace_id)
        if origin == "final":
            final = doc
    assert not intake.problems, intake.problems[:20]
    assert final is not None
    final_generation = intake.trace_ids[final["trace_id"]]
    all_edges = set()
    lost_total = 0
    for thread_index in range(THREADS):
        problems, edges, lost = check_thread(intake, thread_index, one_trace_per_test,
                                             final_generation)
        assert not problems, (thread_index, problems[:20])
        all_edges |= edges
        lost_total += lost
    # The order in which traces follow each other must be one order for all
    # threads, beginning with the host's trace id.
    assert acyclic(all_edges), all_edges
    assert not any(b == 0 for _, b in all_edges)
    assert intake.origins["build_trace"] >= 1 and intake.origins["final"] == 1
    found_total = sum(len(p) for p in intake.positions)
    assert found_total + lost_total == THREADS * SEQUENCE
    if one_trace_per_test:
        # Every batch's start marker reset the trace; every end marker saved.
        assert intake.origins["store"] >= THREADS * BATCHES
        assert len(intake.trace_ids) > 1
        # The batch that started last is never reset: it is found whole.
        assert found_total >= BATCH_SPAN
    else:
        assert lost_total == 0
        assert intake.trace_ids.keys() == {INITIAL_TRACE_ID}


def imported_slowly(name, started):
    """A finder for `name` whose module body starts running only after a
    pause, during which the half-made module is already in sys.modules."""
    import importlib.machinery

    class SlowLoader:
        def __init__(self, loader):
            self.loader = loader

        def create_module(self, module_spec):
            return self.loader.create_module(module_spec)

        def exec_module(self, module):
            started.set()
            time.sleep(0.3)
            self.loader.exec_module(module)

    class SlowFinder:
        @staticmethod
        def find_spec(fullname, path=None, target=None):
            if fullname != name:
                return None
            module_spec = importlib.machinery.PathFinder.find_spec(fullname, path)
            module_spec.loader = SlowLoader(module_spec.loader)
            return module_spec

    return SlowFinder


def test_a_host_module_imported_by_another_thread_meanwhile(monkeypatch):
    # A thread's first recorded event imports the host serializer; while that
    # import is under way another thread records too. It must wait for the
    # import, as an import statement would, not find the module half made.
    import tavo
    import tavo.serialize  # so that the module in use is put back afterwards

    started = threading.Event()
    monkeypatch.delitem(sys.modules, "tavo.serialize")
    monkeypatch.delattr(tavo, "serialize")
    monkeypatch.setattr(sys, "meta_path", [imported_slowly("tavo.serialize", started),
                                           *sys.meta_path])
    warnings = []

    class Collect(logging.Handler):
        def emit(self, record):
            warnings.append(record.getMessage())

    handler = Collect()
    logging.getLogger("tavo").addHandler(handler)
    try:
        # Registered by hand: the first recorded event must be the importer's.
        host = Host({"threading": True})
        _tavo.register_profiler(host)
        try:
            importer = threading.Thread(target=recorded, args=(1,), name="importer")
            importer.start()
            assert started.wait(60)
            recorded(2)
            importer.join(60)
        finally:
            sys.setprofile(None)
            threading.setprofile(None)
        document = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
    finally:
        logging.getLogger("tavo").removeHandler(handler)
    assert not importer.is_alive()
    assert not warnings, warnings[:1]
    tags = sorted(r["locals"]["tag"] for records in [document["frames_of_interest"],
                                                     *document["frames"].values()]
                  for r in records if r.get("co_name") == "recorded")
    assert tags == [1, 1, 2, 2]
