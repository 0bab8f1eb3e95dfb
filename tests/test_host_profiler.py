"""The profiling API (tavo.profile / Profiler.enable / disable): needs the native module."""

import sqlite3
import os
import pathlib
import sys
import threading

import pytest

import tavo
from tavo import db

pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


def frame_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return [r for r in records if r.get("type") == "frame"]


def test_context_manager_saves_the_trace(tmp_path):
    path = tmp_path / "t.sqlite3"
    with tavo.profile(db_path=path) as profiler:
        assert profiler.rust_profiler is not None
        fibonacci(5)
    assert sys.getprofile() is None
    [(summary, blob)] = db.load_traces(path, profiler.trace_id)
    document = db.decode_document(blob)
    assert summary["source"] == document["meta"]["source"] == "context-manager"
    assert document["trace_id"] == profiler.trace_id
    assert document["meta"]["version"] == tavo.__version__
    calls = [r for r in frame_records(document) if r["co_name"] == "fibonacci" and r["event"] == "call"]
    assert len(calls) == 15  # fibonacci(5) makes 15 calls
    assert calls[0]["locals"] == {"n": 5}


def test_in_memory_trace_and_errors_propagate(tmp_path):
    profiler = tavo.Profiler(db_path=None)
    with pytest.raises(ZeroDivisionError):
        with profiler:
            fibonacci(3)
            1 / 0
    assert sys.getprofile() is None
    document = db.decode_document(profiler.trace)
    assert document["trace_id"] == profiler.trace_id
    assert any(r["co_name"] == "fibonacci" for r in frame_records(document))


@pytest.mark.parametrize(("source", "told"), [("context-manager", "one records at a time$"),
                                              ("cli", r"\(tavo run records this one; run the "),
                                              ("pytest", r"\(pytest --tavo records")])
def test_only_one_profiler_at_a_time(tmp_path, source, told):
    first = tavo.Profiler(db_path=None, source=source).enable()
    try:
        with pytest.raises(RuntimeError, match=told):
            tavo.Profiler(db_path=None).enable()
    finally:
        first.disable()
    assert sys.getprofile() is None
    second = tavo.Profiler(db_path=None, config={"threading": True}).enable()
    try:
        assert threading.getprofile() is not None
    finally:
        second.disable()
    assert sys.getprofile() is None and threading.getprofile() is None


def test_a_failed_save_does_not_replace_the_programs_exception(tmp_path, caplog):
    with pytest.raises(ValueError, match="the program's own") as raised:
        with tavo.profile(db_path=tmp_path) as profiler:  # a folder: the save fails
            fibonacci(3)
            raise ValueError("the program's own")
    assert sys.getprofile() is None
    assert any(f"trace {profiler.trace_id} could not be saved" in note
               for note in raised.value.__notes__)
    [logged] = [r for r in caplog.records if r.name == "tavo" and r.levelname == "ERROR"]
    assert isinstance(logged.exc_info[1], sqlite3.OperationalError)


@pytest.mark.parametrize("use", ["enable", "with"])
def test_failed_enable_leaves_nothing_installed(monkeypatch, use):
    def install_then_fail(hook, setprofile=threading.setprofile):
        setprofile(hook)
        if hook is not None:
            raise RuntimeError("setprofile refused")

    monkeypatch.setattr(threading, "setprofile", install_then_fail)
    profiler = tavo.Profiler(db_path=None, config={"threading": True})
    with pytest.raises(RuntimeError, match="setprofile refused"):
        with profiler if use == "with" else profiler.enable():
            pass
    assert sys.getprofile() is None and threading.getprofile() is None
    assert not profiler.enabled


@pytest.mark.parametrize("stop", ["disable", "discard"])
def test_stopping_releases_the_exception_tool_and_the_value_settings(stop):
    before = tavo.serialize.configure("safe", 4096)
    try:
        profiler = tavo.Profiler(db_path=None, config={"engine": "profile", "values": "repr",
                                                       "value_budget": 100})
        profiler.enable()
        getattr(profiler, stop)()
        assert [sys.monitoring.get_tool(i) for i in (3, 4)] == [None, None]
        assert tavo.serialize.configure(**before) == {"values": "safe", "budget": 4096}
    finally:
        tavo.serialize.configure(**before)


@pytest.mark.parametrize("kind", [os.fsencode, pathlib.Path])
def test_db_path_as_bytes_or_path_like(tmp_path, kind):
    path = tmp_path / "t.sqlite3"
    with tavo.profile(db_path=kind(path)) as profiler:
        fibonacci(2)
    assert profiler.db_path == str(path)
    [(summary, blob)] = db.load_traces(path, profiler.trace_id)
    assert db.decode_document(blob)["trace_id"] == profiler.trace_id
