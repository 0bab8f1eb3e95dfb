"""Naming a stored trace on the command line: its id, a unique prefix of it, or "last"."""

from __future__ import annotations

from tavo.cli.common import CommandError, open_error, store_errors

LAST = "last"


def resolve_trace_id(db_path: str, text: str) -> str:
    """The full id of the trace ``text`` names in the store at ``db_path``: "last" is the
    most recently saved trace; any other text is an id or the start of exactly one."""
    from tavo.stores import describe, open_store

    try:
        with open_store(db_path) as store:
            ids, count = store.resolve(text) if text else ([], 0)
    except store_errors() as exc:
        raise open_error(exc, db_path) from None
    if text == LAST and not ids:
        raise CommandError(f"no traces in {describe(db_path)}")
    if text == LAST or (ids and ids[0] == text):  # an id comes before the longer ones
        return ids[0]
    if not ids:
        raise CommandError(f"no trace {text} in {describe(db_path)}")
    if len(ids) > 1:
        raise CommandError(f"trace id prefix {text!r} matches {count} traces in "
                           f"{describe(db_path)} ({ids[0]}, {ids[1]}, ...): give more of it")
    return ids[0]


def add_trace_argument(parser) -> None:
    parser.add_argument("trace_id", metavar="TRACE_ID",
                        help='a trace id, a unique start of one, or "last"')
