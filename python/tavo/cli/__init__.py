"""tavo's command line: one parser tree, one module per command.

    tavo run [--db PATH|URL] [--include F] [--ignore F] [--no-threading] [--no-children]
             SCRIPT [ARGS...] | -m MODULE [ARGS...]
    tavo traces [--db PATH|URL] [--label PATTERN] [--source SOURCE] [--since WHEN]
                [--outcome OUTCOME] [--function NAME] [--limit N] [--children]
    tavo show TRACE_ID|last [--db PATH|URL] [--json | --summary]
    tavo export TRACE_ID --format {chrome,speedscope,json} [-o FILE] [--db PATH|URL]
    tavo find NAME [--arg KEY=VALUE] [--label PATTERN] [--limit N] [--db PATH|URL] [--json]
    tavo diff A B | --label TEST_ID [--all [--max N]] [--json] [--db PATH|URL]
    tavo view [TRACE_ID] [--db PATH|URL] [--port N] [--no-browser] [--html FILE]
    tavo copy SRC DST [--busy-timeout SECONDS]
    tavo prune [--db PATH|URL] [--older-than DAYS] [--keep N] [--label PATTERN] [--dry-run]
               [--yes] [--busy-timeout SECONDS]
    tavo config [--db PATH|URL] [--include F] [--ignore F] [--no-threading] [--no-children] [--json]
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from tavo.cli import config, copy, diff, export, find, prune, run, show, traces, view
from tavo.cli.common import CommandError, Parser, settings_from
from tavo.version import __version__

# Each command module has add_parser(subparsers), which registers the command and sets
# its handler as the parser's default "handler": a function of the parsed arguments
# that returns the exit status.
COMMANDS = (run, traces, show, view, export, find, diff, copy, prune, config)


def build_parser() -> Parser:
    parser = Parser(prog="tavo", description="A tracing profiler for Python.",
                    epilog="Each command has its own help: tavo run --help, tavo show --help, ...")
    parser.add_argument("--version", action="version", version=f"tavo {__version__}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=Parser,
                                       required=True)
    for command in COMMANDS:
        command.add_parser(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    try:
        if not argv:
            parser.print_help()
            return 2
        args = parser.parse_args(argv)
        if getattr(args, "db_from_settings", False) and args.db is None:
            args.db = settings_from(args)["db"]
        return args.handler(args)
    except CommandError as exc:
        print(f"tavo: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # Output piped into a program that stopped reading (e.g. head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
