"""tavo's command line: one parser tree, one module per command.

    tavo run [--db PATH] [--threading] SCRIPT [ARGS...] | -m MODULE [ARGS...]
    tavo traces [--db PATH]
    tavo show TRACE_ID|last [--db PATH] [--json | --summary]
    tavo export TRACE_ID --format {chrome,speedscope,json} [-o FILE] [--db PATH]
    tavo find NAME [--arg KEY=VALUE] [--label PATTERN] [--db PATH] [--json]
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from tavo.cli import export, find, run, show, traces
from tavo.cli.common import CommandError, Parser
from tavo.version import __version__

# Each command module has add_parser(subparsers), which registers the command and sets
# its handler as the parser's default "handler": a function of the parsed arguments
# that returns the exit status.
COMMANDS = (run, traces, show, export, find)


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
        return args.handler(args)
    except CommandError as exc:
        print(f"tavo: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # Output piped into a program that stopped reading (e.g. head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
