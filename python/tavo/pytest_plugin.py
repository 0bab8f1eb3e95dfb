"""pytest plugin: ``pytest --tavo [--tavo-db PATH]`` saves one trace per test.

Loaded automatically through the "tavo" pytest11 entry point, it does nothing
unless --tavo is given. Each test's trace is saved by the native engine when
the test ends (source "pytest"; its start_test record names the test).
"""

import sys

import pytest

from tavo.profiler import DEFAULT_DB_PATH
from tavo.serialize import DEFAULT_BUDGET

_PROFILER = pytest.StashKey()


def pytest_addoption(parser):
    group = parser.getgroup("tavo", "tavo tracing profiler")
    group.addoption("--tavo", action="store_true", default=False,
                    help="record a tavo trace of each test")
    group.addoption("--tavo-db", default=DEFAULT_DB_PATH, metavar="PATH",
                    help=f"SQLite database for the traces (default: {DEFAULT_DB_PATH})")
    group.addoption("--tavo-values", choices=("safe", "repr"), default="safe",
                    help="how objects are recorded: safe (never runs their code, the "
                         "default) or repr (calls repr())")
    group.addoption("--tavo-value-budget", type=int, default=DEFAULT_BUDGET, metavar="BYTES",
                    help="most encoded bytes per recorded value; bigger ones are cut "
                         f"(default {DEFAULT_BUDGET})")


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
    try:
        profiler = Profiler(db_path, config={"pytest": True,
                                             "values": config.getoption("tavo_values"),
                                             "value_budget": config.getoption("tavo_value_budget")},
                            source="pytest", one_trace_per_test=True)
        db.ensure_database(db_path, timeout=profiler.config["sqlite_busy_timeout"])
        profiler.enable()
    except Exception as exc:
        raise pytest.UsageError(f"tavo: cannot trace this run: {exc}") from None
    config.stash[_PROFILER] = profiler


def pytest_unconfigure(config):
    profiler = config.stash.get(_PROFILER, None)
    if profiler is not None:
        del config.stash[_PROFILER]
        profiler.disable()
