"""Small helpers used while a program is being profiled.

This module is one of tavo's own files, so the native filter never records
its frames: the plugin callables that run during profiling live here.
"""

import contextlib
import logging
import os
import signal
import sys
import time
from typing import Any, NoReturn

# The signals whose default action ends the process, at which tavo saves what it
# holds first: SIGTERM (a service manager, timeout, a pool's terminate()) and SIGHUP
# (the terminal closed or the session ended).
END_SIGNALS = (signal.SIGTERM, signal.SIGHUP)

# Crockford's base32: no I, L, O or U.
ULID_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_ulid(timestamp_ms=None):
    """Return a 26-character ULID: a 48-bit millisecond timestamp followed by
    80 random bits, in Crockford base32 (so ids sort by creation time)."""
    if timestamp_ms is None:
        timestamp_ms = time.time_ns() // 1_000_000
    if not 0 <= timestamp_ms < 1 << 48:
        raise ValueError("ULID timestamp must fit in 48 bits")
    value = (timestamp_ms << 80) | int.from_bytes(os.urandom(10), "big")
    chars = []
    for _ in range(26):
        chars.append(ULID_ALPHABET[value & 31])
        value >>= 5
    return "".join(reversed(chars))


def new_trace_id():
    return "trc_" + new_ulid()


def ulid_timestamp_ms(ulid):
    """The millisecond timestamp encoded in the first 10 characters of a ULID."""
    value = 0
    for char in ulid[:10]:
        value = value * 32 + ULID_ALPHABET.index(char)
    return value


def pytest_test_name(frame, event, arg, context):
    """Test-boundary plugin: name the test that pytest's runtestprotocol runs."""
    item = frame.f_locals.get("item")
    nodeid = getattr(item, "nodeid", None)
    return {"test_name": nodeid if isinstance(nodeid, str) else None}


def pytest_session_context(config):
    """Test-boundary plugin context: the pytest configuration of the session
    that enabled tavo (config["pytest_config"]), if it was given."""
    return {"session_config": config.get("pytest_config")}


def pytest_is_session_test(frame, event, arg, context):
    """Test-boundary predicate: a test of the session that enabled tavo, not one
    of a pytest session run inside a test (pytester), whose boundaries would
    cut the outer test's trace."""
    wanted = context.get("session_config")
    if wanted is None:
        return True
    return getattr(frame.f_locals.get("item"), "config", None) is wanted


def run_script_as_main(path: str, namespaces: list[dict[str, Any]]) -> None:
    """Run a script file as Python itself would: in a fresh __main__ module,
    with an absolute __file__ and sys.argv left as given. A directory or zip
    file is run as the interpreter runs one: its __main__ module, found through
    sys.path[0], which the caller set to the path. The module's namespace is
    appended to ``namespaces`` before it runs."""
    import importlib.machinery
    import io
    import pkgutil

    path = os.path.abspath(path)
    if pkgutil.get_importer(path) is not None:
        _run_module(_fresh_main(), "__main__", False, namespaces)
        return
    with io.open_code(path) as file:
        code = compile(file.read(), path, "exec")
    module = _fresh_main()
    module.__dict__.update(__file__=path, __loader__=importlib.machinery.SourceFileLoader(
        "__main__", path))
    if sys.version_info < (3, 15):  # which no longer give a script a __cached__
        module.__dict__["__cached__"] = None
    _run_in_main(module, namespaces, exec, code, module.__dict__)


def run_module_as_main(name: str, namespaces: list[dict[str, Any]]) -> None:
    """Run a module as ``python -m`` does: through the function of runpy that the
    interpreter calls for -m, in a fresh __main__ module, with sys.argv[0] set
    to the module's file. The module's namespace is appended to ``namespaces``
    before it runs."""
    _run_module(_fresh_main(), name, True, namespaces)


def _fresh_main() -> Any:
    """A __main__ module holding what the interpreter's own holds before the
    program runs."""
    import builtins
    import types

    module = types.ModuleType("__main__")
    module.__dict__["__builtins__"] = builtins
    if sys.version_info < (3, 14):  # whose __main__ starts with its annotations' dict
        module.__dict__["__annotations__"] = {}
    return module


def _run_module(module: Any, name: str, set_argv0: bool,
                namespaces: list[dict[str, Any]]) -> None:
    import runpy

    run_as_main = getattr(runpy, "_run_module_as_main", None)
    if run_as_main is None:  # an interpreter without it: the public equivalent
        namespaces.append(runpy.run_module(name, run_name="__main__", alter_sys=set_argv0))
        return
    _run_in_main(module, namespaces, run_as_main, name, set_argv0)


def _run_in_main(module: Any, namespaces: list[dict[str, Any]], run: Any, *args: Any) -> None:
    """``run(*args)`` with ``module`` as __main__, as the bottom of the stack: the
    program's frames have none of tavo's below them, so a stack it prints or
    walks, and the depth at which its recursion fails, are as without tavo."""
    from tavo import _tavo

    saved_main = sys.modules["__main__"]
    sys.modules["__main__"] = module
    namespaces.append(module.__dict__)
    try:
        _tavo.run_as_program(run, *args)
    finally:
        sys.modules["__main__"] = saved_main


def end_as_interrupted() -> NoReturn:
    """End the process as the interpreter ends a program that an uncaught
    KeyboardInterrupt stopped, once its traceback is printed: after the exit
    handlers and the rest of the interpreter's shutdown, killed by SIGINT, so
    that a shell running it (a loop of runs, say) sees the interrupt and stops
    too. The interpreter does that when a KeyboardInterrupt leaves the code it
    runs first: one is raised from here, with sys.excepthook silenced for it
    alone (the first call puts the program's hook back)."""
    program_hook = sys.excepthook

    def already_printed(*_: Any) -> None:
        sys.excepthook = program_hook

    sys.excepthook = already_printed
    raise KeyboardInterrupt


def wait_for_threads() -> None:
    """What the interpreter does once the main module has ended: run the
    threading exit callbacks and wait for every non-daemon thread, so that
    their work is recorded before the trace is saved. It marks the main
    thread as finished, so only the end of a program may call it."""
    import threading

    shutdown = getattr(threading, "_shutdown", None)
    if shutdown is not None and threading.current_thread() is threading.main_thread():
        shutdown()


def stderr_file() -> tuple[int, int] | None:
    """The file that file descriptor 2 refers to now (device and inode); None when it
    is closed."""
    try:
        found = os.fstat(2)
    except OSError:
        return None
    return found.st_dev, found.st_ino


@contextlib.contextmanager
def std_fds_kept_closed() -> Any:
    """While tavo opens its store: the standard file descriptors (0 to 2) that were
    closed stay closed. The SQLite library puts /dev/null on one it is handed for a
    file and keeps it open, where the program would get that number for its first file."""
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
    try:
        yield
    finally:
        if closed:
            null = os.stat(os.devnull)
            for fd in closed:
                try:
                    found = os.fstat(fd)
                except OSError:
                    continue
                if (found.st_dev, found.st_ino) == (null.st_dev, null.st_ino):
                    os.close(fd)


def write_to_stderr(text: str, started_with: tuple[int, int] | None) -> None:
    """Write ``text`` to file descriptor 2 itself (the program may hold the lock of
    its stream), unless it no longer refers to ``started_with``, the stderr_file() of
    the process's start: a program that closed it may have given its number to a file
    of its own, into which tavo's words must not go."""
    if started_with is None or stderr_file() != started_with:
        return
    try:
        os.write(2, text.encode(errors="replace"))
    except OSError:  # the exit status still tells a lost trace
        pass


def save_before_os_exit(profiler, report, stop=None):
    """Make os._exit stop ``profiler`` (saving its trace), with ``stop()`` when
    given, and call ``report(status, save_error)`` before the process goes, as a
    program ending with os._exit (a forked child, as most end) would otherwise
    lose its trace. Returns the function that puts the original os._exit back.

    The replacement lives here, in a file the engine never records, and stops
    the profiler before it calls anything else. It acts only in this process:
    a forked child inherits it, but its own trace (if any) is saved by the
    child-process support of tavo.profiler, which installs its own."""
    real_exit = os._exit
    pid = os.getpid()

    def exit_after_saving(status):
        if os.getpid() != pid:  # a forked child: its own replacement, if any, saves
            own = os._exit
            if getattr(own, "saves_for_pid", None) == os.getpid():
                own(status)
            real_exit(status)
        os._exit = real_exit
        error = None
        try:
            if stop is not None:
                stop()
            else:
                profiler.disable()
        except Exception as exc:
            error = exc
        try:
            status = report(status, error)
        finally:
            real_exit(status)

    def restore():
        if os._exit is exit_after_saving:  # not one the program put in its place
            os._exit = real_exit

    exit_after_saving.saves_for_pid = pid  # type: ignore[attr-defined]
    os._exit = exit_after_saving
    return restore


def save_before_exec(profiler: Any, stop: Any, report: Any) -> Any:
    """Make os.execv and os.execve, which every os.exec* function calls, stop
    ``profiler`` with ``stop()`` (which saves its trace and returns the error
    that stopped the save, or None) and call ``report(save_error)`` before the
    program replaces itself, as its trace would otherwise be lost. A path that
    cannot be run fails as it would, still recorded. Returns the function that
    puts both back."""
    real = {"execv": os.execv, "execve": os.execve}
    pid = os.getpid()
    ours: dict[str, Any] = {}

    def restore() -> None:
        for name, function in real.items():
            if getattr(os, name) is ours[name]:  # not one the program put in its place
                setattr(os, name, function)

    def saving_before(name: str) -> Any:
        def exec_after_saving(path: Any, *args: Any) -> Any:
            runnable = isinstance(path, int) or (os.path.isfile(path) and os.access(path, os.X_OK))
            if os.getpid() != pid or not profiler.enabled or not runnable:
                return real[name](path, *args)
            restore()
            report(stop())
            try:
                return real[name](path, *args)
            except OSError:
                print(f"tavo: the program's {name}() failed after its trace was saved: what it "
                      f"does from here is not recorded", file=sys.stderr, flush=True)
                raise

        return exec_after_saving

    for name in real:
        ours[name] = saving_before(name)
        setattr(os, name, ours[name])
    return restore


def in_subinterpreter():
    """Whether this code runs in an interpreter other than the process's main one."""
    import importlib

    for name in ("_interpreters", "_xxsubinterpreters"):  # 3.13 on, 3.12
        try:
            interpreters = importlib.import_module(name)
        except ImportError:
            continue
        current, main = interpreters.get_current(), interpreters.get_main()
        # An id, or (id, how it was made) from 3.14 on.
        return (current[0] if isinstance(current, tuple) else current) != \
            (main[0] if isinstance(main, tuple) else main)
    return False


# Tool ids of the interpreter's monitoring API tried before the profilers' own
# (sys.monitoring.PROFILER_ID), which is left to the program while one is free
# (the standard library's profiler asks for it): the two that no standard tool
# claims.
_SPARE_TOOL_IDS = (4, 3)


def spare_tool_ids() -> tuple[int, ...]:
    return (*_SPARE_TOOL_IDS, sys.monitoring.PROFILER_ID)


def watch_events(event: int, callback: Any) -> int | None:
    """Hand every event of one kind (a ``sys.monitoring.events`` flag) to ``callback``
    under a sys.monitoring tool id of tavo's; returns the id used, or None when every
    candidate id is taken."""
    monitoring = sys.monitoring
    for tool in spare_tool_ids():
        try:
            monitoring.use_tool_id(tool, "tavo")
        except ValueError:
            continue
        monitoring.register_callback(tool, event, callback)
        monitoring.set_events(tool, event)
        return tool
    return None


def unwatch_events(tool: int, event: int) -> None:
    monitoring = sys.monitoring
    monitoring.set_events(tool, 0)
    monitoring.register_callback(tool, event, None)
    monitoring.free_tool_id(tool)


def watch_exceptions(callback):
    """Hand every frame unwind (code, offset, exception) to ``callback``: the
    engine writes the exception record of a recorded call from it. Returns the
    tool id used, or None (with a warning) when every candidate id is taken."""
    tool = watch_events(sys.monitoring.events.PY_UNWIND, callback)
    if tool is None:
        logging.getLogger("tavo").warning(
            "no free sys.monitoring tool id (tried %s): exceptions are not recorded",
            ", ".join(map(str, spare_tool_ids())))
    return tool


def unwatch_exceptions(tool):
    unwatch_events(tool, sys.monitoring.events.PY_UNWIND)
