"""``tavo config``: the effective settings and where each one came from."""

from __future__ import annotations

import argparse
import json
from typing import Any

from tavo.cli.common import add_record_options, settings_from


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "config", help="print the effective settings and where each came from",
        description="Print the effective settings: each from the command line, the environment "
                    "(TAVO_DB, TAVO_INCLUDE, ...), [tool.tavo] in pyproject.toml (searched from "
                    "the working directory upwards) or the default, in that order.")
    add_record_options(parser)
    parser.add_argument("--json", action="store_true", help="print the settings as JSON")
    parser.set_defaults(handler=config_command)


def _shown(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return ", ".join(value) if value else "(none)"
    return str(value)


def config_command(args: argparse.Namespace) -> int:
    from tavo.stores import describe

    settings = settings_from(args)
    values = {**settings.values, "db": describe(settings.values["db"])}  # no password shown
    if args.json:
        print(json.dumps({"settings": values, "sources": settings.sources,
                          "pyproject": None if settings.pyproject is None
                          else str(settings.pyproject)}))
        return 0
    if settings.pyproject is None:
        print("no pyproject.toml in this folder or its parents")
    else:
        print(f"pyproject: {settings.pyproject}")
    rows = [(name, _shown(value), settings.sources[name]) for name, value in values.items()]
    widths = [max(len(row[i]) for row in rows) for i in range(2)]
    for name, value, source in rows:
        print(f"{name.ljust(widths[0])}  {value.ljust(widths[1])}  {source}")
    return 0

