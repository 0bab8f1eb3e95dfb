"""Naming a stored trace on the command line: its id, a unique prefix of it, or "last"."""

from __future__ import annotations

from tavo.cli.common import CommandError, open_error, store_errors

LAST = "last"


def resolve_trace_id(db_path: str, text: str) -> str:
    """The full id of the trace ``text`` names in the store at ``db_path``: "last" is the
    most recently saved trace; any other text is an id or the start of exactly one."""
    from tavo import db
    from tavo.stores import describe

    try:
        traces = db.list_traces(db_path)
    except store_errors() as exc:
        raise open_error(exc, db_path) from None
    if text == LAST:
        if not traces:
            raise CommandError(f"no traces in {describe(db_path)}")
        return traces[-1]["trace_id"]
    ids = {t["trace_id"] for t in traces}
    if text in ids:
        return text
    candidates = sorted(i for i in ids if i.startswith(text)) if text else []
    if not candidates:
        raise CommandError(f"no trace {text} in {describe(db_path)}")
    if len(candidates) > 1:
        raise CommandError(f"trace id prefix {text!r} matches {len(candidates)} traces in "
                           f"{describe(db_path)} ({candidates[0]}, {candidates[1]}, ...): give more of it")
    return candidates[0]


def add_trace_argument(parser) -> None:
    parser.add_argument("trace_id", metavar="TRACE_ID",
                        help='a trace id, a unique start of one, or "last"')
