"""The host profiler object handed to the native engine, and the enable /
disable / context-manager API around it.

    with tavo.profile(db_path="tavo.sqlite3") as p:
        work()
    # the trace is now saved under p.trace_id

With ``db_path=None`` nothing is written: the trace document (MessagePack
bytes) is kept in ``p.trace`` instead.
"""

import logging
import os
import sys

from tavo import serialize
from tavo.stores.location import SERVER_SCHEMES, describe
from tavo.utils import (END_SIGNALS, in_subinterpreter, new_trace_id, stderr_file,
                        unwatch_events, unwatch_exceptions, watch_events, watch_exceptions,
                        write_to_stderr)

logger = logging.getLogger("tavo")

DEFAULT_DB_PATH = "tavo.sqlite3"
# Bytes of buffered records per trace. Building and storing a document holds
# about three copies of them at once, and SQLite refuses a value over 1e9 bytes.
DEFAULT_BUFFER_BUDGET = 256 << 20
# The default for each test's trace under pytest: a test's calls fit in far less,
# and a test that loops millions of times then stops being recorded early (its
# later events only counted), rather than filling memory and the store.
DEFAULT_TEST_BUFFER_BUDGET = 8 << 20
# A value's budget in a test's trace: a test's fixtures and objects of the code under test
# come back in call after call, and their encoding costs more than it shows. A value's
# attributes share its budget, so 512 bytes show each attribute of a parser's token (its
# text, its type, its parent's flags), where 2 KiB spent without sharing showed only the
# first deep attribute; on that parser's suite 8 KiB took a third more time than 2 KiB.
DEFAULT_TEST_VALUE_BUDGET = 512
# The longest wait for a locked store, in seconds (about 24 days): SQLite and
# PostgreSQL take it in milliseconds, in a 32-bit int.
MAX_BUSY_TIMEOUT = (2**31 - 1) // 1000
ENGINES = ("profile", "monitoring")

_enabled = None  # the Profiler currently installed, if any

RAISE_BUFFER_BUDGET = "buffer-budget in [tool.tavo] or TAVO_BUFFER_BUDGET"


def _size_text(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << (shift - 4)) == 0:
            return f"{size / (1 << shift):g} {unit}"
    return f"{size} bytes"


def _in_traces(count: int) -> str:
    return f" in {_counted(count, 'trace')}"


def _counted(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def describe_losses(losses: dict[str, int] | None, buffer_budget: int | None, option: str,
                    budget_note: str = "", traces: tuple[int, int] | None = None) -> str:
    """What a recording lost (a summary's "losses"), in words that say which
    limit (``buffer_budget``, when known, and ``budget_note`` after it) and how
    to raise it (``option``: the command's own); "" for nothing. ``traces``: for
    the losses of many traces summed, how many had values shortened and how many
    records dropped at the budget."""
    if not losses:
        return ""
    budget_dropped = losses.get("budget_dropped_records", 0)
    other_dropped = losses.get("dropped_records", 0) - budget_dropped
    shortened = losses.get("shortened_values", 0)
    parts = []
    if shortened:
        first = losses.get("shortened_from_record")
        parts.append(f"{_counted(shortened, 'value')} shortened"
                     + (_in_traces(traces[0]) if traces
                        else f" from record {first} on" if first else ""))
    # Once an engine stops reporting calls past the budget, they go uncounted.
    floor = "at least " if losses.get("uncounted_after_budget") else ""
    if budget_dropped:
        parts.append(f"{floor}{_counted(budget_dropped, 'record')} dropped"
                     + (_in_traces(traces[1]) if traces else ""))
    text = ", ".join(parts)
    if text:
        many = traces is not None and max(traces) > 1
        subject = "those traces" if many else "that trace" if traces else "the trace"
        their = "their" if many else "its"
        text += (f": {subject} neared{' and reached' if budget_dropped else ''} {their} buffer budget"
                 + (f" of {_size_text(buffer_budget)}" if buffer_budget else "") + budget_note
                 + (", past which calls go uncounted" if budget_dropped and floor else "")
                 + f" (raise it with {option}, {RAISE_BUFFER_BUDGET})")
    if other_dropped > 0:  # each error was reported as it happened
        text += f"{'; ' if text else ''}{_counted(other_dropped, 'record')} dropped"
    return text


def _is_sequence(obj: object) -> bool:
    """A sequence as the native module takes one: a type with item access that
    is not a dict. Iterators, generators and sets have no item access."""
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def make_config(config=None):
    """The full profiler configuration: defaults overridden by ``config``.

    Keys: "filters" ({"include_frames": [str], "ignore_frames": [str]}),
    "sqlite_busy_timeout" (seconds, int), "threading" (bool: also profile
    threads started while enabled), "lightweight_repr" (bool: keep value
    descriptions short), "exceptions" (bool: after the return of a call
    left by an exception, a record of type "exception" naming it; the native
    module alone leaves it off), "children" (bool, when given: also profile the
    Python processes started while enabled, or stop profiling in forked ones).
    "buffer_budget" (int, bytes: how much a trace's buffered records may take
    before further records are dropped and counted; 256 MiB when not given).
    "engine" ("profile": events from the profile function, the default;
    "monitoring": from sys.monitoring, which switches library code off per code
    object so that it runs at about full speed).
    "values" ("safe": objects are described without running their code;
    "repr": by their repr()), "value_budget" (most encoded bytes per value,
    int). Other keys (such as "pytest") are passed on as given."""
    merged = {
        "filters": {"include_frames": [], "ignore_frames": []},
        "sqlite_busy_timeout": 60,
        "threading": False,
        "lightweight_repr": False,
        "exceptions": True,
        "engine": "profile",
        "values": "safe",
        "value_budget": serialize.DEFAULT_BUDGET,
    }
    for key, value in (config or {}).items():
        if key == "filters":
            merged["filters"] = {**merged["filters"], **value}
        else:
            merged[key] = value
    for name in ("include_frames", "ignore_frames"):
        fragments = merged["filters"][name]
        if not isinstance(fragments, str) and not _is_sequence(fragments):
            # An iterator would be used up by the checks below, then be empty.
            raise TypeError(f"'{type(fragments).__qualname__}' object cannot be converted to "
                            "'Sequence'")
        if isinstance(fragments, str) or not all(isinstance(f, str) for f in fragments):
            raise TypeError(f'config["filters"]["{name}"] must be a list of strings')
        merged["filters"][name] = list(fragments)
    timeout = merged["sqlite_busy_timeout"]
    if isinstance(timeout, bool) or not isinstance(timeout, int) or not (
            0 <= timeout <= MAX_BUSY_TIMEOUT):
        raise TypeError(f'config["sqlite_busy_timeout"] must be an int from 0 to '
                        f'{MAX_BUSY_TIMEOUT} (seconds)')
    budget = merged.get("buffer_budget", DEFAULT_BUFFER_BUDGET)
    if isinstance(budget, bool) or not isinstance(budget, int) or not 0 < budget < 1 << 64:
        raise TypeError('config["buffer_budget"] must be a positive int (bytes)')
    for name in ("threading", "lightweight_repr", "exceptions"):
        if not isinstance(merged[name], bool):
            raise TypeError(f'config["{name}"] must be True or False')
    if merged["engine"] not in ENGINES:
        raise ValueError(f'config["engine"] must be one of: {", ".join(ENGINES)}')
    if not isinstance(merged.get("children", False), bool):
        raise TypeError('config["children"] must be True or False')
    serialize.check_settings(merged["values"], merged["value_budget"])
    return merged


class Profiler:
    """A tracing profiler for the calling thread (and, with config
    ``{"threading": True}``, the threads it starts).

    ``enable()`` installs it, ``disable()`` removes it and saves the trace into
    the store at ``db_path`` (a SQLite file path, or a postgresql:// URL). Both
    must be called from the same thread.
    """

    def __init__(self, db_path=DEFAULT_DB_PATH, *, config=None, source="context-manager",
                 one_trace_per_test=False):
        self.config = make_config(config)
        # Absolute, so that a program changing directory still saves here.
        # Bytes and path-like objects are decoded as the file system names them.
        self.db_path = None if db_path is None else os.fsdecode(db_path)
        if self.db_path is not None and not self.db_path.lower().startswith(SERVER_SCHEMES):
            self.db_path = os.path.abspath(self.db_path)
        self.source = str(source)
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = new_trace_id()
        self.rust_profiler = None  # the native profiler, set at registration
        self.trace = None  # the document, when db_path is None
        self.enabled = False
        self.from_parent = False  # started in a child process on its parent's behalf
        self._exception_tool = None  # the unwind-event tool id, while enabled
        self._enabled_on = None  # the ident of the thread that enabled it

    @property
    def store_name(self):
        """The store as messages name it: a URL's password masked."""
        return describe(self.db_path)

    @property
    def dropped_records(self) -> int:
        """Records dropped since the current trace began: an error while
        recording, the buffer budget, or memory running out."""
        return 0 if self.rust_profiler is None else self.rust_profiler.dropped_records

    @property
    def losses(self) -> dict[str, int] | None:
        """What the current trace lost so far, as its stored summary keeps it
        (tavo.stores.losses_of): None when nothing."""
        from tavo.stores import losses_of

        native = self.rust_profiler
        if native is None:
            return None
        return losses_of(native.dropped_records, native.budget_dropped_records,
                         native.shortened_values, native.shortened_from_record,
                         native.uncounted_after_budget)

    @property
    def kept_record_bytes(self) -> int:
        """Record memory that taken traces left for the next records (at most 2 MiB)."""
        return 0 if self.rust_profiler is None else self.rust_profiler.kept_record_bytes

    def __call__(self, *args, **kwargs):
        # The native engine does the recording; calling the host object does nothing.
        return None

    def enable(self):
        global _enabled
        if _enabled is not None and _enabled.from_parent and _enabled is not self:
            _enabled.discard()  # this process's own profiling takes over from its parent's
        if _enabled is not None:
            raise RuntimeError(_already_enabled_text(_enabled.source))
        # Import everything the engine calls into before profiling starts.
        import tavo.db, tavo.git, tavo.plugins, tavo.serialize  # noqa: E401,F401

        try:
            from tavo import _tavo
        except ImportError as exc:
            raise ImportError(f"tavo's native module is not available: {exc}") from exc
        import threading

        threading_profile = threading.getprofile()
        previous = serialize.configure(self.config["values"], self.config["value_budget"])
        try:
            _tavo.register_profiler(self)
        except BaseException:
            # Registration can fail after installing the engine: nothing may
            # stay installed, recording a trace never saved.
            _tavo.unregister_profiler()
            threading.setprofile(threading_profile)
            self.rust_profiler = None
            serialize.configure(**previous)
            raise
        self._previous_value_settings = previous
        self._threading_profile_before = threading_profile
        # The monitoring engine writes exception records from its own events.
        if self.config["exceptions"] and self.config["engine"] == "profile":
            self._exception_tool = watch_exceptions(self.rust_profiler.exception_unwind)
        self.enabled = True
        self._enabled_on = threading.get_ident()
        _enabled = self
        self._pause_past_full_trace()
        _follow_children(self)
        return self

    def _pause_past_full_trace(self):
        """With one trace and no plugins, what comes past a full budget could only be
        counted until the trace is taken, which puts the profile function back: it may
        leave every thread there."""
        if (self.config["engine"] == "profile" and not self.one_trace_per_test
                and not self.config.get("pytest")):
            self.pause_past_budget(True)
            _install_fork_hook()  # a forked child's trace starts empty: it records again

    def disable(self):
        """Stop profiling and save the trace. Returns the trace document
        (MessagePack bytes) when db_path is None, else None.

        With one_trace_per_test, each test's trace was saved when the test
        ended; what was recorded after the last test is dropped."""
        if not self.enabled:
            return None
        self.pause_past_budget(False)
        self._note_replaced_profile_function()
        self._uninstall()
        if self.one_trace_per_test:
            self.rust_profiler.build_trace()
            return None
        if self.db_path is None:
            self.trace = self.rust_profiler.build_trace()
            return self.trace
        self.rust_profiler.save_request_in_db()
        return None

    def pause_past_budget(self, allowed: bool) -> bool:
        """Under the profile engine, with ``allowed``, let tavo's profile function leave
        each thread that meets the trace's full buffer budget (the records it would make
        could only be counted) until the trace is taken; without, put it back on those
        threads, and say whether there were any. Allow it only where the permission is
        surely taken back before the trace's end: the event that ends it is seen only with
        the function in place."""
        if not self.enabled or self.config["engine"] != "profile":
            return False
        return self.rust_profiler.pause_past_budget(allowed)

    def resume_profile_function(self) -> bool:
        """Under the profile engine, put tavo's profile function back on the thread that
        enabled it when the program removed it (``sys.setprofile(None)``, as the profile
        module does when it is done), and say whether it did; a function of the
        program's own stays."""
        import threading

        if (self.enabled and self.config["engine"] == "profile"
                and threading.get_ident() == self._enabled_on and sys.getprofile() is None):
            sys.setprofile(self.rust_profiler)  # the engine's own takes over at the next event
            return True
        return False

    def _note_replaced_profile_function(self):
        """Tell that the program put a profile function of its own in the profile
        engine's place on the thread that enabled it, which ended its recording unseen,
        or one for new threads in the place of tavo's (either engine), which left the
        threads it started after that unrecorded."""
        import threading

        if (self.config["engine"] == "profile" and threading.get_ident() == self._enabled_on
                and sys.getprofile() is not self.rust_profiler):
            logger.warning("%s", REPLACED_PROFILE_FUNCTION)
        if (self.config["threading"]
                and not _is_tavo_hook(threading.getprofile(), self.rust_profiler)):
            logger.warning("%s", REPLACED_THREAD_PROFILE_FUNCTION)

    def discard(self):
        """Stop profiling without saving anything."""
        if self.enabled:
            self._uninstall()

    def _uninstall(self):
        """Remove everything enable() installed: the engine, the profile
        functions, the exception tool, the value settings, child following."""
        global _enabled
        import threading

        from tavo import _tavo

        # Profile functions the program set in tavo's place stay its own.
        _tavo.unregister_profiler()
        if _is_tavo_hook(threading.getprofile(), self.rust_profiler):
            threading.setprofile(self._threading_profile_before)
        if self._exception_tool is not None:
            unwatch_exceptions(self._exception_tool)
            self._exception_tool = None
        self.enabled = False
        _enabled = None
        _stop_following_children(self)
        serialize.configure(**self._previous_value_settings)

    def __enter__(self):
        return self.enable()

    def __exit__(self, exc_type, exc, tb):
        if exc is None:
            self.disable()
            return False
        # The program's own exception goes on; a failed save must not replace it.
        try:
            self.disable()
        except Exception as save_error:
            logger.error("could not save trace %s in %s: %s", self.trace_id, self.store_name,
                         describe_error(save_error), exc_info=save_error)
            exc.add_note(f"tavo: the trace {self.trace_id} could not be saved: "
                         f"{describe_error(save_error)}")
        return False


_RECORDED_BY = {"cli": ("tavo run", "the program without tavo run"),
                "pytest": ("pytest --tavo", "the tests without --tavo")}


def _already_enabled_text(source: str) -> str:
    """Why another profiler cannot start, and what to do when tavo records the process."""
    text = "a tavo profiler is already enabled in this process: one records at a time"
    if source in _RECORDED_BY:
        by, instead = _RECORDED_BY[source]
        text += f" ({by} records this one; run {instead} to use a profiler of its own)"
    return text


def _is_tavo_hook(function, native) -> bool:
    """Whether `function`, a hook for new threads, is the native profiler's (or
    the profiler itself, which code that copied sys.getprofile() set)."""
    return function is not None and (function is native
                                     or function == native.register_threading_profiler)


REPLACED_THREAD_PROFILE_FUNCTION = (
    "tavo: the program set a profile function of its own for new threads "
    "(threading.setprofile) in place of tavo's: the threads it started from there on were "
    "not recorded")
REPLACED_PROFILE_FUNCTION = (
    "tavo: the program set a profile function of its own (sys.setprofile) in place of tavo's: "
    "what its thread ran from there on was not recorded (the monitoring engine records beside "
    "one)")


def no_user_code_hint(include_option):
    """Why a trace can hold no record of the program's own code, and how to
    record it anyway."""
    return ("every frame counted as library code (a path containing lib/python, "
            "/site-packages/, <frozen or <string>, or one of tavo's own files) or matched an "
            f"ignore filter; to record code under such a path, name part of it with {include_option} "
            '(config["filters"]["include_frames"] in the Python API)')


def describe_error(exc):
    """What failed, even for an exception whose message is empty."""
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def profile(db_path=DEFAULT_DB_PATH, *, config=None, source="context-manager"):
    """A Profiler to use as a context manager: ``with tavo.profile() as p: ...``."""
    return Profiler(db_path, config=config, source=source)


# Child processes. With config "children" True (tavo run and the pytest plugin set it),
# the Python processes a profiled program starts are profiled too, each saving its own
# trace into the same store, its row naming its role ("child") and parent trace:
# - a forked child (os.fork, multiprocessing's fork) starts a new trace in the at-fork
#   hook and saves it when it exits: at exit, or in multiprocessing's exit finalizers
#   for children that leave through os._exit;
# - a new interpreter (multiprocessing's spawn and forkserver, subprocess) starts
#   profiling at start-up, through the tavo-children.pth start-up hook installed beside
#   the package, from CHILD_ENV: "PARENT_TRACE_ID FILE", where FILE holds the store and
#   the settings (written once per run, in a private temporary folder, so that however
#   long the settings are, the program's environment stays small);
# - a child that tavo records saves its trace when SIGTERM ends it (Pool.terminate(),
#   leaving `with Pool()`) or SIGHUP does (its terminal closed), then ends as the
#   signal would.
# With "children" False, a forked child stops recording and saves nothing.

CHILD_ENV = "TAVO_CHILD"
_CHILD_CONFIG_KEYS = ("filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "children",
                      "engine", "values", "value_budget")
_fork_hook_installed = False
_relay = None  # in a forkserver process: what each forked child starts with
_started_from_environment = False  # site may read the start-up hook twice in a venv


class ChildSettingsError(Exception):
    """CHILD_ENV or the file it names cannot be used."""


def _install_fork_hook():
    global _fork_hook_installed
    if not _fork_hook_installed:
        os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                            after_in_child=_after_fork_in_child)
        _fork_hook_installed = True


def recording_trace_id(profiler):
    """The id of the trace the engine is recording now: with one trace per test,
    the running test's, which is what a child process is labelled with."""
    native = profiler.rust_profiler
    return native.trace_id if native is not None else profiler.trace_id


_masks_before_fork = {}  # a forking thread's id -> its signal mask, while the signals are held
_signals_watched_in = None  # the process whose ending signals save its trace


def _before_fork():
    if _enabled is not None and _enabled.rust_profiler is not None:
        _enabled.parent_trace_id_at_fork = recording_trace_id(_enabled)
    if _signals_watched_in == os.getpid():
        from tavo import _tavo

        # Its thread would make the interpreter warn that the process forks while
        # it has several.
        _tavo.pause_end_signal_watch(True)
    if _relay is not None or (_enabled is not None and _enabled.config.get("children") is True):
        import signal
        import threading

        # The child starts with the signals held until it saves at them: a worker
        # the program terminates while it is still starting keeps its trace too.
        _masks_before_fork[threading.get_ident()] = signal.pthread_sigmask(
            signal.SIG_BLOCK, END_SIGNALS)


def _after_fork_in_parent():
    if _signals_watched_in == os.getpid():
        from tavo import _tavo

        _tavo.pause_end_signal_watch(False)
    _restore_signal_mask()


def _restore_signal_mask():
    import threading

    mask = _masks_before_fork.pop(threading.get_ident(), None)
    if mask is not None:
        import signal

        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def refresh_child_environment(profiler):
    """Point the processes started from now on at the trace being recorded now
    (called at each test's start when there is one trace per test)."""
    if getattr(profiler, "child_file", None) is not None:
        os.environ[CHILD_ENV] = f"{recording_trace_id(profiler)} {profiler.child_file}"


def _follow_children(profiler):
    if profiler.config.get("children") is None:
        return
    _install_fork_hook()
    if profiler.config["children"] is True and profiler.db_path is not None:
        if getattr(profiler, "child_file", None) is None:
            try:
                profiler.child_file = _write_child_file(profiler)
            except OSError as exc:
                print(f"tavo: not recording child processes: {exc}", file=sys.stderr)
                return
            profiler.child_file_owner = os.getpid()
        profiler.child_env_before = os.environ.get(CHILD_ENV)
        refresh_child_environment(profiler)


def _stop_following_children(profiler):
    if not hasattr(profiler, "child_env_before"):
        return
    if profiler.child_env_before is None:
        os.environ.pop(CHILD_ENV, None)
    else:
        os.environ[CHILD_ENV] = profiler.child_env_before
    del profiler.child_env_before
    _remove_child_file(profiler)  # children that start from now on are not profiled


def _remove_child_file(profiler):
    """Remove the settings file of the run's children (and its folder), if this
    process made it."""
    if getattr(profiler, "child_file_owner", None) == os.getpid():
        import shutil

        shutil.rmtree(os.path.dirname(profiler.child_file), ignore_errors=True)
        profiler.child_file = profiler.child_file_owner = None


def disable_before_exec(profiler):
    """Stop ``profiler``, saving its trace, as the process replaces its program
    (os.exec*): the program it becomes is recorded as a child of that trace when
    children are, and removes the children's settings file at its own end."""
    children = os.environ.get(CHILD_ENV)
    profiler.child_file_owner = None
    try:
        profiler.disable()
    finally:
        if children is not None:
            os.environ[CHILD_ENV] = children


def remove_child_settings():
    """Remove the enabled profiler's settings file for children, for a process that a
    signal is about to end."""
    if _enabled is not None:
        _remove_child_file(_enabled)


def _write_child_file(profiler):
    """The file a run's new interpreters take their store and settings from, in a
    folder of its own readable by this user alone (the store's URL may hold a password)."""
    import json
    import tempfile

    folder = tempfile.mkdtemp(prefix="tavo-run-")
    path = os.path.join(folder, "children.json")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w",
              encoding="utf-8") as file:
        json.dump({"db": profiler.db_path, "source": profiler.source, "owner": os.getpid(),
                   "config": {key: profiler.config[key] for key in _CHILD_CONFIG_KEYS}}, file)
    return path


def read_child_settings(value):
    """The parent trace id, the settings file's path and its checked contents, from
    CHILD_ENV's ``value``; ChildSettingsError (one line) when any is unusable, and
    FileNotFoundError when the parent's run is over."""
    import json

    parent, _, path = value.partition(" ")
    if not parent.startswith("trc_") or not os.path.isabs(path):
        raise ChildSettingsError(f"bad {CHILD_ENV} (not a trace id and a file): {value[:80]!r}")
    try:
        with open(path, encoding="utf-8") as file:
            payload = json.load(file)
    except FileNotFoundError:
        raise
    except (OSError, ValueError) as exc:
        raise ChildSettingsError(f"cannot read {path}: {exc}") from None
    except RecursionError:
        raise ChildSettingsError(f"cannot read {path}: nested too deeply") from None
    if not isinstance(payload, dict) or set(payload) - {"owner"} != {"db", "source", "config"}:
        raise ChildSettingsError(f"{path} holds no child settings")
    config = payload["config"]
    problem = None
    if not isinstance(payload["db"], str) or not payload["db"].strip():
        problem = f"db must be a database path or URL, not {payload['db']!r}"
    elif not isinstance(payload["source"], str):
        problem = f"source must be text, not {payload['source']!r}"
    elif not isinstance(config, dict) or not set(config) <= set(_CHILD_CONFIG_KEYS):
        problem = f"config must be a table of {', '.join(_CHILD_CONFIG_KEYS)}"
    else:
        try:
            make_config(config)
        except (TypeError, ValueError) as exc:
            problem = str(exc)
    if problem is not None:
        raise ChildSettingsError(f"bad settings in {path}: {problem}")
    return parent, path, payload


def _label_as_child(parent_trace_id):
    import tavo.db

    tavo.db.process_role = "child"
    tavo.db.parent_trace_id = parent_trace_id


def _forked_to_exec():
    """Whether subprocess forked this process to run a preexec_fn before it execs
    the program: nothing of its own runs here, and the program it becomes is a
    child of the process that started it (a trace of this one would be lost at
    the exec, leaving that program linked to no saved trace)."""
    subprocess = sys.modules.get("subprocess")
    execute_child = getattr(getattr(subprocess, "Popen", None), "_execute_child", None)
    code = getattr(execute_child, "__code__", None)
    frame = sys._getframe(1)
    while code is not None and frame is not None:
        if frame.f_code is code:
            return True
        frame = frame.f_back
    return False


def _after_fork_in_child():
    try:
        _start_forked_child()
    finally:
        _restore_signal_mask()  # a signal held meanwhile comes now


def _start_forked_child():
    if _forked_to_exec():
        return
    profiler = _enabled
    if profiler is None:
        if _relay is not None:
            _start_child(*_relay)
        return
    if profiler.config.get("children") is False:
        profiler.discard()
        return
    if profiler.config.get("children") is not True:
        # The child's trace starts empty: the forking thread records again.
        profiler.pause_past_budget(False)
        profiler._pause_past_full_trace()
        return
    from tavo import _tavo

    parent_trace_id = getattr(profiler, "parent_trace_id_at_fork", profiler.trace_id)
    profiler.trace_id = new_trace_id()
    profiler.one_trace_per_test = False  # the child's trace is the rest of its life
    profiler.config = {k: v for k, v in profiler.config.items() if k != "pytest"}
    try:
        _tavo.register_profiler(profiler)  # a new native profiler: empty buffers, this trace id
    except Exception as exc:
        profiler.discard()
        print(f"tavo: not profiling process {os.getpid()}: {exc}", file=sys.stderr)
        return
    profiler._pause_past_full_trace()
    _label_as_child(parent_trace_id)
    refresh_child_environment(profiler)
    _save_at_exit(profiler)


def _start_save_turns(profiler):
    """Let the process's end and an ending signal take turns at saving the trace."""
    import signal
    import threading

    import tavo.stores  # noqa: F401  (a save at a signal must not have to import it)

    profiler.child_pid = os.getpid()
    profiler.stderr_file = stderr_file()  # where the process's own words may go at its end
    # "pending", then "saving at exit" or "saving at signal", "terminated" (a signal
    # came during the exit save), "done".
    profiler.child_save = "pending"
    profiler.child_save_lock = threading.Lock()
    profiler.child_saved_at_signal = threading.Event()
    profiler.end_signal = signal.SIGTERM  # the signal that came, once one did


def save_run_at_signal(profiler, report):
    """Save the trace of a profiler that records a whole program (tavo run) when
    SIGTERM or SIGHUP ends the process, as a child's is, then call
    ``report(save_error)`` from the signal's thread (the program may hold stderr's
    lock) and end as the signal would. The program's end takes its turn with
    take_exit_save_turn()."""
    _start_save_turns(profiler)
    profiler.report_at_signal = report
    _save_at_end_signals(profiler)


def take_exit_save_turn(profiler):
    """At the process's (or the program's) end, whether its trace is still to be
    saved there. Once a signal's save has begun, this waits for it and ends the
    process by the signal: exiting meanwhile would lose it."""
    state = _take_save_turn(profiler, "exit")
    if state == "saving at signal":
        profiler.child_saved_at_signal.wait()
        _end_as_signal(profiler.end_signal)
    return state == "pending"


def end_exit_save(profiler):
    """After the end's save: end as the signal would if one came meanwhile (it
    waited for that save)."""
    if getattr(profiler, "child_pid", None) != os.getpid():
        return
    with profiler.child_save_lock:
        terminated = profiler.child_save == "terminated"
        profiler.child_save = "done"
    if terminated:
        _end_as_signal(profiler.end_signal)


def _save_at_exit(profiler):
    import atexit

    from tavo import utils

    _start_save_turns(profiler)
    profiler.report_at_signal = None  # a forked child's save is silent, not its parent's
    atexit.register(_save_child_trace, profiler)
    utils.save_before_exec(profiler, lambda: _save_child_trace(profiler, disable_before_exec),
                           lambda error: None)
    # The saves above tell their own errors.
    utils.save_before_os_exit(profiler, lambda status, error: status,
                              lambda: _save_child_trace(profiler))
    mp_util = sys.modules.get("multiprocessing.util")
    if mp_util is not None:
        # multiprocessing's children leave through os._exit, after its exit finalizers;
        # those are cleared when the child starts, and re-armed from this hook.
        mp_util.register_after_fork(profiler, _arm_multiprocessing_exit)
    _save_at_end_signals(profiler)


def _arm_multiprocessing_exit(profiler):
    import multiprocessing.util

    multiprocessing.util.Finalize(None, _save_child_trace, args=(profiler,), exitpriority=-100)


def _take_save_turn(profiler, by, signum=None):
    """The state of the child's save before this call (by "exit", or "signal" with
    the signal's number), which takes the save over if it was still to be made."""
    with profiler.child_save_lock:
        state = profiler.child_save
        if state == "pending":
            profiler.child_save = f"saving at {by}"
        elif state == "saving at exit" and by == "signal":
            profiler.child_save = "terminated"  # the exit save ends the process when done
        if state in ("pending", "saving at exit") and by == "signal":
            profiler.end_signal = signum  # the process ends by it
        return state


def _save_child_trace(profiler, stop=None):
    """Save a child's trace as it exits (atexit, or multiprocessing's exit finalizer),
    stopping it with ``stop(profiler)`` (by default its disable()); errors are told here."""
    if getattr(profiler, "child_pid", None) != os.getpid() or not take_exit_save_turn(profiler):
        return
    try:
        if profiler.enabled:
            (stop or Profiler.disable)(profiler)
    except Exception as exc:
        _report_lost_child_trace(profiler, exc)
    finally:
        end_exit_save(profiler)


def _report_lost_child_trace(profiler, exc):
    # Written straight to the file descriptor: the program may hold stderr's lock.
    write_to_stderr(f"tavo: could not save trace {profiler.trace_id} of process {os.getpid()}"
                    f" in {profiler.store_name}: {exc}\n", profiler.stderr_file)


def watch_end_signals(callback) -> bool:
    """Call ``callback(signum)`` from a thread of tavo's own when SIGTERM or SIGHUP
    comes, each unless this process chose what it does; a true result ends the process
    as the signal would. The program's code still sees the default action (through
    ``signal.getsignal``); called again, this takes back a signal that the program set
    back to its default. Whether either signal is watched."""
    import functools

    from tavo import _tavo

    global _signals_watched_in
    _install_fork_hook()  # its thread pauses while the process forks
    watching = _tavo.watch_end_signals(functools.partial(_with_threads_held, callback),
                                       END_SIGNALS)
    if watching:
        _signals_watched_in = os.getpid()
    return watching


def _with_threads_held(callback, signum):
    """``callback(signum)`` while the program's threads wait at their next line of
    Python (the main thread waits already): without tavo they would have ended at the
    signal, and the save gives up the interpreter lock as it writes."""
    from tavo import _tavo

    line = sys.monitoring.events.LINE
    tool = watch_events(line, _tavo.wait_while_ending_signal)
    try:
        return callback(signum)  # with no tool id left, the threads run on
    finally:
        if tool is not None:
            unwatch_events(tool, line)


def _save_at_end_signals(profiler):
    """Save the trace when SIGTERM or SIGHUP ends this process, unless the program
    (or the parent, before forking) chose what the signal does here."""
    import functools

    try:
        watch_end_signals(functools.partial(_on_end_signal, profiler))
    except Exception as exc:  # this process can still save at exit
        print(f"tavo: process {os.getpid()} will not save its trace at SIGTERM or SIGHUP: {exc}",
              file=sys.stderr)


def _on_end_signal(profiler, signum):
    """Called at SIGTERM or SIGHUP from the engine's own thread while the main
    thread may be anywhere, even blocked for good; true ends the process as the
    signal would."""
    if profiler.child_pid != os.getpid():
        return True
    state = _take_save_turn(profiler, "signal", signum)
    if state == "saving at exit":
        return False  # that save ends the process when it is done
    if state == "pending" and profiler.enabled:
        error = None
        try:
            # The engine stays installed: uninstalling it under the main thread
            # could free what an event there is using.
            profiler.rust_profiler.save_request_in_db()
        except Exception as exc:
            error = exc
        report = getattr(profiler, "report_at_signal", None)
        if report is not None:
            report(error)
        elif error is not None:
            _report_lost_child_trace(profiler, error)
    _remove_child_file(profiler)  # the process ends now
    profiler.child_saved_at_signal.set()  # an exit waiting for this save may go on
    return True


def _end_as_signal(signum):
    """End this process (from its main thread) as ``signum`` would have without
    tavo: by it, so that its parent sees the same exit status."""
    import signal

    signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # not reached unless the signal could not end the process


def start_child_from_environment():
    """Start profiling this new process for the parent that set CHILD_ENV (called at
    interpreter start-up by tavo-children.pth). Never raises: a problem is one line
    on stderr, and the program runs unprofiled."""
    global _relay, _started_from_environment

    if _started_from_environment or in_subinterpreter():
        # A subinterpreter shares the process, and its environment, with the
        # profiled program: it is no child, and the native module stays with
        # the main interpreter.
        return
    _started_from_environment = True
    try:
        parent, path, payload = read_child_settings(os.environ[CHILD_ENV])
    except FileNotFoundError:
        return  # the parent's run is over: nothing to link this process to
    except Exception as exc:
        print(f"tavo: not profiling process {os.getpid()}: {exc}", file=sys.stderr)
        return
    command = " ".join(getattr(sys, "orig_argv", []))
    if "from multiprocessing.resource_tracker import" in command:
        return  # multiprocessing's own helper process: nothing of the program runs there
    if "from multiprocessing.forkserver import" in command:
        # The server only forks the program's children: each of them is profiled.
        _relay = (parent, path, payload)
        _install_fork_hook()
        return
    _start_child(parent, path, payload)


def _start_child(parent, path, payload):
    global _relay
    _relay = None
    try:
        profiler = Profiler(payload["db"], config=payload["config"], source=payload["source"])
        profiler.from_parent = True
        profiler.child_file = path  # its own children read the same file
        if payload.get("owner") == os.getpid():
            # The run itself, replaced by the program it ran (os.exec*): the file
            # is this process's to remove at its end.
            profiler.child_file_owner = os.getpid()
        _label_as_child(parent)
        profiler.enable()
    except Exception as exc:
        print(f"tavo: not profiling process {os.getpid()}: {exc}", file=sys.stderr)
        return
    _save_at_exit(profiler)
