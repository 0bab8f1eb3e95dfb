"""What every command shares: its one-line errors, its parser class, the --db option
and the options that say what to record."""

from __future__ import annotations

import argparse
from typing import NoReturn

from tavo import config


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


# The largest count a store's integer columns (and SQLite's LIMIT) take.
LARGEST_COUNT = 2**63 - 1


def count_option(text: str, smallest: int) -> int:
    """An option's whole number from ``smallest`` to LARGEST_COUNT."""
    try:
        value = int(text)
    except ValueError:
        value = smallest - 1
    if not smallest <= value <= LARGEST_COUNT:
        raise argparse.ArgumentTypeError(
            f"not a whole number from {smallest} to {LARGEST_COUNT}: {text!r}")
    return value


def whole_number(text: str) -> int:
    """An option's whole number, 0 or more (and small enough for a store)."""
    return count_option(text, 0)


def positive_int(text: str) -> int:
    """An option's whole number, 1 or more (and small enough for a store)."""
    return count_option(text, 1)


def path_fragment(text: str) -> str:
    """An option's non-empty path fragment (an empty one would match every file)."""
    if not text:
        raise ValueError(text)
    return text


def add_db_option(parser: argparse.ArgumentParser) -> None:
    """--db for a command that reads the store; when not given, main() takes it from
    the settings (environment, pyproject.toml, default)."""
    _add_db_argument(parser)
    parser.set_defaults(db_from_settings=True)


def _add_db_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", default=None, metavar="PATH|URL",
                        help="trace store: a SQLite file, or postgresql://user@host:port/dbname "
                             f"(default: TAVO_DB, db in [tool.tavo] of pyproject.toml, "
                             f"or {config.DEFAULT_DB})")


def add_busy_timeout_option(parser: argparse.ArgumentParser, waits: str) -> None:
    """--busy-timeout, whose value every command takes from the same settings."""
    parser.add_argument("--busy-timeout", type=seconds, default=None, metavar="SECONDS",
                        help=f"how long {waits} waits for a lock another writer holds (default: "
                             "TAVO_BUSY_TIMEOUT, busy-timeout in [tool.tavo], or 60)")


def add_record_options(parser: argparse.ArgumentParser) -> None:
    """--db and the options that say what to record; each overrides the environment
    and pyproject.toml."""
    _add_db_argument(parser)
    parser.add_argument("--include", action="append", metavar="FRAGMENT",
                        help="record files whose path contains FRAGMENT, even library code "
                             "(repeatable)")
    parser.add_argument("--ignore", action="append", metavar="FRAGMENT",
                        help="never record files whose path contains FRAGMENT (repeatable)")
    parser.add_argument("--threading", action=argparse.BooleanOptionalAction, default=None,
                        help="also record the threads the program starts (default: on)")
    parser.add_argument("--no-children", dest="children", action="store_const", const=False,
                        default=None,
                        help="do not record the Python processes the program starts")
    parser.add_argument("--values", choices=("safe", "repr"), default=None,
                        help="how objects are recorded: safe (never runs their code, the "
                             "default) or repr (calls repr())")
    parser.add_argument("--value-budget", type=int, default=None, metavar="BYTES",
                        help="most encoded bytes per recorded value; bigger ones are cut "
                             "(default 65536)")
    parser.add_argument("--buffer-budget", type=_buffer_budget, default=None, metavar="BYTES",
                        help="most bytes one trace's records may take in memory (K, M, G: "
                             "1024-based; default 256M); near it values are shortened, at it "
                             "records dropped")
    parser.add_argument("--engine", choices=config.ENGINES, default=None,
                        help="where events come from: monitoring (sys.monitoring; library code "
                             "runs at about full speed, the default) or profile (the profile "
                             "function)")


def _buffer_budget(text: str) -> int:
    try:
        return config.parse_buffer_budget(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def settings_from(args: argparse.Namespace) -> config.Settings:
    """The effective settings, with the command line's options (those this
    command has) first."""
    cached = vars(args).get("_settings")
    if cached is not None:  # read once per command, so a warning is given once
        return cached
    options = {name: getattr(args, name.replace("-", "_"), None)
               for name in ("db", "include", "ignore", "threading", "children", "busy-timeout",
                             "values", "value-budget", "buffer-budget", "engine")}
    try:
        settings = config.load(options)
    except config.ConfigError as exc:
        raise CommandError(str(exc), 2) from None
    args._settings = settings
    return settings


def store_errors() -> tuple[type[Exception], ...]:
    """What reading or writing a store of either kind raises, each told in one line."""
    import sqlite3

    from tavo.stores import StoreError
    from tavo.stores.codec import StoredDocumentError

    return (StoreError, sqlite3.Error, OSError, StoredDocumentError)


def open_error(exc: Exception, db_path: str, doing: str = "read") -> CommandError:
    """The one-line error for a database that cannot be read (or written)."""
    from tavo.stores import StoreError, describe, mask_text

    if isinstance(exc, StoreError):
        return CommandError(str(exc))  # these name the store already
    return CommandError(f"cannot {doing} trace database {describe(db_path)}: "
                        f"{mask_text(str(exc), db_path)}")
