"""tavo's command line.

    tavo run [--db PATH] [--threading] SCRIPT [ARGS...]
    tavo run [--db PATH] [--threading] -m MODULE [ARGS...]
    tavo traces [--db PATH]
    tavo show TRACE_ID [--db PATH] [--json]
"""

import argparse
import datetime
import json
import math
import os
import reprlib
import sqlite3
import sys

from tavo.profiler import DEFAULT_DB_PATH
from tavo.version import __version__

USAGE = f"""\
usage: tavo run [--db PATH] [--threading] SCRIPT [ARGS...]
       tavo run [--db PATH] [--threading] -m MODULE [ARGS...]
       tavo traces [--db PATH]
       tavo show TRACE_ID [--db PATH] [--json]

  run      profile a script or module and save its trace
           (--db: trace database, default {DEFAULT_DB_PATH};
            --threading: also profile the threads it starts)
  traces   list the stored traces
  show     print a stored trace as a call tree (--json: the whole document)
"""


class CommandError(Exception):
    """A problem to report as one line on stderr, with this exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if not argv or argv[0] in ("-h", "--help", "help"):
            sys.stdout.write(USAGE)
            return 0 if argv else 2
        if argv[0] == "--version":
            print(f"tavo {__version__}")
            return 0
        command, rest = argv[0], argv[1:]
        if command == "run":
            return run_command(rest)
        if command == "traces":
            return traces_command(rest)
        if command == "show":
            return show_command(rest)
        raise CommandError(f"unknown command {command!r} (try: tavo --help)", 2)
    except CommandError as exc:
        print(f"tavo: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # Output piped into a program that stopped reading (e.g. head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


# ---------------------------------------------------------------- run

def _parse_run_args(argv):
    options = {"db": DEFAULT_DB_PATH, "threading": False, "module": None}
    while argv:
        arg = argv[0]
        if arg == "--db" and len(argv) > 1:
            options["db"], argv = argv[1], argv[2:]
        elif arg.startswith("--db="):
            options["db"], argv = arg[len("--db="):], argv[1:]
        elif arg == "--threading":
            options["threading"], argv = True, argv[1:]
        elif arg == "-m" and len(argv) > 1:
            options["module"], argv = argv[1], argv[2:]
            break
        elif arg.startswith("-m") and len(arg) > 2:
            options["module"], argv = arg[2:], argv[1:]
            break
        elif arg in ("-h", "--help"):
            sys.stdout.write(USAGE)
            raise SystemExit(0)
        elif arg == "--":
            argv = argv[1:]
            break
        elif arg.startswith("-"):
            raise CommandError(f"run: unknown or incomplete option {arg!r} (try: tavo --help)", 2)
        else:
            break
    if options["module"] is None and not argv:
        raise CommandError("run: no script given (usage: tavo run [--db PATH] SCRIPT [ARGS...])", 2)
    return options, argv


def _trimmed_traceback(exc):
    """The exception's traceback without the frames of tavo and runpy, so it
    reads as if the script had been run directly."""
    tb = exc.__traceback__
    while tb is not None and (
        tb.tb_frame.f_code.co_filename == __file__
        or tb.tb_frame.f_globals.get("__name__") == "runpy"
    ):
        tb = tb.tb_next
    return tb


def _run_script(path):
    """Run a script file as Python itself would: in a fresh __main__ module,
    with an absolute __file__ and sys.argv left as given."""
    import runpy

    if not os.path.isfile(path):  # a directory or zip file with a __main__.py
        runpy.run_path(path, run_name="__main__")
        return
    import builtins
    import importlib.machinery
    import io
    import types

    path = os.path.abspath(path)
    with io.open_code(path) as file:
        code = compile(file.read(), path, "exec")
    module = types.ModuleType("__main__")
    module.__dict__.update(__file__=path, __builtins__=builtins, __cached__=None, __spec__=None,
                           __loader__=importlib.machinery.SourceFileLoader("__main__", path))
    saved_main = sys.modules["__main__"]
    sys.modules["__main__"] = module
    try:
        exec(code, module.__dict__)
    finally:
        sys.modules["__main__"] = saved_main


def run_command(argv):
    import importlib.util
    import runpy

    from tavo import db
    from tavo.profiler import Profiler

    options, argv = _parse_run_args(argv)
    module = options["module"]
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

    db_path = options["db"]
    config = {"threading": options["threading"]}
    try:
        profiler = Profiler(db_path, config=config, source="cli")
        db.ensure_database(db_path, timeout=profiler.config["sqlite_busy_timeout"])
    except (sqlite3.Error, OSError) as exc:
        raise CommandError(f"cannot write trace database {db_path}: {exc}") from None

    saved_argv, saved_path0 = sys.argv, sys.path[0]
    sys.argv, sys.path[0] = list(run_argv), path0
    status, failure, save_error = 0, None, None
    try:
        profiler.enable()
    except Exception as exc:
        sys.argv, sys.path[0] = saved_argv, saved_path0
        raise CommandError(f"cannot start profiling: {exc}") from None
    try:
        if module is None:
            _run_script(run_argv[0])
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


# ---------------------------------------------------------------- traces / show

def _parser(prog):
    return argparse.ArgumentParser(prog=f"tavo {prog}", exit_on_error=False)


def _parse(parser, argv):
    try:
        return parser.parse_args(argv)
    except argparse.ArgumentError as exc:
        raise CommandError(f"{parser.prog.split()[-1]}: {exc}", 2) from None


def _open_error(exc, db_path):
    from tavo import db

    if isinstance(exc, db.NotATraceDatabase):
        return CommandError(str(exc))
    return CommandError(f"cannot read trace database {db_path}: {exc}")


def _format_time(seconds):
    if not isinstance(seconds, (int, float)):
        return "?"
    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def _format_size(size):
    for unit in ("B", "KiB", "MiB"):
        if size < 1024 or unit == "MiB":
            return f"{size} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024


def traces_command(argv):
    from tavo import db

    parser = _parser("traces")
    parser.add_argument("--db", default=DEFAULT_DB_PATH, help="trace database")
    args = _parse(parser, argv)
    try:
        traces = db.list_traces(args.db)
    except (db.NotATraceDatabase, sqlite3.Error) as exc:
        raise _open_error(exc, args.db) from None
    if not traces:
        print(f"no traces in {args.db}", file=sys.stderr)
        return 0
    rows = [("TRACE ID", "SAVED", "SOURCE", "RECORDS", "SIZE", "LABEL")]
    for t in traces:
        label = t["label"] or ""
        rows.append((t["trace_id"], _format_time(t["saved_at"]), t["source"] or "?",
                     "?" if t["records"] is None else str(t["records"]),
                     _format_size(t["size"]), label if len(label) <= 70 else label[:67] + "..."))
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[5])
    return 0


def show_command(argv):
    from tavo import db

    parser = _parser("show")
    parser.add_argument("trace_id")
    parser.add_argument("--db", default=DEFAULT_DB_PATH, help="trace database")
    parser.add_argument("--json", action="store_true", help="print the decoded document as JSON")
    args = _parse(parser, argv)
    try:
        stored = db.load_traces(args.db, args.trace_id)
    except (db.NotATraceDatabase, sqlite3.Error) as exc:
        raise _open_error(exc, args.db) from None
    if not stored:
        raise CommandError(f"no trace {args.trace_id} in {args.db}")
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")  # recorded text may not fit the terminal
    for index, (summary, blob) in enumerate(stored):
        try:
            document = db.decode_document(blob)
        except Exception as exc:
            raise CommandError(f"trace {args.trace_id} in {args.db} cannot be decoded: {exc}") from None
        if args.json:
            # One document per line.
            print(json.dumps(to_json(document)))
        else:
            if index:
                print()
            for line in render_trace(summary, document):
                print(line)
    return 0


def to_json(value):
    """``value`` with everything JSON cannot hold made printable."""
    if isinstance(value, dict):
        return {k if isinstance(k, str) else _json_key(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)  # bytes, extension types


def _json_key(key):
    return str(key) if isinstance(key, (int, float, bool)) or key is None else repr(key)


_short = reprlib.Repr(maxlevel=2, maxstring=50, maxother=50, maxlist=5, maxtuple=5,
                      maxdict=5, maxset=5, maxlong=40)
_RECORD_KEYS = {"path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
                "thread_native_id", "timestamp", "type", "subtype", "user_code_call_site"}
_MAX_ARGS = 6


def render_trace(summary, document):
    """The lines of a trace document shown as a call tree per thread."""
    if not isinstance(document, dict):
        return [f"trace {summary['trace_id']}: not a trace document"]
    records = summary["records"]
    lines = [
        f"trace {summary['trace_id']}  saved {_format_time(summary['saved_at'])}"
        f"  source {summary['source'] or '?'}  records {'?' if records is None else records}",
    ]
    args = document.get("command_line_args")
    if isinstance(args, list) and args:
        lines.append("command: " + " ".join(str(a) for a in args))
    if document.get("current_commit_sha"):
        lines.append(f"commit: {document['current_commit_sha']}")
    sections = [("main thread" if isinstance(document.get("frames"), dict) and document["frames"]
                 else "records", document.get("frames_of_interest"))]
    if isinstance(document.get("frames"), dict):
        sections += [(f"thread {tid}", recs) for tid, recs in document["frames"].items()]
    for title, recs in sections:
        if not isinstance(recs, list):
            continue
        lines.append(f"{title}:")
        if not recs:
            lines.append("  (no records)")
        for depth, text in _tree(recs):
            lines.append("  " * (depth + 1) + text)
    return lines


def _tree(records):
    depth = 0
    for record in records:
        if not isinstance(record, dict):
            yield depth, _short.repr(record)
            continue
        kind = record.get("type")
        if kind == "frame":
            name = record.get("qualname") or record.get("co_name") or "?"
            event = record.get("event")
            if event == "call":
                yield depth, f"-> {name}({_arguments(record)})  {record.get('path', '')}"
                depth += 1
            elif event == "return":
                depth = max(depth - 1, 0)
                yield depth, f"<- {name} returned {_short.repr(record.get('arg'))}"
            else:
                yield depth, f"{event} {name}  {record.get('path', '')}"
        else:
            label = str(kind) + (f"/{record['subtype']}" if record.get("subtype") else "")
            extra = " ".join(f"{k}={_short.repr(v)}" for k, v in record.items() if k not in _RECORD_KEYS)
            yield depth, f"[{label}] {extra}".rstrip()


def _arguments(record):
    """A call's arguments: its frame locals at call time (none shown for module code)."""
    values = record.get("locals")
    if record.get("co_name") == "<module>" or not isinstance(values, dict):
        return ""
    shown = [f"{name}={_short.repr(value)}" for name, value in list(values.items())[:_MAX_ARGS]]
    if len(values) > _MAX_ARGS:
        shown.append("...")
    return ", ".join(shown)


if __name__ == "__main__":
    sys.exit(main())
