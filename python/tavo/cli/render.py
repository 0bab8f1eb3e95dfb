"""How stored traces are shown on a terminal: times, sizes, JSON and call trees."""

from __future__ import annotations

import datetime
import math
import reprlib
from collections.abc import Iterator
from typing import Any


def printable(text: str) -> str:
    """``text`` with every character that is not printable escaped as repr
    escapes it, so that stored text cannot drive the terminal (escape
    sequences, carriage returns, direction overrides)."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)


def format_time(seconds: object) -> str:
    """A save time as local date and time; ValueError if it is out of range."""
    if not isinstance(seconds, (int, float)):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError) as exc:
        raise ValueError(f"save time {seconds!r} is out of range") from exc


def format_size(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


def format_duration(seconds: float | None) -> str:
    if seconds is None:
        return "?"
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3f} ms"
    return f"{seconds * 1e6:.1f} µs"


def to_json(value: Any) -> Any:
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


def _json_key(key: object) -> str:
    return str(key) if isinstance(key, (int, float, bool)) or key is None else repr(key)


# Types whose recorded "value" text is how a person reads them, shown bare.
_AS_TEXT = {"datetime.datetime", "datetime.date", "datetime.time"}
# Types whose recorded "value" text is what their constructor takes.
_FROM_TEXT = {"datetime.timedelta", "datetime.timezone", "decimal.Decimal", "uuid.UUID"}


class ValueRepr(reprlib.Repr):
    """reprlib's short forms, with the descriptions of recorded objects (maps
    whose "__type__" names the type) written as a person would write the
    object: ``Decimal('1.10')``, ``deque([1, 2])``, ``Color.RED``, the ISO
    text of a date."""

    def repr_dict(self, x: dict[Any, Any], level: int) -> str:
        kind = x.get("__type__")
        if not isinstance(kind, str):
            return super().repr_dict(x, level)
        text = self._readable(kind, {k: v for k, v in x.items() if k != "__type__"}, level)
        return text if text is not None else super().repr_dict(x, level)

    def _call(self, name: str, args: list[Any], named: dict[Any, Any], level: int) -> str:
        parts = [self.repr1(arg, level - 1) for arg in args]
        parts += [f"{key}={self.repr1(value, level - 1)}" for key, value in named.items()]
        return f"{name}({', '.join(parts)})"

    def _readable(self, kind: str, fields: dict[Any, Any], level: int) -> str | None:
        name = kind.rpartition(".")[2]
        value = fields.get("value")
        if kind in _AS_TEXT and isinstance(value, str) and set(fields) <= {"value", "tzinfo"}:
            return value if "tzinfo" not in fields else self._call(name, [value], fields, level)
        if kind in _FROM_TEXT and isinstance(value, str) and len(fields) == 1:
            return self._call(name, [value], {}, level)
        if set(fields) == {"member", "value"}:
            return f"{name}.{fields['member']}"  # an enum member
        described = {"builtins.type": "class", "builtins.function": "function",
                     "builtins.builtin_function_or_method": "built-in function",
                     "builtins.module": "module"}.get(kind)
        if described is not None and set(fields) == {"name"}:
            return f"<{described} {fields['name']}>"
        if kind == "fractions.Fraction" and set(fields) == {"numerator", "denominator"}:
            return self._call(name, [fields["numerator"], fields["denominator"]], {}, level)
        if kind.startswith("pathlib.") and set(fields) == {"value"}:
            return self._call(name, [value], {}, level)
        if kind == "collections.defaultdict" and "items" in fields:
            rest = {k: v for k, v in fields.items() if k not in ("items", "default_factory")}
            factory = fields.get("default_factory")
            shown = factory.get("name", "?").rpartition(".")[2] if isinstance(factory, dict) \
                else factory
            return self._call(name, [_Bare(shown), fields["items"]], rest, level)
        if kind == "array.array" and set(fields) == {"typecode", "items"}:
            return self._call(name, [fields["typecode"], fields["items"]], {}, level)
        if kind in ("builtins.range", "builtins.slice") and set(fields) == {"start", "stop", "step"}:
            args = [fields["start"], fields["stop"], fields["step"]]
            if kind == "builtins.range" and args[2] == 1:
                args = args[:2]
            return self._call(name, args, {}, level)
        if kind == "re.Pattern" and set(fields) == {"pattern", "flags"}:
            return self._call("re.compile", [fields["pattern"]], {}, level)
        if kind in ("builtins.generator", "builtins.coroutine", "builtins.async_generator"):
            line = f" suspended at line {fields['line']}" if "line" in fields else ""
            return f"<{name} {fields.get('function', '?')}{line}>"
        if kind == "builtins.memoryview":
            return self._call(name, [fields.get("bytes", b"")], {k: v for k, v in fields.items()
                                                                 if k != "bytes"}, level)
        if kind in ("collections.deque", "collections.OrderedDict", "collections.Counter") \
                and "items" in fields:
            rest = {k: v for k, v in fields.items() if k != "items"}
            return self._call(name, [fields["items"]], rest, level)
        # Any other object as its constructor call would be written: an
        # exception's arguments, then its attributes by name.
        args = fields.pop("args", [])
        if isinstance(args, list) and all(isinstance(k, str) and k.isidentifier() for k in fields):
            return self._call(name, args, fields, level)
        return None


class _Bare:
    """A name shown as it is, not quoted."""

    def __init__(self, text: Any) -> None:
        self.text = str(text)

    def __repr__(self) -> str:
        return self.text


_short = ValueRepr(maxlevel=2, maxstring=50, maxother=50, maxlist=5, maxtuple=5,
                   maxdict=5, maxset=5, maxlong=40)


def value_text(value: Any) -> str:
    """A recorded value as `show` and `find` print it, in full."""
    return ValueRepr(maxlevel=100, maxstring=1 << 20, maxother=1 << 20, maxlist=1 << 20,
                     maxtuple=1 << 20, maxdict=1 << 20, maxset=1 << 20, maxlong=1 << 20).repr(value)
_RECORD_KEYS = {"path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
                "thread_native_id", "timestamp", "type", "subtype", "user_code_call_site"}
_MAX_ARGS = 6


def render_trace(summary: dict[str, Any], document: Any) -> list[str]:
    """The lines of a trace document shown as a call tree per thread."""
    if not isinstance(document, dict):
        return [f"trace {summary['trace_id']}: not a trace document"]
    records = summary["records"]
    lines = [
        f"trace {summary['trace_id']}  saved {format_time(summary['saved_at'])}"
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


def _tree(records: list[Any]) -> Iterator[tuple[int, str]]:
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


def _arguments(record: dict[str, Any]) -> str:
    """A call's arguments: its frame locals at call time (none shown for module code)."""
    values = record.get("locals")
    if record.get("co_name") == "<module>" or not isinstance(values, dict):
        return ""
    shown = [f"{name}={_short.repr(value)}" for name, value in list(values.items())[:_MAX_ARGS]]
    if len(values) > _MAX_ARGS:
        shown.append("...")
    return ", ".join(shown)
