"""``tavo run``: profile a script or module as Python would run it, and save its trace."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import types
from typing import Any

from tavo.cli.common import (CommandError, Parser, add_busy_timeout_option, add_record_options,
                             settings_from)

# The stream a run started with and the file that its file descriptor 2 referred to then
# (see utils.stderr_file), where the run's own lines go.
RunStderr = tuple[Any, tuple[int, int] | None]

USAGE = ("tavo run [--db PATH] [--include F] [--ignore F] [--no-threading] [--no-children]"
         " [--busy-timeout SECONDS] [--values MODE] [--value-budget BYTES] [--buffer-budget BYTES]"
         " SCRIPT [ARGS...] | -m MODULE [ARGS...]")


def add_parser(subparsers: Any) -> None:
    # The command's own words are split from the program's by split_arguments, so this
    # entry takes everything after "run" untouched (no option prefix is recognised).
    command = subparsers.add_parser("run", help="profile a script or module and save its trace",
                                    add_help=False, prefix_chars="\0", usage=USAGE)
    command.add_argument("words", nargs=argparse.REMAINDER)
    command.set_defaults(handler=lambda args: run_command(args.words))


def options_parser() -> Parser:
    parser = Parser(prog="tavo run", usage=USAGE,
                    description="Profile a script or module and save its trace. Everything after "
                                "SCRIPT or -m MODULE is the program's own sys.argv.")
    add_record_options(parser)
    add_busy_timeout_option(parser, "the save")
    parser.add_argument("-m", dest="module", metavar="MODULE",
                        help="run a module as a script, as python -m does")
    return parser


def split_arguments(parser: Parser, words: list[str]) -> tuple[list[str], list[str]]:
    """tavo's options, and the program's words: SCRIPT or MODULE onwards."""
    actions = parser._option_string_actions  # which options take a value
    index = 0
    while index < len(words):
        word = words[index]
        if word == "--":
            return words[:index], words[index + 1:]
        if word == "-m":
            return words[:index + 2], words[index + 2:]
        if word.startswith("-m") and not word.startswith("--"):
            return words[:index + 1], words[index + 1:]
        if not word.startswith("-") or word == "-":
            return words[:index], words[index:]
        action = actions.get(word)
        index += 2 if action is not None and action.nargs != 0 and "=" not in word else 1
    return words, []


def parse_run_arguments(words: list[str]) -> tuple[argparse.Namespace, list[str]]:
    parser = options_parser()
    own, program = split_arguments(parser, words)
    options = parser.parse_args(own)
    if options.module is None and not program:
        raise CommandError(f"run: no script given (usage: {USAGE})", 2)
    return options, program


def _trimmed_traceback(exc: BaseException) -> types.TracebackType | None:
    """The exception's traceback without tavo's frames, so it reads as the
    interpreter's own for the program (with runpy's for a module run with -m)."""
    import tavo.utils

    tavo_files = {__file__, tavo.utils.__file__}
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename not in tavo_files:  # also tavo's os.exec* in between
            entries.append(tb)
        tb = tb.tb_next
    trimmed = None
    for entry in reversed(entries):
        trimmed = types.TracebackType(trimmed, entry.tb_frame, entry.tb_lasti, entry.tb_lineno)
    return trimmed


def _print_uncaught(failure: BaseException, status: Any) -> Any:
    """Hand the program's uncaught exception to sys.excepthook, as the interpreter
    does, and the exit status then: one that the hook itself raises is printed
    with the original as the interpreter prints them, and its SystemExit sets the
    status."""
    tb = _trimmed_traceback(failure)
    failure.with_traceback(tb)
    hook = getattr(sys, "excepthook", None)
    if hook is None and not hasattr(sys, "excepthook"):
        print("sys.excepthook is missing", file=sys.stderr)
        hook = sys.__excepthook__
    try:
        hook(type(failure), failure, tb)
    except SystemExit as exc:
        return exc.code
    except BaseException as hook_error:
        hook_error.with_traceback(_trimmed_traceback(hook_error))
        print("Error in sys.excepthook:", file=sys.stderr)
        sys.__excepthook__(type(hook_error), hook_error, hook_error.__traceback__)
        print("\nOriginal exception was:", file=sys.stderr)
        sys.__excepthook__(type(failure), failure, tb)
    return status


# The program's main namespace, kept until the interpreter ends, as the
# interpreter keeps its __main__ module: what it holds goes at exit, after the
# exit handlers, not when the program returns (a subinterpreter left open
# is reported then, an object's finalizer runs then).
_program_namespaces: list[dict[str, Any]] = []


def run_command(words: list[str]) -> int:
    """Run the program under the profiler and save its trace. This ends the
    program as the interpreter would (its non-daemon threads are waited for),
    so it is only called as the last thing the process does."""
    import importlib.util
    import pkgutil

    from tavo import db, utils
    from tavo.cli.common import open_error, store_errors
    from tavo.profiler import (Profiler, disable_before_exec, end_exit_save, save_run_at_signal,
                               take_exit_save_turn)

    options, argv = parse_run_arguments(words)
    module = options.module
    # Where the run's lines go, whatever the program makes of sys.stderr and fd 2.
    stderr, stderr_file = sys.stderr, utils.stderr_file()
    saved_argv, saved_path = sys.argv, list(sys.path)
    if module is None:
        target = argv[0]
        if not os.path.exists(target):
            raise CommandError(f"can't open file {target!r}: no such file or directory", 2)
        run_argv = argv
        # A folder or zip file is itself the first entry of sys.path, a script its folder
        # (none with -P or -I, which keep the path as the interpreter set it).
        is_entry = pkgutil.get_importer(os.path.abspath(target)) is not None
        path0 = (os.path.abspath(target) if is_entry
                 else None if sys.flags.safe_path else os.path.dirname(os.path.realpath(target)))
    else:
        run_argv = [module, *argv]  # runpy replaces argv[0] by the module's file
        # Looked up from the working directory, as python -m does (a console script's
        # sys.path[0] is its own folder), unless -P or -I keep it off the path.
        path0 = None if sys.flags.safe_path else os.getcwd()
        if path0 is not None:
            sys.path[0] = path0
        try:
            found = importlib.util.find_spec(module) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            sys.path[:] = saved_path
            raise CommandError(f"no module named {module!r}", 2)

    settings = settings_from(options)
    db_path = settings["db"]
    config = settings.profiler_config()
    try:
        profiler = Profiler(db_path, config=config, source="cli")
        with utils.std_fds_kept_closed():
            db.ensure_database(profiler.db_path, timeout=profiler.config["sqlite_busy_timeout"])
    except db.NotATraceDatabase as exc:
        sys.path[:] = saved_path
        raise CommandError(f"{exc}: not writing into it") from None
    except store_errors() as exc:
        sys.path[:] = saved_path
        raise open_error(exc, db_path, "write") from None

    saves: list[tuple[Any, BaseException | None]] = []

    def observe(path: str, trace_id: str, summary: Any, error: BaseException | None) -> None:
        if path == profiler.db_path and trace_id == profiler.trace_id:
            saves.append((summary, error))

    def report_run(status: Any, save_error: BaseException | None, unlocked: bool = False) -> Any:
        return report(profiler, db_path, saves, save_error, status, (stderr, stderr_file),
                      unlocked)

    sys.argv = list(run_argv)
    if path0 is not None:
        sys.path[0] = path0
    status: Any = 0
    started_in = os.getpid()
    failure: BaseException | None = None
    save_error: Exception | None = None
    db.save_observers.append(observe)
    restore_log = _log_to_run((stderr, stderr_file))
    try:
        profiler.enable()
    except Exception as exc:
        restore_log()
        db.save_observers.remove(observe)
        sys.argv, sys.path[:] = saved_argv, saved_path
        raise CommandError(f"cannot start profiling: {exc}") from None
    restore_os_exit = utils.save_before_os_exit(profiler, report_run)

    def stop_before_exec() -> BaseException | None:
        try:
            with utils.std_fds_kept_closed():  # the program it becomes finds them so
                disable_before_exec(profiler)
        except Exception as exc:
            return exc
        return None

    restore_exec = utils.save_before_exec(profiler, stop_before_exec,
                                          lambda error: report_run(0, error))
    save_run_at_signal(profiler, lambda error: report_run(0, error, unlocked=True))
    try:
        try:
            if module is None:
                utils.run_script_as_main(run_argv[0], _program_namespaces)
            else:
                utils.run_module_as_main(module, _program_namespaces)
        except SystemExit as exc:
            status = exc.code
        except BaseException as exc:
            failure = exc
        try:
            utils.wait_for_threads()
        except BaseException as exc:  # an interrupt while waiting
            failure = failure or exc
    finally:
        restore_os_exit()
        restore_exec()
        try:
            if take_exit_save_turn(profiler):
                with utils.std_fds_kept_closed():  # for the exit handlers
                    profiler.disable()
        except Exception as exc:
            save_error = exc
        db.save_observers.remove(observe)
        # sys.argv and sys.path stay as the program left them: its excepthook and exit
        # handlers run after this, as they would without tavo.

    if failure is not None:
        status = 130 if isinstance(failure, KeyboardInterrupt) else 1
        status = _print_uncaught(failure, status)
    if os.getpid() == started_in or settings["children"]:
        status = report_run(status, save_error)
    # else a forked child that was not profiled: it has nothing to report
    restore_log()
    end_exit_save(profiler)
    if isinstance(failure, KeyboardInterrupt):
        utils.end_as_interrupted()
    return status


def _say(text: str, stderr: RunStderr, unlocked: bool = False) -> None:
    """Write one line of the run's to ``stderr``: the stream the run started with and
    the file it wrote to then, nowhere once the program put a file of its own on file
    descriptor 2 (see report)."""
    from tavo.utils import stderr_file, write_to_stderr

    stream, started_with = stderr
    if stderr_file() != started_with:
        return  # closed, or a file of the program's in its place
    if not unlocked and stream is not None:
        try:
            print(text, file=stream, flush=True)
            return
        except (ValueError, OSError):  # closed by the program
            pass
    write_to_stderr(f"{text}\n", started_with)


def _log_to_run(stderr: RunStderr) -> Any:
    """Send tavo's log to the run's stderr until the returned function is called."""
    log = logging.getLogger("tavo")
    handler = _RunLog(stderr)
    log.addHandler(handler)
    propagated, log.propagate = log.propagate, False

    def restore() -> None:
        log.removeHandler(handler)
        log.propagate = propagated

    return restore


class _RunLog(logging.Handler):
    """Sends what tavo logs during a run to the run's stderr, not through the program's
    logging set-up, which may write it into the program's own log file."""

    def __init__(self, stderr: RunStderr) -> None:
        super().__init__()
        self.stderr = stderr

    def emit(self, record: logging.LogRecord) -> None:
        text = record.getMessage()
        _say(text if text.startswith("tavo: ") else f"tavo: {text}", self.stderr)


def report(profiler: Any, db_path: str, saves: list[tuple[Any, BaseException | None]],
           save_error: BaseException | None, status: Any,
           stderr: RunStderr, unlocked: bool = False) -> Any:
    """Print the run's last line (and why nothing was recorded, if so) to the stream
    the run started with and the file it wrote to then (``stderr``; nowhere if the
    program put a file of its own on file descriptor 2); the exit status, not zero
    when the trace was lost. ``unlocked`` writes to the file descriptor, not through
    the stream, whose lock the program may hold (at SIGTERM or SIGHUP, from a thread of
    tavo's), as does a stream the program closed or took away."""

    def say(text: str) -> None:
        _say(text, stderr, unlocked)

    from tavo.profiler import describe_error, no_user_code_hint
    from tavo.stores import StoreError, describe, mask_text

    where = describe(db_path)  # never the password of a URL
    if save_error is not None:
        reason = mask_text(describe_error(save_error), db_path)
        if not isinstance(save_error, StoreError):  # a store's own errors say all this
            reason = f"could not save trace {profiler.trace_id} in {where}: {reason}"
        say(f"tavo: {reason}")
        return status or 1
    summary = saves[-1][0] if saves and saves[-1][0] is not None else {}
    records = summary.get("records")
    line = (f"tavo: saved trace {profiler.trace_id} ({'?' if records is None else records} records)"
            f" in {where}")
    from tavo.profiler import DEFAULT_BUFFER_BUDGET, describe_losses

    budget = profiler.config.get("buffer_budget", DEFAULT_BUFFER_BUDGET)
    lost = describe_losses(profiler.losses, budget, "--buffer-budget")
    if lost:
        line += f"; {lost}"
    say(line)
    if summary.get("user_code") is False:
        say(f"tavo: nothing of the program's own code was recorded: "
            f"{no_user_code_hint('--include FRAGMENT')}")
    return status
