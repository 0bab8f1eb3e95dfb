"""Workloads shared by the benchmarks: the small user functions every frame of
which tavo records, and the serializer tavo shipped before its native encoder.

This file must not live under a path holding "lib/python" or "site-packages",
or its functions would be filtered out as library code.
"""

import msgpack


def _leaf(a, b):
    return a + b


def _mid(x):
    s = _leaf(x, 1)
    return _leaf(s, 2)


def _previous_default(obj):
    return repr(obj)[:1000]


def previous_dump(obj):
    """The previous serializer's path for data msgpack encodes natively: one
    ``msgpack.packb`` call with a Python ``default``."""
    try:
        return msgpack.packb(obj, default=_previous_default)
    except Exception:  # noqa: BLE001 - its fallback for unencodable values
        return msgpack.packb(repr(obj)[:1000])
