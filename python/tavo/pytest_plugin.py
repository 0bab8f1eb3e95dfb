"""pytest plugin: ``pytest --tavo [--tavo-db PATH]`` saves one trace per test.

Loaded automatically through the "tavo" pytest11 entry point, it does nothing
unless --tavo is given. Each test's trace is saved by the native engine when
the test ends (source "pytest"; its start_test record names the test).
"""

import sys

import pytest

from tavo.profiler import DEFAULT_DB_PATH

_PROFILER = pytest.StashKey()
# Test name -> outcome so far, until the test's trace is saved (while --tavo is on).
_outcomes = {}


def pytest_addoption(parser):
    group = parser.getgroup("tavo", "tavo tracing profiler")
    group.addoption("--tavo", action="store_true", default=False,
                    help="record a tavo trace of each test")
    group.addoption("--tavo-db", default=DEFAULT_DB_PATH, metavar="PATH",
                    help=f"SQLite database for the traces (default: {DEFAULT_DB_PATH})")


def pytest_plugin_registered(plugin, plugin_name, manager):
    # Loaded with "-p tavo.pytest_plugin" while the "tavo" entry point is also
    # installed: keep pytest from registering this module a second time.
    if plugin is sys.modules[__name__] and plugin_name != "tavo":
        if manager.get_plugin("tavo") is None:
            manager.set_blocked("tavo")


def pytest_configure(config):
    if not config.getoption("tavo"):
        return
    from tavo import db
    from tavo.profiler import Profiler

    db_path = config.getoption("tavo_db")
    profiler = Profiler(db_path, config={"pytest": True}, source="pytest",
                        one_trace_per_test=True)
    try:
        db.ensure_database(db_path, timeout=profiler.config["sqlite_busy_timeout"])
        profiler.enable()
    except Exception as exc:
        raise pytest.UsageError(f"tavo: cannot trace this run: {exc}") from None
    config.stash[_PROFILER] = profiler
    _outcomes.clear()


def outcome_after(report, previous):
    """The outcome of a test so far, after one of its phases: a failure outside the
    test function is an error; xfail counts as skipped."""
    if previous in ("failed", "error"):
        return previous
    if report.failed:
        return "failed" if report.when == "call" else "error"
    if report.skipped:
        return "skipped"
    return previous or "passed"


def pytest_runtest_logreport(report):
    from tavo import profiler

    if profiler._enabled is not None and profiler._enabled.one_trace_per_test:
        _outcomes[report.nodeid] = outcome_after(report, _outcomes.get(report.nodeid))


def pytest_runtest_logfinish(nodeid, location):
    # The engine saved the test's trace when its protocol returned, just before this.
    from tavo import db, profiler

    active = profiler._enabled
    if active is None or not active.one_trace_per_test or nodeid not in _outcomes:
        return
    try:
        db.set_outcome(active.db_path, nodeid, _outcomes.pop(nodeid),
                       timeout=active.config["sqlite_busy_timeout"])
    except Exception as exc:  # the trace itself is kept; only its outcome is missing
        import logging

        logging.getLogger("tavo").warning("could not store the outcome of %s: %s", nodeid, exc)


def pytest_unconfigure(config):
    profiler = config.stash.get(_PROFILER, None)
    if profiler is not None:
        del config.stash[_PROFILER]
        profiler.disable()
