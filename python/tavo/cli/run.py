"""``tavo run``: profile a script or module as Python would run it, and save its trace."""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import types
from typing import Any

from tavo import serialize
from tavo.cli.common import CommandError, Parser, add_db_option

USAGE = "tavo run [--db PATH] [--threading] [--values MODE] [--value-budget BYTES] SCRIPT [ARGS...] | -m MODULE [ARGS...]"


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
    add_db_option(parser)
    parser.add_argument("--threading", action="store_true",
                        help="also profile the threads the program starts")
    parser.add_argument("--values", choices=("safe", "repr"), default="safe",
                        help="how objects are recorded: safe (never runs their code, the "
                             "default) or repr (calls repr())")
    parser.add_argument("--value-budget", type=int, metavar="BYTES",
                        default=serialize.DEFAULT_BUDGET,
                        help="most encoded bytes per recorded value; bigger ones are cut "
                             f"(default {serialize.DEFAULT_BUDGET})")
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
    """The exception's traceback without the frames of tavo and runpy, so it
    reads as if the script had been run directly."""
    import tavo.utils

    tavo_files = {__file__, tavo.utils.__file__}
    tb = exc.__traceback__
    while tb is not None and (
        tb.tb_frame.f_code.co_filename in tavo_files
        or tb.tb_frame.f_globals.get("__name__") == "runpy"
    ):
        tb = tb.tb_next
    return tb


def run_command(words: list[str]) -> int:
    import importlib.util
    import runpy

    from tavo import db
    from tavo.profiler import Profiler
    from tavo.utils import run_script_as_main

    options, argv = parse_run_arguments(words)
    module = options.module
    if module is None:
        target = argv[0]
        if not os.path.exists(target):
            raise CommandError(f"can't open file {target!r}: no such file or directory", 2)
        run_argv = argv
        path0 = os.path.dirname(os.path.realpath(target))
    else:
        try:
            found = importlib.util.find_spec(module) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            raise CommandError(f"no module named {module!r}", 2)
        run_argv = [module, *argv]  # runpy replaces argv[0] by the module's file
        path0 = os.getcwd()

    db_path = options.db
    config = {"threading": options.threading, "values": options.values,
              "value_budget": options.value_budget}
    if not serialize.MIN_BUDGET <= options.value_budget <= 0xFFFFFFFF:
        raise CommandError(f"--value-budget must be from {serialize.MIN_BUDGET} to "
                           f"{0xFFFFFFFF} bytes", 2)
    try:
        profiler = Profiler(db_path, config=config, source="cli")
        db.ensure_database(db_path, timeout=profiler.config["sqlite_busy_timeout"])
    except (sqlite3.Error, OSError) as exc:
        raise CommandError(f"cannot write trace database {db_path}: {exc}") from None

    saved_argv, saved_path0 = sys.argv, sys.path[0]
    sys.argv, sys.path[0] = list(run_argv), path0
    status: Any = 0
    failure: BaseException | None = None
    save_error: Exception | None = None
    try:
        profiler.enable()
    except Exception as exc:
        sys.argv, sys.path[0] = saved_argv, saved_path0
        raise CommandError(f"cannot start profiling: {exc}") from None
    try:
        if module is None:
            run_script_as_main(run_argv[0])
        else:
            runpy.run_module(module, run_name="__main__", alter_sys=True)
    except SystemExit as exc:
        status = exc.code
    except BaseException as exc:
        failure = exc
    finally:
        try:
            profiler.disable()
        except Exception as exc:
            save_error = exc
        sys.argv, sys.path[0] = saved_argv, saved_path0

    if failure is not None:
        tb = _trimmed_traceback(failure)
        sys.excepthook(type(failure), failure.with_traceback(tb), tb)
        status = 130 if isinstance(failure, KeyboardInterrupt) else 1
    if save_error is not None:
        print(f"tavo: could not save trace {profiler.trace_id} in {db_path}: {save_error}",
              file=sys.stderr)
        return status or 1
    try:
        records = db.list_traces(profiler.db_path, profiler.trace_id)[-1]["records"]
    except (db.NotATraceDatabase, sqlite3.Error, IndexError):
        records = "?"
    print(f"tavo: saved trace {profiler.trace_id} ({records} records) in {db_path}",
          file=sys.stderr)
    return status
