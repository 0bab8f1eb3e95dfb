import os
import pathlib
import re
import sys
import time

import msgpack
import pytest

import tavo
from tavo import plugins, utils
from tavo.profiler import Profiler, make_config

ULID_RE = re.compile(r"[0-7][0-9A-HJKMNP-TV-Z]{25}")

# Files the native filter never records: every module that runs while a
# program is profiled must be one of them.
OWN_FILES = ("/tavo/config.py", "/tavo/db.py", "/tavo/django_schema.py", "/tavo/filters/",
             "/tavo/generate_tests/", "/tavo/git.py", "/tavo/__init__.py", "/tavo/__main__.py",
             "/tavo/middleware.py", "/tavo/profiler.py", "/tavo/pytest_plugin.py",
             "/tavo/serialize.py", "/tavo/utils.py", "/tavo/version.py")


def test_ulid_format_and_uniqueness():
    ids = [utils.new_trace_id() for _ in range(2000)]
    assert len(set(ids)) == len(ids)
    for trace_id in ids:
        assert trace_id.startswith("trc_")
        assert ULID_RE.fullmatch(trace_id[4:]), trace_id


def test_ulid_layout_is_timestamp_then_random_bits(monkeypatch):
    monkeypatch.setattr(os, "urandom", lambda n: b"\x00" * n)
    assert utils.new_ulid(1) == "0000000001" + "0" * 16
    monkeypatch.setattr(os, "urandom", lambda n: b"\xff" * n)
    assert utils.new_ulid(0) == "0" * 10 + "Z" * 16
    assert utils.new_ulid(2**48 - 1) == "7" + "Z" * 25
    with pytest.raises(ValueError):
        utils.new_ulid(2**48)


def test_ulid_timestamp_is_now_and_sorts_by_time():
    before = time.time_ns() // 1_000_000
    ulid = utils.new_ulid()
    after = time.time_ns() // 1_000_000
    assert before <= utils.ulid_timestamp_ms(ulid) <= after
    assert utils.ulid_timestamp_ms(utils.new_ulid(1_700_000_000_123)) == 1_700_000_000_123
    earlier, later = utils.new_ulid(1_700_000_000_000), utils.new_ulid(1_700_000_000_001)
    assert earlier < later


def test_no_plugins_by_default():
    assert plugins.load_plugin_data({}) == []
    assert plugins.load_plugin_data(make_config()) == []
    assert plugins.load_plugin_data({"pytest": False}) == []


def test_pytest_test_boundary_plugin_is_well_formed():
    import _pytest.runner

    [plugin] = plugins.load_plugin_data(make_config({"pytest": True}))
    assert plugin["call_type"] == "start_test" and plugin["return_type"] == "end_test"
    assert set(plugin["events"]) <= {"call", "return"}
    names = list(plugin["co_names"])
    assert names and all(isinstance(name, str) for name in names)
    # The watched function really is pytest's per-test function, where the
    # description says it is.
    for name in names:
        code = getattr(_pytest.runner, name).__code__
        assert code.co_name == name
        assert plugin["path_fragment"] in pathlib.Path(code.co_filename).as_posix()
        assert "item" in code.co_varnames[: code.co_argcount]
    # Its callables run while profiling, so they must live in tavo's own files.
    for key in ("call", "process", "build_context"):
        if key in plugin:
            filename = pathlib.Path(plugin[key].__code__.co_filename).as_posix()
            assert any(own in filename for own in OWN_FILES), filename


def test_pytest_plugin_process_names_the_test():
    [plugin] = plugins.load_plugin_data({"pytest": True})

    class Item:
        nodeid = "tests/test_a.py::test_one[param]"

    def runtestprotocol(item, log=True, nextitem=None):
        return sys._getframe()

    frame = runtestprotocol(Item())
    result = plugin["process"](frame, "call", None, {})
    assert result == {"test_name": "tests/test_a.py::test_one[param]"}
    msgpack.packb(result)
    assert plugin["process"](sys._getframe(), "return", None, {}) == {"test_name": None}


# Modules that never run while a program is profiled: plugin descriptions are read
# once before profiling starts, and the command line's commands run before enabling
# and after disabling (the program itself is started from tavo/utils.py). The stores
# run before enabling, after disabling, or inside the engine's save at a test end,
# where the interpreter reports no events.
NEVER_PROFILED = ("/tavo/plugins.py", "/tavo/cli/", "/tavo/stores/", "/tavo/viewer/",
                  "/tavo/traceformat/", "/tavo/export/", "/tavo/divergence.py")


def test_every_module_that_runs_while_profiling_is_an_own_file():
    package = pathlib.Path(tavo.__file__).parent
    for path in package.rglob("*.py"):
        posix = path.as_posix()
        if any(fragment in posix for fragment in NEVER_PROFILED):
            continue
        assert any(own in posix for own in OWN_FILES), f"{path.name} would be profiled"


def test_profiler_host_object():
    profiler = Profiler("x.sqlite3", source="cli")
    assert callable(profiler) and profiler() is None
    assert ULID_RE.fullmatch(profiler.trace_id[4:]) and profiler.trace_id.startswith("trc_")
    assert profiler.one_trace_per_test is False
    assert profiler.source == "cli"
    assert profiler.db_path == os.path.abspath("x.sqlite3")  # kept if the program changes directory
    assert Profiler(one_trace_per_test=1).one_trace_per_test is True
    assert Profiler().trace_id != profiler.trace_id
    assert Profiler().source == "context-manager"


def test_config_defaults_and_overrides():
    assert make_config() == {
        "filters": {"include_frames": [], "ignore_frames": []},
        "sqlite_busy_timeout": 60, "threading": False, "lightweight_repr": False,
        "exceptions": True, "engine": "profile", "values": "safe", "value_budget": 65536,
    }
    config = make_config({"filters": {"ignore_frames": ["/vendor/"]}, "threading": True,
                          "pytest": True})
    assert config["filters"] == {"include_frames": [], "ignore_frames": ["/vendor/"]}
    assert config["threading"] is True and config["pytest"] is True
    for bad in ({"threading": 1}, {"lightweight_repr": "yes"}, {"exceptions": 1},
                {"sqlite_busy_timeout": -1},
                {"sqlite_busy_timeout": True}, {"filters": {"include_frames": "app/"}},
                {"buffer_budget": 0}, {"buffer_budget": True}):
        with pytest.raises(TypeError):
            make_config(bad)


@pytest.mark.parametrize("fragments", [(f for f in ["/vendor/"]), iter(["/vendor/"]), {"/vendor/"}])
def test_filters_that_are_not_sequences_are_refused(fragments):
    # An iterator would be consumed by the check and then leave no filter.
    name = type(fragments).__qualname__
    with pytest.raises(TypeError, match=f"^'{name}' object cannot be converted to 'Sequence'$"):
        make_config({"filters": {"ignore_frames": fragments}})


def test_version_matches_the_package():
    assert tavo.__version__ == "0.1.0"


@pytest.mark.parametrize("count", [1, 2])
def test_losses_are_told_with_their_counts_in_words(count):
    from tavo.profiler import describe_losses

    plural = "" if count == 1 else "s"
    told = describe_losses({"dropped_records": count + 3, "budget_dropped_records": count,
                            "shortened_values": count, "uncounted_after_budget": 1},
                           None, "--buffer-budget")
    assert told.startswith(f"{count} value{plural} shortened, at least {count} record{plural} "
                           "dropped: the trace neared and reached its buffer budget")
    assert told.endswith("; 3 records dropped")
