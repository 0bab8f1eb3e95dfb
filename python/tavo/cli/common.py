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


def add_db_option(parser: argparse.ArgumentParser) -> None:
    """--db for a command that reads the store; when not given, main() takes it from
    the settings (environment, pyproject.toml, default)."""
    _add_db_argument(parser)
    parser.set_defaults(db_from_settings=True)


def _add_db_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", default=None, metavar="PATH",
                        help=f"trace database (default: TAVO_DB, db in [tool.tavo] of "
                             f"pyproject.toml, or {config.DEFAULT_DB})")


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


def settings_from(args: argparse.Namespace) -> config.Settings:
    """The effective settings, with the command line's options (those this
    command has) first."""
    options = {name: getattr(args, name.replace("-", "_"), None)
               for name in ("db", "include", "ignore", "threading", "children")}
    try:
        return config.load(options)
    except config.ConfigError as exc:
        raise CommandError(str(exc), 2) from None


def open_error(exc: Exception, db_path: str) -> CommandError:
    """The one-line error for a database that cannot be read."""
    from tavo import db

    if isinstance(exc, db.NotATraceDatabase):
        return CommandError(str(exc))
    return CommandError(f"cannot read trace database {db_path}: {exc}")
