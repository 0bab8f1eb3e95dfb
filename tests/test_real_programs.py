"""A program no one here wrote, recorded by tavo: one of the interpreter's own
test modules runs in a subprocess once plainly and once under tavo, through the
driver of scripts/stdlib-under-tavo. Both runs must have the same outcome, and
the saved trace must decode as one document holding records of the module.

With TAVO_LONG_CHECKS=1, the whole script also runs over its default modules.
"""

import importlib.util
import json
import os
import subprocess
import sys

import msgpack
import pytest

from tavo import db

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(TOP, "scripts", "stdlib-under-tavo")
MODULE = "test.test_textwrap"
FRAME_KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
              "thread_native_id", "timestamp", "type", "user_code_call_site"]
DOCUMENT_KEYS = ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                 "main_thread_id", "meta", "timestamp", "trace_id"]
OUTCOME_KEYS = ["run", "failures", "errors", "skipped", "expected_failures",
                "unexpected_successes", "failed_ids"]


def have_module(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ImportError:
        return False


needs_stdlib_tests = pytest.mark.skipif(
    not have_module(MODULE), reason=f"this interpreter was built without {MODULE}")


def run_child(mode, tmp_path, db_path):
    result = tmp_path / f"{mode}.json"
    log = tmp_path / f"{mode}.log"
    proc = subprocess.run(
        [sys.executable, SCRIPT, "--child", mode, MODULE, str(result), str(log), str(db_path)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(result.read_text())


def pairs_to_dict(pairs):
    out = {}
    for key, value in pairs:
        try:
            hash(key)
        except TypeError:
            key = repr(key)
        out[key] = value
    return out


@needs_stdlib_tests
def test_textwrap_tests_pass_alike_and_leave_one_decodable_trace(tmp_path):
    db_path = tmp_path / "traces.sqlite3"
    plain = run_child("plain", tmp_path, db_path)
    traced = run_child("tavo", tmp_path, db_path)

    assert plain["outcome"]["run"] > 0
    assert {k: traced["outcome"][k] for k in OUTCOME_KEYS} == \
        {k: plain["outcome"][k] for k in OUTCOME_KEYS}

    rows = db.load_traces(db_path, traced["trace_id"])
    assert len(rows) == 1
    blob = rows[0][1]
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=0,
                                object_pairs_hook=pairs_to_dict)
    unpacker.feed(blob)
    values = list(unpacker)
    assert len(values) == 1 and unpacker.tell() == len(blob)
    doc = values[0]
    assert list(doc) == DOCUMENT_KEYS
    assert doc["trace_id"] == traced["trace_id"]

    records = list(doc["frames_of_interest"])
    for thread_records in doc["frames"].values():
        records += thread_records
    frames = []
    for record in records:
        assert isinstance(record, dict)
        if list(record)[:1] == ["path"]:
            assert list(record) == FRAME_KEYS
            frames.append(record)
    own = [r for r in frames if "test_textwrap.py:" in r["path"]]
    assert own, "no record from the test module"

    # WrapTestCase.test_simple ran and was recorded: its call and its return,
    # under one frame id.
    simple = [r for r in own if r["qualname"].endswith("WrapTestCase.test_simple")]
    assert [r["event"] for r in simple] == ["call", "return"]
    assert simple[0]["frame_id"] == simple[1]["frame_id"] is not None
    assert simple[1]["arg"] is None  # a test method returns None


@pytest.mark.skipif(os.environ.get("TAVO_LONG_CHECKS") != "1",
                    reason="long check: set TAVO_LONG_CHECKS=1")
def test_stdlib_modules_under_tavo():
    proc = subprocess.run([sys.executable, SCRIPT], capture_output=True, text=True,
                          timeout=4 * 3600)
    print(proc.stdout)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-3000:]
