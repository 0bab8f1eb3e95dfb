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
    parser.add_argument("--db", default=DEFAULT_DB_PATH, metavar="PATH|URL",
                        help="trace store: a SQLite file, or postgresql://user@host:port/dbname "
                             f"(default: {DEFAULT_DB_PATH})")


def store_errors() -> tuple[type[Exception], ...]:
    """What reading or writing a store of either kind raises, each told in one line."""
    import sqlite3

    from tavo import db
    from tavo.stores import StoreError

    return (db.NotATraceDatabase, StoreError, sqlite3.Error, OSError)


def open_error(exc: Exception, db_path: str, doing: str = "read") -> CommandError:
    """The one-line error for a database that cannot be read (or written)."""
    from tavo import db
    from tavo.stores import StoreError, describe, mask_text

    if isinstance(exc, (db.NotATraceDatabase, StoreError)):
        return CommandError(str(exc))  # these name the store already
    return CommandError(f"cannot {doing} trace database {describe(db_path)}: "
                        f"{mask_text(str(exc), db_path)}")
