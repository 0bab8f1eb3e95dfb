"""Encode recorded values (arguments, return values, frame locals) as MessagePack.

Each function returns bytes holding exactly one MessagePack value and never
raises for ordinary objects: whatever msgpack cannot encode natively is stored
as a short text description (its repr, truncated).
"""

import msgpack

# Longest description kept for an object msgpack cannot encode.
REPR_LIMIT = 1000
LIGHTWEIGHT_REPR_LIMIT = 80
# Containers nested deeper than this are described instead of walked.
MAX_DEPTH = 32

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1


def _truncate(text, limit):
    if len(text) > limit:
        return text[: limit - 3] + "..."
    return text


def describe(obj, limit=REPR_LIMIT):
    """A short text description of ``obj``: its repr, or a placeholder naming
    its type when repr fails."""
    if isinstance(obj, int) and obj.bit_length() > 4000:
        # repr refuses ints this long (and would take quadratic time).
        return f"<int of {obj.bit_length()} bits>"
    try:
        text = repr(obj)
        if not isinstance(text, str):
            raise TypeError("repr did not return str")
    except Exception as exc:
        cls = type(obj)
        text = (
            f"<{getattr(cls, '__module__', '?')}.{getattr(cls, '__qualname__', '?')} "
            f"object (repr failed: {type(exc).__name__})>"
        )
    return _truncate(text, limit)


def _default_full(obj):
    return describe(obj, REPR_LIMIT)


def _default_lightweight(obj):
    return describe(obj, LIGHTWEIGHT_REPR_LIMIT)


def _sanitize(obj, limit, depth, active):
    """A copy of ``obj`` that msgpack can always encode: used when the fast path
    fails (self-referencing or very deep containers, unencodable strings...)."""
    if obj is None or isinstance(obj, (bool, float)):
        return obj
    if isinstance(obj, int):
        return obj if _INT_MIN <= obj <= _INT_MAX else describe(obj, limit)
    if isinstance(obj, str):
        try:
            obj.encode("utf-8")
            return obj
        except UnicodeEncodeError:
            return obj.encode("utf-8", "backslashreplace").decode("utf-8")
    if isinstance(obj, (bytes, bytearray)):
        return bytes(obj)
    if isinstance(obj, (list, tuple, dict)):
        if id(obj) in active:
            return "{...}" if isinstance(obj, dict) else "[...]"
        if depth >= MAX_DEPTH:
            return describe(obj, limit)
        active.add(id(obj))
        try:
            if isinstance(obj, dict):
                return {
                    _sanitize_key(key, limit): _sanitize(value, limit, depth + 1, active)
                    for key, value in obj.items()
                }
            return [_sanitize(item, limit, depth + 1, active) for item in obj]
        finally:
            active.discard(id(obj))
    return describe(obj, limit)


def _sanitize_key(key, limit):
    if key is None or isinstance(key, (bool, float, int, str, bytes)):
        return _sanitize(key, limit, 0, set())
    return describe(key, limit)


def _dump(obj, default, limit):
    try:
        return msgpack.packb(obj, default=default)
    except Exception:
        pass
    try:
        return msgpack.packb(_sanitize(obj, limit, 0, set()), default=default)
    except Exception:
        return msgpack.packb(describe(obj, limit))


def dump_msgpack(obj):
    """Encode ``obj``; reprs of unencodable objects are kept up to REPR_LIMIT characters."""
    return _dump(obj, _default_full, REPR_LIMIT)


def dump_msgpack_lightweight_repr(obj):
    """Like dump_msgpack, but reprs are cut to LIGHTWEIGHT_REPR_LIMIT characters."""
    return _dump(obj, _default_lightweight, LIGHTWEIGHT_REPR_LIMIT)
