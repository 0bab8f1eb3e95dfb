import sys
import types

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from tavo import serialize

DUMPERS = [serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr]


def _key(key):
    # Tuple keys are encoded as arrays, objects as maps: decode them as tuples.
    if isinstance(key, list):
        return tuple(_key(k) for k in key)
    if isinstance(key, dict):
        return tuple((k, _key(v)) for k, v in key.items())
    return key


def _map(pairs):
    return {_key(k): v for k, v in pairs}


def single_value(data):
    """Decode ``data``, asserting it holds exactly one MessagePack value."""
    assert isinstance(data, bytes)
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, object_pairs_hook=_map)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1, f"expected exactly one value, got {len(values)}"
    return values[0]


# Values msgpack encodes natively come back unchanged (tuples as lists).
plain_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False) | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner, max_size=5),
    max_leaves=30,
)


@pytest.mark.parametrize("dump", DUMPERS)
@settings(deadline=None)  # a loaded machine (or the sanitizers) can slow one example
@given(value=plain_values)
def test_plain_values_round_trip(dump, value):
    assert single_value(dump(value)) == value


class Unreprable:
    def __repr__(self):
        raise RuntimeError("no repr for you")


class Point:
    def __init__(self, x):
        self.x = x

    def __repr__(self):
        return f"Point({self.x})"


def self_referencing_list():
    items = [1]
    items.append(items)
    return items


def self_referencing_dict():
    mapping = {"a": 1}
    mapping["self"] = mapping
    return mapping


def deeply_nested(depth=2000):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def awkward_values():
    frame = sys._getframe()
    return {
        "self-referencing list": self_referencing_list(),
        "self-referencing dict": self_referencing_dict(),
        "repr raises": Unreprable(),
        "int beyond 64 bits": 2**70,
        "negative int beyond 64 bits": -(2**70),
        "int too long for repr": 10**6000,
        "set": {1, 2, 3},
        "frozenset": frozenset({"a"}),
        "frame": frame,
        "frame locals": dict(frame.f_locals),
        "module": sys,
        "function": awkward_values,
        "class": Point,
        "custom object": Point(3),
        "generator": (i for i in range(3)),
        "lone surrogate": "bad \udcff text",
        "tuple and object keys": {(1, 2): "tuple", Point(1): "object", None: "none", 1.5: "float"},
        "nested awkward": [{"s": {1}}, (Unreprable(), 2**80)],
        "deeply nested": deeply_nested(),
        "complex": 1 + 2j,
        "bytearray": bytearray(b"\x00\x01"),
        "memoryview": memoryview(b"abc"),
        "type object": type,
        "namespace": types.SimpleNamespace(a=1),
        "exception": ValueError("boom"),
    }


@pytest.mark.parametrize("dump", DUMPERS)
@pytest.mark.parametrize("name", sorted(awkward_values()))
def test_awkward_values_encode_as_exactly_one_value(dump, name):
    single_value(dump(awkward_values()[name]))


@pytest.mark.parametrize("dump", DUMPERS)
def test_all_awkward_values_together(dump):
    # A frame's locals can hold all of these at once.
    decoded = single_value(dump(awkward_values()))
    assert set(decoded) == set(awkward_values())


@pytest.fixture
def repr_values():
    """Objects described by repr() (the "repr" setting) for the test."""
    previous = serialize.configure("repr")
    yield
    serialize.configure(**previous)


@pytest.mark.usefixtures("repr_values")
@pytest.mark.parametrize("dump", DUMPERS)
def test_fallbacks_describe_the_value(dump):
    assert single_value(dump(self_referencing_list())) == [1, "[...]"]
    assert single_value(dump(self_referencing_dict())) == {"a": 1, "self": "{...}"}
    assert single_value(dump(2**70)) == str(2**70)
    assert single_value(dump({1, 2})) == "{1, 2}"
    assert single_value(dump(Point(3))) == "Point(3)"
    assert single_value(dump([Point(1), {"k": Point(2)}])) == ["Point(1)", {"k": "Point(2)"}]
    failed = single_value(dump(Unreprable()))
    assert "Unreprable" in failed and "repr failed" in failed
    assert single_value(dump(10**6000)).startswith("<int of ")
    assert single_value(dump("bad \udcff text")) == "bad \\udcff text"
    assert single_value(dump({(1, 2): "t", Point(1): "p"})) == {(1, 2): "t", "Point(1)": "p"}


@pytest.mark.usefixtures("repr_values")
def test_lightweight_keeps_reprs_short():
    long_object = Point("x" * 5000)
    light = single_value(serialize.dump_msgpack_lightweight_repr(long_object))
    assert len(light) <= serialize.LIGHTWEIGHT_REPR_LIMIT
    assert light.startswith("Point(xxx") and light.endswith("...")
    full = single_value(serialize.dump_msgpack(Point("x" * 200)))
    assert full == "Point(" + "x" * 200 + ")"
    assert len(single_value(serialize.dump_msgpack(long_object))) <= serialize.REPR_LIMIT


@pytest.mark.usefixtures("repr_values")
def test_keyboard_interrupt_from_repr_is_not_swallowed():
    class Interrupting:
        def __repr__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        serialize.dump_msgpack(Interrupting())
