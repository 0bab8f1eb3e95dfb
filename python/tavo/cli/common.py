"""What every command shares: its one-line errors, its parser class and the --db option."""

from __future__ import annotations

import argparse
from typing import NoReturn

from tavo.profiler import DEFAULT_DB_PATH


class CommandError(Exception):
    """A problem to report as one line on stderr, with this exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors become one-line CommandErrors (status 2)."""

    def error(self, message: str) -> NoReturn:
        command = self.prog.split()[-1]
        prefix = "" if command == "tavo" else f"{command}: "
        raise CommandError(f"{prefix}{message} (try: {self.prog} --help)", 2)


def seconds(text: str) -> int:
    """An option's whole, non-negative number of seconds."""
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def path_fragment(text: str) -> str:
    """An option's non-empty path fragment (an empty one would match every file)."""
    if not text:
        raise ValueError(text)
    return text


def add_db_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", default=DEFAULT_DB_PATH, metavar="PATH",
                        help=f"trace database (default: {DEFAULT_DB_PATH})")


def open_error(exc: Exception, db_path: str) -> CommandError:
    """The one-line error for a database that cannot be read."""
    from tavo import db

    if isinstance(exc, db.NotATraceDatabase):
        return CommandError(str(exc))
    return CommandError(f"cannot read trace database {db_path}: {exc}")
