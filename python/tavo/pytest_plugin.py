"""pytest plugin: ``pytest --tavo [--tavo-db=PATH]`` saves one trace per test.

Loaded automatically through the "tavo" pytest11 entry point, it does nothing
unless --tavo is given. Each test's trace is saved by the native engine when
the test ends (source "pytest"; its start_test record names the test). A test
whose trace could not be saved gets a warning, the session ends with a line
that counts the saved and failed traces, and its exit status is not zero if
any trace was lost.

What is recorded is set by --tavo-include / --tavo-ignore / --tavo-no-threading /
--tavo-no-children, the TAVO_* environment variables and [tool.tavo] in
pyproject.toml, as for ``tavo run``. Under pytest-xdist (``-n N``) every worker
records its own tests, labelling their traces with its name, and the controller
prints how many were saved.
"""

import argparse
import gc
import os
import sys

import pytest

from tavo import config as tavo_config
from tavo.cli.common import seconds
from tavo.profiler import (DEFAULT_BUFFER_BUDGET, DEFAULT_TEST_BUFFER_BUDGET,
                           DEFAULT_TEST_VALUE_BUDGET, describe_error,
                           describe_losses, no_user_code_hint, remove_child_settings,
                           watch_end_signals)

_PROFILER = pytest.StashKey()
_TALLY = pytest.StashKey()
_SUMMARY_SAID = pytest.StashKey()
# Test name -> outcome so far, until the test's trace is saved (while --tavo is on).
_outcomes = {}
# The outcomes of the latest tests that ended with their trace not saved yet: a trace
# is stored once the next test's is taken (it was encoded meanwhile).
_ended = {}
_ENDED_KEPT = 4
# The tests whose function ran (not skipped before it), until their trace is saved.
_called = set()


def _in_tests(count: int) -> str:
    return "in 1 test" if count == 1 else f"in {count} tests"


def pytest_addoption(parser):
    group = parser.getgroup("tavo", "tavo tracing profiler")
    group.addoption("--tavo", action="store_true", default=False,
                    help="record a tavo trace of each test")
    group.addoption("--tavo-db", default=None, metavar="PATH|URL",
                    help="trace store, a SQLite file or postgresql://user@host:port/dbname; "
                         "write it --tavo-db=PATH, as pytest takes a path in a word of its own "
                         "for a test path when it looks for its root folder (default: TAVO_DB, "
                         f"db in [tool.tavo] of pyproject.toml, or {tavo_config.DEFAULT_DB})")
    group.addoption("--tavo-include", action="append", default=None, metavar="FRAGMENT",
                    help="record files whose path contains FRAGMENT, even library code "
                         "(repeatable)")
    group.addoption("--tavo-ignore", action="append", default=None, metavar="FRAGMENT",
                    help="never record files whose path contains FRAGMENT (repeatable)")
    group.addoption("--tavo-no-threading", dest="tavo_threading", action="store_const",
                    const=False, default=None,
                    help="do not record the threads that tests start")
    group.addoption("--tavo-no-children", dest="tavo_children", action="store_const",
                    const=False, default=None,
                    help="do not record the Python processes that tests start")
    group.addoption("--tavo-busy-timeout", type=seconds, default=None, metavar="SECONDS",
                    help="how long a save waits for another writer of the database (default: 60)")
    group.addoption("--tavo-values", choices=("safe", "repr"), default=None,
                    help="how objects are recorded: safe (never runs their code, the "
                         "default) or repr (calls repr())")
    group.addoption("--tavo-value-budget", type=int, default=None, metavar="BYTES",
                    help="most encoded bytes per recorded value; bigger ones are cut "
                         "(default 512 in a test's trace)")
    group.addoption("--tavo-buffer-budget", type=_buffer_budget, default=None, metavar="BYTES",
                    help="most bytes one test's records may take in memory (K, M, G: "
                         "1024-based; default 8M); near it values are shortened, at it "
                         "records dropped and only counted")
    group.addoption("--tavo-engine", choices=tavo_config.ENGINES, default=None,
                    help="where events come from: monitoring (sys.monitoring; library code "
                         "runs at about full speed, the default) or profile (the profile "
                         "function)")


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

    def __init__(self, profiler, where, budget_note=""):
        self.profiler = profiler
        self.where = where  # the store as given, for the summary line
        self.budget_note = budget_note  # said after the buffer budget, when one was met
        self.saved = 0
        self.failed = 0
        self.first_error = None
        self.last_error = None
        self.without_user_code = 0
        self.dropped_records = 0
        self.losses = {}  # summed over the tests' traces
        self.shortened_in = 0  # traces with values shortened
        self.dropped_in = 0  # traces with records dropped at the budget
        self.profile_function_removed = 0  # tests that removed the profile engine's function

    def observe(self, db_path, trace_id, summary, error):
        if db_path != self.profiler.db_path:
            return
        if error is not None or summary is None:
            losses = {}
        else:  # as the row keeps them (a batch is written after its traces were taken)
            losses = summary.get("losses") or {}
        self.dropped_records += losses.get("dropped_records", 0)
        self.shortened_in += bool(losses.get("shortened_values"))
        self.dropped_in += bool(losses.get("budget_dropped_records"))
        for key, count in losses.items():
            if key != "shortened_from_record":  # a record of one test's trace
                self.losses[key] = self.losses.get(key, 0) + count
        if error is not None:
            self.failed += 1
            self.last_error = describe_error(error)
            if self.first_error is None:
                self.first_error = self.last_error
            return
        self.saved += 1
        ran = summary.get("label") in _called
        _called.discard(summary.get("label"))
        if summary.get("user_code") is False and ran:  # a skipped test ran no code to record
            self.without_user_code += 1

    def summary_lines(self, db_path):
        line = f"tavo: {self.saved} traces saved in {db_path}"
        if self.failed:
            line += f", {self.failed} failed: {self.first_error}"
        lost = describe_losses(self.losses, self.profiler.config.get("buffer_budget", DEFAULT_BUFFER_BUDGET),
                               "--tavo-buffer-budget", self.budget_note,
                               (self.shortened_in, self.dropped_in))
        if lost:
            line += f"; {lost}"
        lines = [line]
        if self.profile_function_removed:
            lines.append(f"tavo: {_in_tests(self.profile_function_removed)} the program removed "
                         "tavo's profile function (sys.setprofile(None), as the profile module "
                         "does when done): what ran from there on until the test's teardown was "
                         "not recorded (the monitoring engine records beside one)")
        if self.without_user_code:
            lines.append(f"tavo: {self.without_user_code} of these traces hold no record of your "
                         f"code: {no_user_code_hint('--tavo-include FRAGMENT')}")
        return lines


def _buffer_budget(text):
    try:
        return tavo_config.parse_buffer_budget(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _settings(config):
    """The effective settings: these options, then TAVO_*, then pyproject.toml; a test's
    buffer and value budgets are DEFAULT_TEST_BUFFER_BUDGET and DEFAULT_TEST_VALUE_BUDGET
    when none of them sets one."""
    options = {"db": config.getoption("tavo_db"), "include": config.getoption("tavo_include"),
               "ignore": config.getoption("tavo_ignore"),
               "threading": config.getoption("tavo_threading"),
               "children": config.getoption("tavo_children"),
               "busy-timeout": config.getoption("tavo_busy_timeout"),
               "values": config.getoption("tavo_values"),
               "value-budget": config.getoption("tavo_value_budget"),
               "buffer-budget": config.getoption("tavo_buffer_budget"),
               "engine": config.getoption("tavo_engine")}
    workerinput = getattr(config, "workerinput", None)
    if workerinput is not None and workerinput.get("tavo_db"):
        options["db"] = workerinput["tavo_db"]  # as the controller resolved it
    try:
        settings = tavo_config.load(options, warn=False)
    except tavo_config.ConfigError as exc:
        raise pytest.UsageError(f"tavo: {exc}") from None
    if settings.sources["buffer-budget"] == tavo_config.DEFAULT:
        settings.values["buffer-budget"] = DEFAULT_TEST_BUFFER_BUDGET
    if settings.sources["value-budget"] == tavo_config.DEFAULT:
        settings.values["value-budget"] = DEFAULT_TEST_VALUE_BUDGET
    return settings


# tavo's options that take a value. pytest looks for its root folder and configuration
# file before it has loaded this plugin, so a value written as a word of its own
# ("--tavo-db PATH") is then read as a test path; "--tavo-db=PATH" is not.
_VALUE_OPTIONS = ("--tavo-db", "--tavo-include", "--tavo-ignore", "--tavo-busy-timeout",
                  "--tavo-values", "--tavo-value-budget", "--tavo-engine")


def _check_root_unmoved(config):
    """Refuse the run, with one line, when a value of tavo's options read as a test
    path moves pytest's root folder or configuration file, or will once the store
    exists: the run would silently drop the project's settings (testpaths, markers...)."""
    import shlex

    words = [*shlex.split(os.environ.get("PYTEST_ADDOPTS", "")),
             *map(str, config.invocation_params.args)]
    read_as_paths = []
    for option, value in zip(words, words[1:]):
        if option not in _VALUE_OPTIONS or value.startswith("-"):
            continue
        path = config.invocation_params.dir / value.split("::")[0]
        if option == "--tavo-db" and not path.exists():
            path = path.parent  # where the store will be made
        if path.exists():
            read_as_paths.append((option, value, path))
    if not read_as_paths:
        return
    args = list(config.known_args_namespace.file_or_dir)
    found = _root_and_configuration(config, args)
    moved = _root_and_configuration(config, args + [str(path) for _, _, path in read_as_paths])
    if found is None or moved is None or found != moved:
        option, value, _ = read_as_paths[0]
        raise pytest.UsageError(
            f"tavo: pytest reads {value} after {option} as a test path when it looks for its "
            f"root folder and configuration, which changes the tests it runs: write "
            f"{option}={value}")


def _root_and_configuration(config, args):
    """The root folder and configuration file pytest finds for these test paths (with
    the run's other options), or None when that cannot be worked out here."""
    import inspect

    try:
        from _pytest.config.findpaths import determine_setup

        namespace = config.known_args_namespace
        given = {"inifile": namespace.inifilename, "override_ini": namespace.override_ini,
                 "args": args, "rootdir_cmd_arg": namespace.rootdir or None,
                 "invocation_dir": config.invocation_params.dir}
        accepted = inspect.signature(determine_setup).parameters
        if not set(accepted) <= set(given):
            return None
        found = determine_setup(**{name: given[name] for name in accepted})
        return found[0], found[1]
    except Exception:  # pytest's own module changed: refuse rather than guess
        return None


def pytest_configure(config):
    if getattr(config, "workerinput", None) is None:
        _check_root_unmoved(config)
    if not config.getoption("tavo"):
        return
    from tavo import db
    from tavo.profiler import Profiler

    settings = _settings(config)
    if settings.unknown_variables and getattr(config, "workerinput", None) is None:
        config.issue_config_time_warning(pytest.PytestConfigWarning(
            f"tavo: {tavo_config.unknown_variables_warning(settings.unknown_variables)}"),
            stacklevel=2)
    db_path = settings["db"]
    profiler = Profiler(db_path, config={**settings.profiler_config(), "pytest": True,
                                         "pytest_config": config},
                        source="pytest", one_trace_per_test=True)
    budget_given = settings.sources["buffer-budget"] != tavo_config.DEFAULT
    tally = SaveTally(profiler, db_path, "" if budget_given else ", the default for a test")
    try:
        db.ensure_database(profiler.db_path, timeout=profiler.config["sqlite_busy_timeout"])
        if _is_xdist_controller(config):
            # The workers run the tests and record them; the controller gathers their counts.
            config.pluginmanager.register(XdistTally(profiler.db_path), "tavo-xdist-tally")
            return
        _start_worker_count(config)
        db.save_observers.append(tally.observe)
        db.test_outcome = _outcome_of
        db.save_in_batches(profiler.db_path)
        _flush_at_end_signals()
        profiler.enable()
        gc.callbacks.append(_leave_out_collection)
    except Exception as exc:
        if tally.observe in db.save_observers:
            db.save_observers.remove(tally.observe)
        db.test_outcome = None
        raise pytest.UsageError(f"tavo: cannot trace this run: {exc}") from None
    config.stash[_PROFILER] = profiler
    config.stash[_TALLY] = tally
    _outcomes.clear()
    _ended.clear()
    _called.clear()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # Inside pytest's warnings capture, so the warning is listed with the test.
    tally = item.config.stash.get(_TALLY, None)
    failed_before = None if tally is None else tally.failed
    result = yield
    if tally is not None and tally.failed > failed_before:
        lost = tally.failed - failed_before
        # One: this test's own (written at once, or alone in its batch).
        whose = ("the trace of this test" if lost == 1
                 else f"the traces of {lost} tests (written together at this test's end)")
        item.warn(pytest.PytestWarning(
            f"tavo: {whose} could not be saved in {tally.profiler.store_name}: "
            f"{tally.last_error}"))
    return result


@pytest.hookimpl(tryfirst=True)  # before pytest-xdist sends a worker's counts
def pytest_sessionfinish(session):
    tally = session.config.stash.get(_TALLY, None)
    if tally is None:
        return
    _flush(tally)
    if tally.failed and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def _flush(tally):
    """Write the traces that wait in the batch; what cannot be written is counted by
    the tally (it observes every write)."""
    from tavo import db

    try:
        db.flush_saves(tally.profiler.db_path)
    except Exception:
        pass


_watching_in = None  # the process whose ending signals write the waiting traces


def _flush_at_end_signals():
    """Write the waiting traces when SIGTERM or SIGHUP ends the run, unless the run
    chose what the signal does. tavo's own thread watches them, so the run's code sees
    their default actions, as without tavo."""
    global _watching_in
    try:
        if watch_end_signals(_flush_then_end):
            _watching_in = os.getpid()
    except Exception as exc:  # the traces are still written at the session's end
        print(f"tavo: the waiting traces will not be written at SIGTERM or SIGHUP: {exc}",
              file=sys.stderr)


def _flush_then_end(signum: int) -> bool:
    from tavo import db

    try:
        db.flush_saves()
    except Exception:
        pass  # a batch that cannot be written is told to the observers
    remove_child_settings()
    return True


def pytest_terminal_summary(terminalreporter, config):
    _say_summary(config)


def _say_summary(config):
    """The session's lines, once: in pytest's summary, or as the session ends
    without one (pytest.exit with a status of its own)."""
    tally = config.stash.get(_TALLY, None)
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if tally is None or reporter is None or config.stash.get(_SUMMARY_SAID, False):
        return
    from tavo.stores import describe

    config.stash[_SUMMARY_SAID] = True
    for line in tally.summary_lines(describe(tally.where)):
        reporter.write_line(line, red=bool(tally.failed))


def _test_profiler():
    """The profiler recording one trace per test, if one is."""
    from tavo import profiler

    active = profiler._enabled
    return active if active is not None and active.one_trace_per_test else None


def _phase_past_budget(active):
    """A test phase's hook wrapper: within the phase, which ends before the test's trace
    does, the profile engine's function may leave once the trace is full; it is back at
    the phase's end, however the phase ends."""
    if active is None:
        return (yield)
    active.pause_past_budget(True)
    try:
        return (yield)
    finally:
        active.pause_past_budget(False)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item):
    # The engine has started this test's trace: processes the test starts are its children.
    from tavo import profiler

    active = _test_profiler()
    if active is not None:
        profiler.refresh_child_environment(active)
    return (yield from _phase_past_budget(active))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    return (yield from _phase_past_budget(_test_profiler()))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_teardown(item):
    # A test that took the profile engine's function away is recorded again from its
    # teardown on: its trace ends and is saved, and the tests after it are recorded.
    active = _test_profiler()
    tally = item.config.stash.get(_TALLY, None)
    if active is not None and active.resume_profile_function() and tally is not None:
        tally.profile_function_removed += 1
    return (yield from _phase_past_budget(active))


def outcome_after(report, previous):
    """The outcome of a test so far, after one of its phases, as pytest reports it: a
    failure outside the test function is an error; an expected failure is "xfailed",
    an unexpected pass "xpassed" (or "failed" when xfail is strict)."""
    if previous in ("failed", "error"):
        return previous
    if report.failed:
        return "failed" if report.when == "call" else "error"
    if report.skipped:
        return "xfailed" if hasattr(report, "wasxfail") else "skipped"
    if report.when == "call" and hasattr(report, "wasxfail"):
        return "xpassed"
    return previous or "passed"


def pytest_runtest_logreport(report):
    from tavo import profiler

    if profiler._enabled is not None and profiler._enabled.one_trace_per_test:
        _outcomes[report.nodeid] = outcome_after(report, _outcomes.get(report.nodeid))
        if report.when == "call":
            _called.add(report.nodeid)


def _leave_out_collection(phase, info):
    # Finalizers the garbage collector runs (a generator closed there, a __del__)
    # belong to whatever test made the garbage, not to the one running now.
    # (The native module is imported by then: the profiler this serves uses it.)
    sys.modules["tavo._tavo"].leave_out_events(phase == "start")


def _outcome_of(label):
    """The outcome of the test whose trace is being stored: its reports were all logged
    when its protocol returned, where the engine saves its trace (stored then, or once
    the next test's is saved). None for a test stopped after its setup passed (a
    KeyboardInterrupt): it did not pass."""
    outcome = _outcomes.pop(label, None) if label in _outcomes else _ended.pop(label, None)
    return None if outcome == "passed" and label not in _called else outcome


def pytest_runtest_logfinish(nodeid, location):
    if nodeid in _outcomes:  # its trace is not stored yet, or was not saved
        _ended[nodeid] = _outcomes.pop(nodeid)
        while len(_ended) > _ENDED_KEPT:
            del _ended[next(iter(_ended))]
    if _watching_in == os.getpid():
        # A test that set a handler of its own and put the default back.
        watch_end_signals(_flush_then_end)


def pytest_unconfigure(config):
    profiler = config.stash.get(_PROFILER, None)
    if profiler is not None:
        from tavo import db

        del config.stash[_PROFILER]
        if _leave_out_collection in gc.callbacks:
            gc.callbacks.remove(_leave_out_collection)
        profiler.disable()
        tally = config.stash.get(_TALLY, None)
        if tally is not None:
            _flush(tally)
            _say_summary(config)
        db.flush_saves(profiler.db_path, stop=True)
        db.test_outcome = None
        if tally is not None and tally.observe in db.save_observers:
            db.save_observers.remove(tally.observe)
    _stop_worker_count(config)


# pytest-xdist: every worker records its own tests and labels their traces with its
# name; it counts the traces it saved and failed to save, and the controller adds
# up the workers' counts into one line at the end.


def _is_xdist_controller(config):
    # -n N (N > 0) makes xdist set a distribution mode before pytest_configure.
    return (getattr(config, "workerinput", None) is None
            and getattr(config.option, "dist", "no") != "no"
            and bool(getattr(config.option, "tx", None)))


class WorkerCount:
    """Counts, in a worker, the traces written and those that could not be (the first
    error kept), as the store's observer."""

    def __init__(self, counts):
        self.counts = counts

    def __call__(self, db_path, trace_id, summary, error):
        if error is None:
            self.counts["saved"] += 1
            return
        self.counts["failed"] += 1
        if self.counts["first_error"] is None:
            self.counts["first_error"] = f"{type(error).__name__}: {error}"


def _start_worker_count(config):
    workerinput = getattr(config, "workerinput", None)
    if workerinput is None:
        return
    from tavo import db

    worker = str(workerinput.get("workerid", "?"))
    db.process_role = f"xdist worker {worker}"
    counts = {"saved": 0, "failed": 0, "first_error": None}
    # xdist sends workeroutput to the controller when the worker's session ends.
    config.workeroutput["tavo"] = counts
    db.save_observers.append(WorkerCount(counts))


def _stop_worker_count(config):
    from tavo import db

    for observer in [o for o in db.save_observers if isinstance(o, WorkerCount)]:
        db.save_observers.remove(observer)
        db.process_role = "main"


class XdistTally:
    """The workers' counts, gathered by the controller (a plugin of its own there)."""

    def __init__(self, db_path):
        self.db_path = db_path
        self.saved = 0
        self.failed = 0
        self.first_error = None
        self.silent_workers = []  # workers that went down without sending their count
        self.said = False

    def add(self, worker, counts):
        if not isinstance(counts, dict):
            self.silent_workers.append(worker)
            return
        self.saved += int(counts.get("saved", 0))
        self.failed += int(counts.get("failed", 0))
        if self.first_error is None and counts.get("first_error"):
            self.first_error = str(counts["first_error"])

    def line(self):
        from tavo.stores import describe

        text = f"tavo: {self.saved} traces saved in {describe(self.db_path)}"
        if self.failed:
            text += f", {self.failed} failed: {self.first_error}"
        if self.silent_workers:
            text += f"; no count from worker {', '.join(sorted(self.silent_workers))}"
        return text

    @pytest.hookimpl(optionalhook=True)
    def pytest_configure_node(self, node):
        node.workerinput["tavo_db"] = self.db_path

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error):
        worker = str(getattr(node, "gateway", None) and node.gateway.id)
        self.add(worker, getattr(node, "workeroutput", {}).get("tavo"))

    def pytest_sessionfinish(self, session):
        if (self.failed or self.silent_workers) and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter):
        self.said = True
        terminalreporter.write_line(self.line())

    def pytest_unconfigure(self, config):
        reporter = config.pluginmanager.get_plugin("terminalreporter")
        if not self.said and reporter is not None:  # a session ended without pytest's summary
            reporter.write_line(self.line())
