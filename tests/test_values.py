"""Recorded values: the native encoder against its Python reference, and one test
per rule (no code of the program runs, the budget, the repr setting, a
replaced serializer, one bad value among the locals)."""

import functools
import os
import subprocess
import sys
import tracemalloc

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import tavo
from tavo import _tavo, db, serialize
from tests.conftest import records_of


def decode_one(data):
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, use_list=False)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1
    return values[0]


class Plain:
    def __init__(self, value):
        self.value = value


class Slotted:
    __slots__ = ("left", "right")


def slotted(value):
    obj = Slotted()
    obj.left = value
    return obj


scalars = (st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats()
           | st.text(max_size=300) | st.binary(max_size=300)
           | st.sampled_from([2**5000, "lone \udcff", 1 + 2j, len, Plain, tavo, bytearray(b"ab")]))
plain = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False)
    | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(), inner, max_size=6),
    max_leaves=40)
anything = st.recursive(
    scalars,
    lambda inner: (st.lists(inner, max_size=8) | st.tuples(inner, inner)
                   | st.dictionaries(st.text(max_size=40) | st.integers(), inner, max_size=8)
                   | st.frozensets(st.integers(), max_size=4) | inner.map(Plain)
                   | inner.map(slotted) | inner.map(lambda v: ValueError(v, 1))),
    max_leaves=60)


@settings(max_examples=300, deadline=None)
@given(value=anything, lightweight=st.booleans(), mode=st.sampled_from(serialize.VALUE_MODES),
       budget=st.sampled_from([64, 150, 700, 4096, serialize.DEFAULT_BUDGET]), same=plain)
def test_native_encoder_matches_the_reference(value, lightweight, mode, budget, same):
    native = _tavo.dump_msgpack_lightweight_repr if lightweight else _tavo.dump_msgpack
    previous = serialize.configure(mode, budget)
    try:
        encoded = native(value)
        assert encoded == serialize.reference_dump(value, lightweight, mode, budget)
        assert len(encoded) <= budget
        decode_one(encoded)
        # Plain data that fits is encoded exactly as msgpack encodes it.
        serialize.configure(mode, serialize.DEFAULT_BUDGET)
        expected = msgpack.packb(same)
        if len(expected) <= serialize.DEFAULT_BUDGET:
            assert native(same) == expected
    finally:
        serialize.configure(**previous)


def _self_containing():
    items = [1, "a"]
    items.append(items)
    table = {"items": items}
    items.append(table)
    return [items, (table, items)]


def _nested(depth, make):
    value = 0
    for _ in range(depth):
        value = make(value)
    return value


def _shared():
    part = [1, 2.5, "x"]
    return [part, part, {"again": part, "n": None}]


def _dicts_with_holes():
    by_text = {f"k{i}": [i, f"v{i}"] for i in range(40)}
    by_number = {i: {"n": i} for i in range(40)}
    for i in range(0, 40, 3):
        del by_text[f"k{i}"], by_number[i]
    by_text["late"] = by_number[1] = 0  # after the deleted entries
    return [by_text, by_number, vars(Plain(Plain(2))), {(1, 2): b"x", 2.5: None}]


class _Point:
    def __init__(self):
        self.x, self.y = 1, 2


class _PointWithSlot(_Point):
    __slots__ = ("s",)


def _attributes_in_other_orders():
    first, second, third, slotted = _Point(), _Point(), _Point(), _PointWithSlot()
    del second.x
    second.x = 5  # now after y: not in the order of the class's keys
    third.z = 3
    del third.y
    slotted.s = 6
    return [first, second, third, slotted]


# Shapes the generated values do not reach: cycles, a container met twice
# without a cycle, the depth limit, long runs of small items and containers
# just over the sizes the encoder writes in one go.
SHAPES = {
    "cycles": _self_containing,
    "shared": _shared,
    "deep lists": lambda: _nested(1001, lambda v: [v, 1]),
    "deep dicts": lambda: _nested(1001, lambda v: {"k": v}),
    "long list": lambda: [[i, float(i), f"s{i}", None, i % 2 == 0] for i in range(300)],
    # Dicts as they are stored after deletions, with keys of any type, and
    # an instance's dict that shares its keys with its class.
    "dicts with holes": _dicts_with_holes,
    "sixteen": lambda: [list(range(16)), dict.fromkeys(range(16)), tuple("abcdefghijklmnop")],
    # Cut at each depth from what was written: headers that shrink, texts and
    # bytes written whole or not reached, keys too long for any room.
    "cut deep inside": lambda: _nested(40, lambda v: {"pad": "p" * 50, "items": [
        b"b" * 90, v, "\u00e9t\u00e9" * 30, Plain(list(range(200)))]}),
    "shrinking headers": lambda: [list(range(300)), dict.fromkeys(range(300), "v" * 20),
                                  tuple(["x" * 40] * 70000)],
    # Runs of one-byte ints (skipped a word at a time) broken by wider ones.
    "one-byte int runs": lambda: [[7, -1, -33, 200, 0] * 12, list(range(-32, 128)) * 4,
                                  tuple(range(-32, 0)) * 30, dict.fromkeys(range(100), -1),
                                  [-1, 300] * 400],
    # Instances' attributes read where the interpreter keeps them, in the
    # order their __dict__ lists them (the reference reads __dict__ after).
    "attributes in other orders": _attributes_in_other_orders,
    "long leaves": lambda: [{"k" * 40: "\u00e9" * 40000}, [b"\x00" * 70000], ["a" * 100000]],
    "long keys": lambda: [{("t" * 70000,): 1, "a": 2}, {"k" * 70000: 1}, {1: {2: "v" * 70000}}],
    # A map over its room shares it among the entries from the first that does
    # not fit; a map given a share shares it in turn, a list's items do not.
    "shared room": lambda: {"deep": Plain({"items": list(range(400)), "name": "n" * 90, "n": 1}),
                            "list": [{"x": "y" * 300}, 2], "small": 3, "text": "t" * 900},
}


@pytest.mark.parametrize("budget", [64, 700, serialize.DEFAULT_BUDGET])
@pytest.mark.parametrize("shape", list(SHAPES))
def test_native_encoder_matches_the_reference_on_shapes(shape, budget):
    value = SHAPES[shape]()
    previous = serialize.configure("safe", budget)
    try:
        assert _tavo.dump_msgpack(value) == serialize.reference_dump(value, budget=budget)
    finally:
        serialize.configure(**previous)


class _WithDict:
    pass


class _OwnDict:
    __dict__ = property(lambda self: {"hidden": 1})


class _SlotBase:
    __slots__ = ("a", "b")


class _SlotChild(_SlotBase):
    __slots__ = ("c",)


def _bases_changed():
    class Moves(_WithDict):
        pass
    obj = Moves()
    obj.x = 1
    return obj, lambda: setattr(Moves, "__bases__", (_OwnDict,))


def _slots_changed():
    obj = _SlotChild()
    obj.a, obj.c = 1, 3

    def change():
        del obj.a
        obj.b = 2
    return obj, change


@pytest.mark.parametrize("case", [_bases_changed, _slots_changed])
def test_an_object_is_described_as_it_is_after_it_or_its_class_changes(case):
    obj, change = case()
    before = _tavo.dump_msgpack(obj)
    assert before == serialize.reference_dump(obj)
    change()
    after = _tavo.dump_msgpack(obj)
    assert after == serialize.reference_dump(obj) != before


def test_describing_objects_does_not_make_their_dicts():
    objects = [Plain([i]) for i in range(200)]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for obj in objects:
            _tavo.dump_msgpack(obj)
        assert tracemalloc.get_traced_memory()[0] - before < 1000  # a made dict each: 12 KB
    finally:
        tracemalloc.stop()


def _counting(name):
    def method(self, *args):
        Counted.calls += 1
        if name == "__getattribute__":
            return object.__getattribute__(self, *args)
        return NotImplemented
    return method


class Counted:
    """Counts every call of its special methods and properties."""

    calls = 0
    __slots__ = ("a", "__dict__")

    def __init__(self):
        self.a = 1
        self.b = [2]

    @property
    def prop(self):
        Counted.calls += 1
        return 0

    @property
    def __class__(self):
        Counted.calls += 1
        return Counted


for _name in ("__repr__", "__str__", "__eq__", "__hash__", "__len__", "__iter__", "__getattr__",
              "__getattribute__", "__bool__", "__format__", "__sizeof__", "__reduce__",
              "__reduce_ex__", "__getstate__", "__dir__", "__getitem__", "__index__"):
    setattr(Counted, _name, _counting(_name))


class CountedDict(dict):
    def items(self):
        Counted.calls += 1
        return super().items()

    __iter__ = _counting("__iter__")
    __len__ = _counting("__len__")
    __getitem__ = _counting("__getitem__")


def recorded_locals(config, work):
    with tavo.profile(db_path=None, config=config) as profiler:
        work()
    return records_of(profiler.trace, co_name=work.__name__)


def test_recording_runs_no_code_of_the_objects():
    def holds_counted():
        counted = Counted()
        mapping = CountedDict(x=counted)
        return [counted, mapping]

    records = recorded_locals({}, holds_counted)
    assert Counted.calls == 0
    returned = records[-1]
    assert returned["locals"]["counted"] == {"__type__": f"{__name__}.Counted", "a": 1, "b": [2]}
    assert returned["arg"][1] == {"__type__": f"{__name__}.CountedDict",
                                  "items": {"x": returned["locals"]["counted"]}}


def test_repr_setting_calls_repr():
    def holds_plain():
        point = Plain(3)
        return point

    Plain.__repr__ = lambda self: f"Plain({self.value})"
    try:
        records = recorded_locals({"values": "repr"}, holds_plain)
    finally:
        del Plain.__repr__
    assert records[-1]["arg"] == "Plain(3)"


def test_value_over_the_budget_is_cut():
    def holds_big():
        sieve = bytearray(500_000)
        words = ["word"] * 100_000
        text = "é" * 100_000
        return {"sieve": sieve, "words": words, "text": text}

    records = recorded_locals({"value_budget": 4096}, holds_big)
    returned = records[-1]
    for value in (returned["arg"], returned["locals"]):
        assert len(msgpack.packb(value)) <= 4096
    sieve = returned["locals"]["sieve"]
    assert sieve[1] == f"<{500_000 - len(sieve[0])} more bytes>"
    # Each entry of a map at the top gets its share: the first does not hide the others.
    arg = returned["arg"]
    assert list(arg) == ["sieve", "words", "text"]
    assert arg["words"][-1].endswith(" more items>") and arg["text"].endswith(" more characters>")
    assert all(len(msgpack.packb(entry)) < 4096 // 2 for entry in arg.values())
    text = serialize.dump_msgpack(["é" * 100_000])
    assert len(text) <= serialize.DEFAULT_BUDGET and "more characters>" in decode_one(text)[0]


def test_a_key_over_the_room_left_leaves_its_entry_out_unwritten():
    # Written whole, this key would take 20 GB: it is written no further than the room left.
    key = ("x" * 1_000_000,) * 20_000
    previous = serialize.configure("safe", 4096)
    try:
        encoded = _tavo.dump_msgpack({"a": "y" * 5000, key: 1})
    finally:
        serialize.configure(**previous)
    value = msgpack.unpackb(encoded, strict_map_key=False)
    assert list(value) == ["a", "<1 more entries>"] and value["a"].endswith(" more characters>")


class Lazy:
    @property
    def __class__(self):
        raise RuntimeError("not loaded")


def test_one_bad_value_keeps_the_other_locals():
    def holds_lazy():
        lazy = Lazy()
        number = 7
        return number

    for config in ({}, {"values": "repr"}):
        returned = recorded_locals(config, holds_lazy)[-1]
        assert returned["locals"]["number"] == 7
        assert set(returned["locals"]) == {"lazy", "number"}


def test_replaced_serializer_is_called(monkeypatch):
    calls = []

    def replacement(value):
        calls.append(value)
        return msgpack.packb("replaced")

    monkeypatch.setattr(serialize, "dump_msgpack", replacement)

    def small():
        return 5

    records = recorded_locals({}, small)
    assert 5 in calls
    assert records[-1]["arg"] == "replaced"


@pytest.mark.parametrize("config, message", [
    ({"values": "everything"}, '"safe" or "repr"'),
    ({"value_budget": 10}, "value_budget"),
    ({"value_budget": "64k"}, "value_budget"),
])
def test_bad_value_settings_are_refused(config, message):
    with pytest.raises(TypeError, match=message):
        tavo.Profiler(None, config=config)


PROGRAM = """\
class Shown:
    def __repr__(self):
        return "Shown()"


def holds(shown, text):
    return len(text)


def test_holds():
    holds(Shown(), "x" * 5000)


if __name__ == "__main__":
    test_holds()
"""


@pytest.mark.parametrize("command", [
    ["-m", "tavo", "run", "--db", "t.sqlite3", "--values", "repr", "--value-budget", "200",
     "prog.py"],
    ["-m", "pytest", "-p", "no:cacheprovider", "--tavo", "--tavo-db", "t.sqlite3",
     "--tavo-values", "repr", "--tavo-value-budget", "200", "prog.py"],
])
def test_command_line_options_reach_the_encoder(tmp_path, command):
    (tmp_path / "prog.py").write_text(PROGRAM)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    result = subprocess.run([sys.executable, *command], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    [trace] = db.list_traces(tmp_path / "t.sqlite3")
    [(_, blob)] = db.load_traces(tmp_path / "t.sqlite3", trace["trace_id"])
    [call] = [r for r in records_of(db.decode_document(blob), co_name="holds")
              if r["event"] == "call"]
    assert call["locals"]["shown"] == "Shown()"
    assert call["locals"]["text"].endswith(" more characters>")
    assert len(msgpack.packb(call["locals"])) <= 200


def test_run_refuses_a_budget_below_the_minimum(tmp_path):
    (tmp_path / "prog.py").write_text(PROGRAM)
    result = subprocess.run([sys.executable, "-m", "tavo", "run", "--value-budget", "10",
                             "prog.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 2 and "bad value 10 for value-budget" in result.stderr


def _frame_shapes(extra):
    """Functions whose locals take each way a frame's variables can be read."""
    # On 3.12 a frame's locals dict, once made, keeps its keys' first order:
    # these functions bind their variables in their order in the code, so
    # that the dict made at the call event does not reorder its return's;
    # all but reads_outer, whose free variable comes last in the code.
    def closes_over(seen, unused=None):
        counter = 0
        cell = 0

        def bump():
            nonlocal counter
            counter += 1
            return counter + len(seen) + cell

        del unused
        return bump

    def reads_outer(flag):
        first = extra if flag else None
        return first

    def inlined(items, __builtins__=None):
        shadowed = "outer"
        keep = lambda: shadowed  # noqa: E731 (makes `shadowed` a cell)
        firsts = [shadowed for shadowed in items]
        makers = [lambda: item for item in items]
        if not items:
            never = 1
            return never
        return [keep(), firsts, [make() for make in makers]]

    def generates(n):
        for index in range(n):
            total = index * 2
            yield total

    def reads_its_locals(a):
        b = a + 1
        frame = sys._getframe()
        frame.f_locals["added"] = b
        return a

    def holds_big(size):
        text = "x" * size
        return len(text)

    def holds_rows(count):
        rows = [{"id": i, "name": f"row {i}", "tags": ("a", i)} for i in range(count)]
        table = {row["name"]: row for row in rows}
        return len(table)

    def run():
        closes_over([1, 2])()
        reads_outer(True)
        inlined(["p", "q"])
        list(generates(3))
        reads_its_locals(1)
        holds_big(150)
        holds_big(400)
        holds_rows(2)
        holds_rows(40)
    return run


@pytest.mark.parametrize("lightweight", [False, True])
def test_locals_read_from_the_frame_match_the_locals_dict(engine, lightweight, monkeypatch):
    config = {"engine": engine, "value_budget": 300, "lightweight-values": lightweight}

    def locals_recorded():
        with tavo.profile(db_path=None, config=config) as profiler:
            _frame_shapes(["e"])()
        return [(r["co_name"], r["event"], msgpack.packb(r["locals"]))
                for r in records_of(profiler.trace, kind="frame")]

    direct = locals_recorded()
    # A serializer that is not the native function itself takes the locals dict.
    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        monkeypatch.setattr(serialize, name, functools.partial(getattr(_tavo, name)))
    through_dict = locals_recorded()
    assert len(direct) >= 20

    def without_reads_outer(records):
        return [record for record in records if record[0] != "reads_outer"]

    assert without_reads_outer(direct) == without_reads_outer(through_dict)
    returned = {name: msgpack.unpackb(data) for name, event, data in direct if event == "return"}
    # The map read from the frame lists the variables in the code's order,
    # with no locals dict made at the call event to keep another.
    assert list(returned["reads_outer"]) == ["flag", "first", "extra"]
    assert "__builtins__" not in returned["inlined"] and returned["reads_its_locals"]["added"] == 2
    assert returned["holds_big"]["text"].endswith(" more characters>")
    # Over the budget, the map read from the frame is cut as the dict's would be.
    assert returned["holds_rows"]["rows"][-1].endswith(" more items>")
    assert all(len(data) <= 300 for _, _, data in direct)


# Every special method a subclass may define, each counting its calls.
SPIED = ("__repr__", "__str__", "__eq__", "__hash__", "__len__", "__iter__", "__getattr__",
         "__getattribute__", "__bool__", "__format__", "__getitem__", "__contains__",
         "__reduce_ex__", "__getstate__", "__dir__", "__index__", "__int__", "__float__",
         "__lt__", "__sub__", "__add__", "__keys__", "__fspath__", "__reversed__", "items",
         "keys", "values", "isoformat", "utcoffset", "tzname", "__radd__")


def spied(base, **attributes):
    """A subclass of `base` whose special methods count their calls; an
    instance gets `attributes`."""
    cls = type(f"Spied{base.__name__.title()}", (base,), {name: _counting(name) for name in SPIED})

    def make(*args):
        obj = base.__new__(cls, *args)
        if base in (list, dict, set):
            base.__init__(obj, *args)
        for name, value in attributes.items():
            object.__setattr__(obj, name, value)
        return obj
    return make


def _suspended():
    yield 1


def _readable_cases():
    import array, collections, datetime, decimal, enum, fractions, pathlib, re, uuid

    class Color(enum.Enum):
        RED = "r"

    utc_plus_one = datetime.timezone(datetime.timedelta(hours=1, minutes=30))
    point = collections.namedtuple("Point", "x y")
    generator = _suspended()
    next(generator)
    here = __name__
    return {
        "datetime": (datetime.datetime(2026, 12, 8, 18, 55, 22, 123456, utc_plus_one),
                     {"value": "2026-12-08T18:55:22.123456+01:30"}),
        "date": (datetime.date(2026, 12, 8), {"value": "2026-12-08"}),
        "date of year 5": (datetime.date(5, 1, 2), {"value": "0005-01-02"}),
        "datetime west of UTC": (
            datetime.datetime(2026, 1, 2, 3, 4, 5, 6,
                              datetime.timezone(-datetime.timedelta(hours=5, seconds=30))),
            {"value": "2026-01-02T03:04:05.000006-05:00:30"}),
        "timedelta over a day": (datetime.timedelta(hours=27, microseconds=5),
                                 {"value": "1 day, 3:00:00.000005"}),
        "time": (datetime.time(7, 5), {"value": "07:05:00"}),
        "timedelta": (datetime.timedelta(days=-1, seconds=5), {"value": "-1 day, 0:00:05"}),
        "timezone": (utc_plus_one, {"value": "UTC+01:30"}),
        "datetime subclass": (spied(datetime.datetime, note=1)(2026, 1, 2),
                              {"value": "2026-01-02T00:00:00", "note": 1}),
        "decimal": (decimal.Decimal("-1.50"), {"value": "-1.50"}),
        "fraction": (fractions.Fraction(2, 6), {"numerator": 1, "denominator": 3}),
        "uuid": (uuid.UUID(int=1 << 100), {"value": "00000010-0000-0000-0000-000000000000"}),
        "path": (pathlib.PurePosixPath("/srv//data", "./x.csv"), {"value": "/srv/data/x.csv"}),
        "enum": (Color.RED, {"member": "RED", "value": "r"}),
        "deque": (collections.deque([1, 2], maxlen=3), {"items": [1, 2], "maxlen": 3}),
        "defaultdict": (collections.defaultdict(int, a=1),
                        {"items": {"a": 1}, "default_factory": {"__type__": "builtins.type",
                                                                "name": "builtins.int"}}),
        "ordereddict": (collections.OrderedDict(b=2), {"items": {"b": 2}}),
        "counter": (collections.Counter("aab"), {"items": {"a": 2, "b": 1}}),
        "namedtuple": (point(1, [2]), {"x": 1, "y": [2]}),
        "array": (array.array("d", [0.5]), {"typecode": "d", "items": [0.5]}),
        "memoryview": (memoryview(b"abcd")[1:], {"format": "B", "shape": [3], "bytes": b"bcd"}),
        "range": (range(1, 9, 2), {"start": 1, "stop": 9, "step": 2}),
        "slice": (slice(None, 5), {"start": None, "stop": 5, "step": None}),
        "pattern": (re.compile("a+b"), {"pattern": "a+b", "flags": re.UNICODE.value}),
        "generator": (generator, {"function": "_suspended", "line": _suspended.__code__.co_firstlineno + 1}),
        "list subclass": (spied(list, tag="t")([1, 2]), {"items": [1, 2], "tag": "t"}),
        "dict subclass": (spied(dict, tag="t")({"k": 1}), {"items": {"k": 1}, "tag": "t"}),
        "tuple subclass": (spied(tuple)((1,)), {"items": [1]}),
        "set subclass": (spied(set, tag="t")([3]), {"items": [3], "tag": "t"}),
        "str subclass": (spied(str)("text"), {"value": "text"}),
    }, here


READABLE, _HERE = _readable_cases()


@pytest.mark.parametrize("case", list(READABLE))
def test_readable_values_are_stored_as_text_without_running_code(case):
    value, expected = READABLE[case]

    def holds(v=value):
        return v

    Counted.calls = 0
    [call, returned] = recorded_locals({}, holds)
    assert Counted.calls == 0
    cls = type(value)
    name = f"{_HERE}.{cls.__qualname__}" if cls.__module__ == _HERE else serialize.type_name(cls)
    assert returned["arg"] == {"__type__": name, **expected}
    assert _tavo.dump_msgpack(value) == serialize.reference_dump(value)


def test_a_generator_is_described_at_the_line_it_is_suspended_at_each_time():
    def counts():
        yield 1
        yield 2

    generator = counts()
    first = counts.__code__.co_firstlineno
    lines = []
    for _ in range(2):
        next(generator)
        lines.append(msgpack.unpackb(_tavo.dump_msgpack(generator))["line"])
    assert lines == [first + 1, first + 2]


# Values of the newer interpreters' own types, with the version that added
# them: (source, description).
INTERPOLATION = {"__type__": "string.templatelib.Interpolation", "value": [1], "expression": "x",
                 "conversion": "r", "format_spec": ">3"}
NEWER_VALUES = [
    ((3, 14), "t'a{x!r:>3}b'", {"__type__": "string.templatelib.Template", "strings": ["a", "b"],
                                "interpolations": [INTERPOLATION]}),
    ((3, 15), "frozendict(a=x)", {"a": [1]}),
    ((3, 15), "sentinel('MISSING')", {"__type__": "builtins.sentinel", "name": "MISSING"}),
    # Described without being resolved: resolving it would fail.
    ((3, 15), "lazy", {"__type__": "builtins.lazy_import", "name": "tavo_tests.not_a_module"}),
]


@pytest.mark.parametrize("since, source, description", NEWER_VALUES,
                         ids=[source for _, source, _ in NEWER_VALUES])
def test_values_of_newer_interpreters_are_described_like_any_other(since, source, description):
    if sys.version_info < since:
        pytest.skip(f"CPython {since[0]}.{since[1]} added it")
    namespace = {"x": [1]}
    if source == "lazy":  # read from the namespace itself: a name lookup resolves it
        exec("lazy import tavo_tests.not_a_module as lazy", namespace)
        value = namespace["lazy"]
    else:
        value = eval(source, namespace)
    assert msgpack.unpackb(_tavo.dump_msgpack(value), strict_map_key=False) == description
    for lightweight in (False, True):
        native = _tavo.dump_msgpack_lightweight_repr if lightweight else _tavo.dump_msgpack
        assert native(value) == serialize.reference_dump(value, lightweight)
