"""pytest plugin: ``pytest --tavo [--tavo-db PATH]`` saves one trace per test.

Loaded automatically through the "tavo" pytest11 entry point, it does nothing
unless --tavo is given. Each test's trace is saved by the native engine when
the test ends (source "pytest"; its start_test record names the test). A test
whose trace could not be saved gets a warning, the session ends with a line
that counts the saved and failed traces, and its exit status is not zero if
any trace was lost.
"""

import sys

import pytest

from tavo.cli.common import path_fragment, seconds
from tavo.profiler import DEFAULT_DB_PATH, describe_error, no_user_code_hint

_PROFILER = pytest.StashKey()
_TALLY = pytest.StashKey()


def pytest_addoption(parser):
    group = parser.getgroup("tavo", "tavo tracing profiler")
    group.addoption("--tavo", action="store_true", default=False,
                    help="record a tavo trace of each test")
    group.addoption("--tavo-db", default=DEFAULT_DB_PATH, metavar="PATH|URL",
                    help="trace store: a SQLite file, or postgresql://user@host:port/dbname "
                         f"(default: {DEFAULT_DB_PATH})")
    group.addoption("--tavo-busy-timeout", type=seconds, default=None, metavar="SECONDS",
                    help="how long a save waits for another writer of the database (default: 60)")
    group.addoption("--tavo-include-frames", action="append", default=[], type=path_fragment,
                    metavar="FRAGMENT",
                    help="also record code whose file path contains FRAGMENT, even where it "
                         "counts as library code (repeatable)")


def pytest_plugin_registered(plugin, plugin_name, manager):
    # Loaded with "-p tavo.pytest_plugin" while the "tavo" entry point is also
    # installed: keep pytest from registering this module a second time.
    if plugin is sys.modules[__name__] and plugin_name != "tavo":
        if manager.get_plugin("tavo") is None:
            manager.set_blocked("tavo")


class SaveTally:
    """Counts the traces this session saved and failed to save (the engine
    saves them at each test's end, through tavo.db); the session's summary line
    and exit status come from here alone."""

    def __init__(self, profiler):
        self.profiler = profiler
        self.saved = 0
        self.failed = 0
        self.first_error = None
        self.last_error = None
        self.without_user_code = 0
        self.dropped_records = 0

    def observe(self, db_path, trace_id, summary, error):
        if db_path != self.profiler.db_path:
            return
        # Read at each save: the count restarts with every trace.
        self.dropped_records += getattr(self.profiler, "dropped_records", 0) or 0
        if error is not None:
            self.failed += 1
            self.last_error = describe_error(error)
            if self.first_error is None:
                self.first_error = self.last_error
            return
        self.saved += 1
        if summary.get("user_code") is False:
            self.without_user_code += 1

    def summary_lines(self, db_path):
        line = f"tavo: {self.saved} traces saved in {db_path}"
        if self.failed:
            line += f", {self.failed} failed: {self.first_error}"
        if self.dropped_records:
            line += f"; {self.dropped_records} records dropped"
        lines = [line]
        if self.without_user_code:
            lines.append(f"tavo: {self.without_user_code} of these traces hold no record of your "
                         f"code: {no_user_code_hint('--tavo-include-frames FRAGMENT')}")
        return lines


def pytest_configure(config):
    if not config.getoption("tavo"):
        return
    from tavo import db
    from tavo.profiler import Profiler

    db_path = config.getoption("tavo_db")
    settings = {"pytest": True, "pytest_config": config,
                "filters": {"include_frames": config.getoption("tavo_include_frames")}}
    if config.getoption("tavo_busy_timeout") is not None:
        settings["sqlite_busy_timeout"] = config.getoption("tavo_busy_timeout")
    profiler = Profiler(db_path, config=settings, source="pytest", one_trace_per_test=True)
    tally = SaveTally(profiler)
    try:
        db.ensure_database(profiler.db_path, timeout=profiler.config["sqlite_busy_timeout"])
        db.save_observers.append(tally.observe)
        profiler.enable()
    except Exception as exc:
        if tally.observe in db.save_observers:
            db.save_observers.remove(tally.observe)
        raise pytest.UsageError(f"tavo: cannot trace this run: {exc}") from None
    config.stash[_PROFILER] = profiler
    config.stash[_TALLY] = tally


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # Inside pytest's warnings capture, so the warning is listed with the test.
    tally = item.config.stash.get(_TALLY, None)
    failed_before = None if tally is None else tally.failed
    result = yield
    if tally is not None and tally.failed > failed_before:
        item.warn(pytest.PytestWarning(
            f"tavo: the trace of this test could not be saved in {tally.profiler.db_path}: "
            f"{tally.last_error}"))
    return result


def pytest_sessionfinish(session):
    tally = session.config.stash.get(_TALLY, None)
    if tally is not None and tally.failed and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter, config):
    tally = config.stash.get(_TALLY, None)
    if tally is not None:
        for line in tally.summary_lines(config.getoption("tavo_db")):
            terminalreporter.write_line(line, red=bool(tally.failed))


def pytest_unconfigure(config):
    profiler = config.stash.get(_PROFILER, None)
    if profiler is not None:
        from tavo import db

        del config.stash[_PROFILER]
        profiler.disable()
        tally = config.stash.get(_TALLY, None)
        if tally is not None and tally.observe in db.save_observers:
            db.save_observers.remove(tally.observe)
