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
from tavo.stores.location import SERVER_SCHEMES
from tavo.utils import in_subinterpreter, new_trace_id, unwatch_exceptions, watch_exceptions

logger = logging.getLogger("tavo")

DEFAULT_DB_PATH = "tavo.sqlite3"
# Bytes of buffered records per trace. Building and storing a document holds
# about three copies of them at once, and SQLite refuses a value over 1e9 bytes.
DEFAULT_BUFFER_BUDGET = 256 << 20
ENGINES = ("profile", "monitoring")

_enabled = None  # the Profiler currently installed, if any


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
    if isinstance(timeout, bool) or not isinstance(timeout, int) or timeout < 0:
        raise TypeError('config["sqlite_busy_timeout"] must be a non-negative int (seconds)')
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

    @property
    def dropped_records(self) -> int:
        """Records dropped since the current trace began: an error while
        recording, the buffer budget, or memory running out."""
        return 0 if self.rust_profiler is None else self.rust_profiler.dropped_records

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
            raise RuntimeError("a tavo profiler is already enabled")
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
            sys.setprofile(None)
            threading.setprofile(threading_profile)
            self.rust_profiler = None
            serialize.configure(**previous)
            raise
        self._previous_value_settings = previous
        # The monitoring engine writes exception records from its own events.
        if self.config["exceptions"] and self.config["engine"] == "profile":
            self._exception_tool = watch_exceptions(self.rust_profiler.exception_unwind)
        self.enabled = True
        _enabled = self
        _follow_children(self)
        return self

    def disable(self):
        """Stop profiling and save the trace. Returns the trace document
        (MessagePack bytes) when db_path is None, else None.

        With one_trace_per_test, each test's trace was saved when the test
        ended; what was recorded after the last test is dropped."""
        if not self.enabled:
            return None
        self._uninstall()
        if self.one_trace_per_test:
            self.rust_profiler.build_trace()
            return None
        if self.db_path is None:
            self.trace = self.rust_profiler.build_trace()
            return self.trace
        self.rust_profiler.save_request_in_db()
        return None

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

        _tavo.unregister_profiler()
        if self.config["threading"]:
            threading.setprofile_all_threads(None)
        else:
            sys.setprofile(None)
            threading.setprofile(None)
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
            logger.error("could not save trace %s in %s: %s", self.trace_id, self.db_path,
                         describe_error(save_error), exc_info=save_error)
            exc.add_note(f"tavo: the trace {self.trace_id} could not be saved: "
                         f"{describe_error(save_error)}")
        return False


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
# trace into the same store, labelled "[child of PARENT_TRACE_ID pid PID]":
# - a forked child (os.fork, multiprocessing's fork) starts a new trace in the at-fork
#   hook and saves it when it exits: at exit, or in multiprocessing's exit finalizers
#   for children that leave through os._exit;
# - a new interpreter (multiprocessing's spawn and forkserver, subprocess) starts
#   profiling at start-up from CHILD_ENV, which the parent sets while it profiles, through
#   the tavo-children.pth start-up hook installed beside the package.
# With "children" False, a forked child stops recording and saves nothing.

CHILD_ENV = "TAVO_CHILD_PROFILE"
_CHILD_CONFIG_KEYS = ("filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "children",
                      "engine")
_fork_hook_installed = False
_relay = None  # in a forkserver process: what each forked child starts with
_started_from_environment = False  # site may read the start-up hook twice in a venv


def _install_fork_hook():
    global _fork_hook_installed
    if not _fork_hook_installed:
        os.register_at_fork(before=_before_fork, after_in_child=_after_fork_in_child)
        _fork_hook_installed = True


def recording_trace_id(profiler):
    """The id of the trace the engine is recording now: with one trace per test,
    the running test's, which is what a child process is labelled with."""
    native = profiler.rust_profiler
    return native.trace_id if native is not None else profiler.trace_id


def _before_fork():
    if _enabled is not None and _enabled.rust_profiler is not None:
        _enabled.parent_trace_id_at_fork = recording_trace_id(_enabled)


def refresh_child_environment(profiler):
    """Point the processes started from now on at the trace being recorded now
    (called at each test's start when there is one trace per test)."""
    if hasattr(profiler, "child_env_before"):
        os.environ[CHILD_ENV] = _child_payload(profiler)


def _follow_children(profiler):
    if profiler.config.get("children") is None:
        return
    _install_fork_hook()
    if profiler.config["children"] is True and profiler.db_path is not None:
        profiler.child_env_before = os.environ.get(CHILD_ENV)
        os.environ[CHILD_ENV] = _child_payload(profiler)


def _stop_following_children(profiler):
    if not hasattr(profiler, "child_env_before"):
        return
    if profiler.child_env_before is None:
        os.environ.pop(CHILD_ENV, None)
    else:
        os.environ[CHILD_ENV] = profiler.child_env_before
    del profiler.child_env_before


def _child_payload(profiler):
    import json

    return json.dumps({"parent": recording_trace_id(profiler), "db": profiler.db_path,
                       "source": profiler.source,
                       "config": {key: profiler.config[key] for key in _CHILD_CONFIG_KEYS}})


def _label_as_child(parent_trace_id):
    import tavo.db

    tavo.db.process_label = f"[child of {parent_trace_id} pid {os.getpid()}]"


def _after_fork_in_child():
    profiler = _enabled
    if profiler is None:
        if _relay is not None:
            _start_child(_relay)
        return
    if profiler.config.get("children") is False:
        profiler.discard()
        return
    if profiler.config.get("children") is not True:
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
    _label_as_child(parent_trace_id)
    if hasattr(profiler, "child_env_before"):
        os.environ[CHILD_ENV] = _child_payload(profiler)
    _save_at_exit(profiler)


def _save_at_exit(profiler):
    import atexit

    profiler.child_pid = os.getpid()
    atexit.register(_save_child_trace, profiler)
    mp_util = sys.modules.get("multiprocessing.util")
    if mp_util is not None:
        # multiprocessing's children leave through os._exit, after its exit finalizers;
        # those are cleared when the child starts, and re-armed from this hook.
        mp_util.register_after_fork(profiler, _arm_multiprocessing_exit)


def _arm_multiprocessing_exit(profiler):
    import multiprocessing.util

    multiprocessing.util.Finalize(None, _save_child_trace, args=(profiler,), exitpriority=-100)


def _save_child_trace(profiler):
    if not profiler.enabled or getattr(profiler, "child_pid", None) != os.getpid():
        return
    try:
        profiler.disable()
    except Exception as exc:
        print(f"tavo: could not save trace {profiler.trace_id} of process {os.getpid()}"
              f" in {profiler.db_path}: {exc}", file=sys.stderr)


def start_child_from_environment():
    """Start profiling this new process for the parent that set CHILD_ENV (called at
    interpreter start-up by tavo-children.pth)."""
    global _relay, _started_from_environment
    import json

    if _started_from_environment or in_subinterpreter():
        # A subinterpreter shares the process, and its environment, with the
        # profiled program: it is no child, and the native module stays with
        # the main interpreter.
        return
    _started_from_environment = True
    try:
        payload = json.loads(os.environ[CHILD_ENV])
        payload = {"parent": str(payload["parent"]), "db": str(payload["db"]),
                   "source": str(payload["source"]), "config": dict(payload["config"])}
    except (KeyError, TypeError, ValueError) as exc:
        print(f"tavo: not profiling process {os.getpid()}: bad {CHILD_ENV}: {exc}",
              file=sys.stderr)
        return
    command = " ".join(getattr(sys, "orig_argv", []))
    if "from multiprocessing.resource_tracker import" in command:
        return  # multiprocessing's own helper process: nothing of the program runs there
    if "from multiprocessing.forkserver import" in command:
        # The server only forks the program's children: each of them is profiled.
        _relay = payload
        _install_fork_hook()
        return
    _start_child(payload)


def _start_child(payload):
    global _relay
    _relay = None
    try:
        profiler = Profiler(payload["db"], config=payload["config"], source=payload["source"])
        profiler.from_parent = True
        _label_as_child(payload["parent"])
        profiler.enable()
    except Exception as exc:
        print(f"tavo: not profiling process {os.getpid()}: {exc}", file=sys.stderr)
        return
    _save_at_exit(profiler)
