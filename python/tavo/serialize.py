"""Encode recorded values (arguments, return values, frame locals) as MessagePack.

Each dump function returns bytes holding exactly one MessagePack value. Two
settings, set with ``configure()`` (the profiler does it from its
configuration), shape the result:

* ``values``: "safe" (the default) describes every object without running any
  code that the program or its libraries define; "repr" describes objects that
  are not plain data by their ``repr()``, cut to REPR_LIMIT characters
  (LIGHTWEIGHT_REPR_LIMIT for the lightweight variant).
* ``budget``: the most encoded bytes one value may take; a bigger value is cut
  (see the README, "Recorded values").

The functions that the engine calls, ``dump_msgpack`` and
``dump_msgpack_lightweight_repr``, are the native encoder of ``tavo._tavo``.
``reference_dump`` below is the same encoder written in Python: the fallback
when the native module is missing, and the definition the native one is tested
against. It never calls ``isinstance()`` or a method that a subclass could
override: plain data is read through the built-in types' own functions.
"""

import builtins
import struct
import sys
import types

REPR_LIMIT = 1000
LIGHTWEIGHT_REPR_LIMIT = 80
DEFAULT_BUDGET = 64 * 1024
# The smallest budget, and the least room a cut item is given: enough for any
# marker string beside a few bytes of what was kept.
MIN_BUDGET = 64
# Values nested deeper than this are replaced by a marker, so that a trace
# holding them stays within what MessagePack decoders read (1024 levels).
MAX_DEPTH = 1000
VALUE_MODES = ("safe", "repr")
TYPE_KEY = "__type__"

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
_INT_TEXT_BITS = 4000

# The built-in types' own accessors: calling these never reaches a method that
# a subclass defines.
_type_module = type.__dict__["__module__"].__get__
_type_qualname = type.__dict__["__qualname__"].__get__
_type_mro = type.__dict__["__mro__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_exception_args = BaseException.__dict__["args"].__get__
_module_dict = types.ModuleType.__dict__["__dict__"].__get__
_complex_real = complex.__dict__["real"].__get__
_complex_imag = complex.__dict__["imag"].__get__
_builtin_name = types.BuiltinFunctionType.__dict__["__name__"].__get__
_GETSET = types.GetSetDescriptorType
_MEMBER = types.MemberDescriptorType
_type_flags = type.__dict__["__flags__"].__get__
_IMMUTABLE = 1 << 8
_EXACT_PLAIN = (int, float, str, bytes, bytearray, list, tuple, dict)
# Newer interpreters' built-in types: a mapping that is not a dict (3.15), named
# sentinels (3.15), and the classes whose instances only hold values in their
# member descriptors, described by those as a class with __slots__ is (3.14's
# template strings).
_FROZENDICT = getattr(builtins, "frozendict", None)
_SENTINEL = getattr(builtins, "sentinel", None)
_LAZY_IMPORT = getattr(types, "LazyImportType", None)
_HOLDS_VALUES = ("string.templatelib.Template", "string.templatelib.Interpolation")


def type_name(cls):
    """``module.QualifiedName`` of a class, read without calling its metaclass."""
    module = _type_module(cls) if "__module__" in _type_dict(cls) or not _is_heap(cls) else "?"
    if type(module) is not str:
        module = "?"
    return f"{module}.{_type_qualname(cls)}"


def _is_heap(cls):
    return bool(type.__dict__["__flags__"].__get__(cls) & (1 << 9))


def _truncate(text, limit):
    if len(text) > limit:
        return text[: limit - 3] + "..."
    return text


def _utf8(text):
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace")


# ---------------------------------------------------------------- MessagePack forms


def _header(n, fix_base, fix_max, tag8, tag16, tag32):
    if n <= fix_max:
        return bytes([fix_base + n])
    if tag8 is not None and n <= 0xFF:
        return bytes([tag8, n])
    if n <= 0xFFFF:
        return bytes([tag16]) + struct.pack(">H", n)
    return bytes([tag32]) + struct.pack(">I", n)


def _str_bytes(data):
    return _header(len(data), 0xA0, 31, 0xD9, 0xDA, 0xDB) + data


def _bin_bytes(data):
    return _header(len(data), 0, -1, 0xC4, 0xC5, 0xC6) + data


def _array_header(n):
    return _header(n, 0x90, 15, None, 0xDC, 0xDD)


def _map_header(n):
    return _header(n, 0x80, 15, None, 0xDE, 0xDF)


def _int_bytes(n):
    if n >= 0:
        if n <= 0x7F:
            return bytes([n])
        for tag, fmt, top in ((0xCC, ">B", 0xFF), (0xCD, ">H", 0xFFFF), (0xCE, ">I", 0xFFFFFFFF)):
            if n <= top:
                return bytes([tag]) + struct.pack(fmt, n)
        return b"\xcf" + struct.pack(">Q", n)
    if n >= -32:
        return struct.pack(">b", n)
    for tag, fmt, low in ((0xD0, ">b", -128), (0xD1, ">h", -32768), (0xD2, ">i", -(1 << 31))):
        if n >= low:
            return bytes([tag]) + struct.pack(fmt, n)
    return b"\xd3" + struct.pack(">q", n)


def _text(text):
    return _str_bytes(_utf8(text))


# ---------------------------------------------------------------- the reference encoder


class _Encoder:
    def __init__(self, lightweight, values):
        self.lightweight = lightweight
        self.repr_mode = values == "repr"
        self.limit = LIGHTWEIGHT_REPR_LIMIT if lightweight else REPR_LIMIT
        self.active = set()

    # A value is a leaf (bytes ready), or a node: ("array", items) or ("map", pairs)
    # whose items are encoded, and cut, on their own.
    def node(self, obj, depth):
        """("leaf", bytes), ("str", text), ("bin", data), ("array", key, items)
        or ("map", key, pairs): the form of ``obj`` before any cut."""
        cls = type(obj)
        if depth > MAX_DEPTH:
            return ("str", f"<{type_name(cls)} nested too deep>")
        if type(obj) is _Plain:
            return obj.node()
        if (not self.repr_mode and not any(cls is plain for plain in (*_EXACT_PLAIN, bool))
                and issubclass(cls, _EXACT_PLAIN) and readable_kind(cls)[0] is not None):
            return self.describe(obj, cls)
        if obj is None:
            return ("leaf", b"\xc0")
        if obj is True or obj is False:
            return ("leaf", b"\xc3" if obj else b"\xc2")
        if issubclass(cls, int):
            number = int.__int__(obj)
            if _INT_MIN <= number <= _INT_MAX:
                return ("leaf", _int_bytes(number))
            if number.bit_length() > _INT_TEXT_BITS:
                return ("str", f"<int of {number.bit_length()} bits>")
            return ("str", _truncate(int.__repr__(number), self.limit))
        if issubclass(cls, float):
            return ("leaf", b"\xcb" + struct.pack(">d", float.__float__(obj)))
        if issubclass(cls, str):
            return ("str", str.__str__(obj))
        if issubclass(cls, bytes):
            return ("bin", bytes.__getitem__(obj, slice(None)))
        if issubclass(cls, bytearray):
            return ("bin", bytes(bytearray.__getitem__(obj, slice(None))))
        if issubclass(cls, (list, tuple)):
            items = list.copy(obj) if issubclass(cls, list) else tuple.__getitem__(obj, slice(None))
            return ("array", id(obj), items)
        if issubclass(cls, dict):
            return ("map", id(obj), list(dict.items(obj)))
        if _FROZENDICT is not None and issubclass(cls, _FROZENDICT):
            return ("map", id(obj), list(_FROZENDICT.items(obj)))
        if self.repr_mode:
            return ("str", self.describe_by_repr(obj))
        return self.describe(obj, cls)

    def describe_by_repr(self, obj):
        try:
            text = repr(obj)
            if not issubclass(type(text), str):
                raise TypeError("repr did not return str")
            text = str.__str__(text)
        except Exception as exc:
            text = f"<{type_name(type(obj))} object (repr failed: {type(exc).__name__})>"
        return _truncate(text, self.limit)

    def describe(self, obj, cls):
        """The safe description of an object that is not plain data: a map whose
        first entry names its type."""
        pairs = [(TYPE_KEY, type_name(cls))]
        kind, base = readable_kind(cls)
        if issubclass(cls, (set, frozenset)):
            iterate = set.__iter__ if issubclass(cls, set) else frozenset.__iter__
            pairs.append(("items", list(iterate(obj))))
            if kind == "container" and not self.lightweight:  # a subclass's attributes
                pairs.extend(_slot_values(obj, cls))
                pairs.extend(_dict_values(obj, cls))
        elif issubclass(cls, complex):
            pairs.append(("value", (_complex_real(obj), _complex_imag(obj))))
        elif issubclass(cls, type):
            pairs.append(("name", type_name(obj)))
        elif cls is types.FunctionType:
            module = obj.__module__
            name = obj.__qualname__
            pairs.append(("name", f"{module}.{name}" if type(module) is str else name))
        elif cls is types.BuiltinFunctionType:
            pairs.append(("name", _builtin_name(obj)))
        elif issubclass(cls, types.ModuleType):
            name = _module_dict(obj).get("__name__")
            pairs.append(("name", name if type(name) is str else "?"))
        elif cls is _SENTINEL:
            pairs.append(("name", _type_dict(cls)["__name__"].__get__(obj, cls)))
        elif cls is _LAZY_IMPORT:
            pairs.append(("name", _lazy_import_name(obj)))
        elif kind is not None:
            pairs.extend(_readable_pairs(obj, kind, base))
            if not self.lightweight and kind not in _OWN_SLOTS and cls is not base:
                pairs.extend(_slot_values(obj, cls))
                pairs.extend(_dict_values(obj, cls))
        elif not self.lightweight:
            if issubclass(cls, BaseException):
                pairs.append(("args", _exception_args(obj)))
            pairs.extend(_slot_values(obj, cls))
            pairs.extend(_dict_values(obj, cls))
        return ("map", id(obj), pairs)

    # -- full encodings

    def full(self, obj, depth):
        node = self.node(obj, depth)
        kind = node[0]
        if kind == "leaf":
            return node[1]
        if kind == "str":
            return _text(node[1])
        if kind == "bin":
            return _bin_bytes(node[1])
        if node[1] in self.active:
            return _text("[...]" if kind == "array" else "{...}")
        self.active.add(node[1])
        try:
            if kind == "array":
                parts = [_array_header(len(node[2]))]
                for item in node[2]:  # a loop: a generator would add a frame per level
                    parts.append(self.full(item, depth + 1))
            else:
                parts = [_map_header(len(node[2]))]
                for key, value in node[2]:
                    parts.append(self.full(key, depth + 1))
                    parts.append(self.full(value, depth + 1))
            return b"".join(parts)
        finally:
            self.active.discard(node[1])

    # -- bounded encodings

    def fit(self, obj, depth, room, share=False):
        """The encoding of ``obj`` if it takes at most ``room`` bytes, else its cut
        form; with ``share``, a map's entries share its room (see cut_map)."""
        encoded = self.full(obj, depth)
        if len(encoded) <= room:
            return encoded
        node = self.node(obj, depth)
        kind = node[0]
        if kind == "str":
            return _cut_text(node[1], room)
        if kind == "bin":
            return _cut_bin(node[1], room)
        if kind == "leaf" or node[1] in self.active:
            return encoded  # never over MIN_BUDGET
        self.active.add(node[1])
        try:
            if kind == "array":
                return self.cut_array(node[2], depth, room)
            return self.cut_map(node[2], depth, room, share)
        finally:
            self.active.discard(node[1])

    def cut_array(self, items, depth, room):
        count = len(items)
        avail = room - 5 - len(_text(f"<{count} more items>"))
        parts, used, kept = [], 0, count
        for index, item in enumerate(items):
            encoded = self.full(item, depth + 1)
            if used + len(encoded) <= avail:
                parts.append(encoded)
                used += len(encoded)
                continue
            kept = index
            if avail - used >= MIN_BUDGET:
                parts.append(self.fit(item, depth + 1, avail - used))
                kept += 1
            break
        left = count - kept
        if left:
            parts.append(_text(f"<{left} more items>"))
        return _array_header(len(parts)) + b"".join(parts)

    def cut_map(self, pairs, depth, room, share):
        """Entries kept whole while they fit. Without ``share``, the first that
        does not is cut into the room left and the rest are left out. With it
        (the value itself, and a value of an entry given a share), that entry
        and each later one get a share of the room left, so that one deep
        attribute does not hide the others: whole if it fits its share, cut to
        it if that leaves the value MIN_BUDGET, else left out."""
        count = len(pairs)
        avail = room - 5 - len(_text(f"<{count} more entries>")) - 1
        parts, used, left, sharing = [], 0, 0, False
        for index, (key, value) in enumerate(pairs):
            encoded_key = self.full(key, depth + 1)
            encoded_value = self.full(value, depth + 1)
            rest = avail - used
            if not sharing and len(encoded_key) + len(encoded_value) <= rest:
                parts.append(encoded_key + encoded_value)
                used += len(encoded_key) + len(encoded_value)
                continue
            if not share:
                if rest - len(encoded_key) >= MIN_BUDGET:
                    parts.append(encoded_key + self.fit(value, depth + 1, rest - len(encoded_key)))
                    index += 1
                left = count - index
                break
            sharing = True
            given = min(rest, max(rest // (count - index), len(encoded_key) + MIN_BUDGET))
            if len(encoded_key) + len(encoded_value) <= given:
                part = encoded_key + encoded_value
            elif given - len(encoded_key) >= MIN_BUDGET:
                part = encoded_key + self.fit(value, depth + 1, given - len(encoded_key), True)
            else:
                left += 1
                continue
            parts.append(part)
            used += len(part)
        if left:
            parts.append(_text(f"<{left} more entries>") + b"\xc0")
        return _map_header(len(parts)) + b"".join(parts)


def _cut_text(text, room):
    """``text`` shortened, with a note of how many characters were left out."""
    text = _utf8(text).decode("utf-8")  # lone surrogates as their escapes
    avail = room - 5 - len(f"...<{len(text)} more characters>")
    kept, size = 0, 0
    for char in text:
        width = len(char.encode("utf-8"))
        if size + width > avail:
            break
        size += width
        kept += 1
    return _text(text[:kept] + f"...<{len(text) - kept} more characters>")


def _cut_bin(data, room):
    """The first bytes of ``data`` beside a note of how many were left out."""
    kept = room - 1 - 5 - len(_text(f"<{len(data)} more bytes>"))
    return b"\x92" + _bin_bytes(data[:kept]) + _text(f"<{len(data) - kept} more bytes>")


def _lazy_import_name(lazy):
    """What a lazy import imports, from its built-in repr, which does not resolve it."""
    text = _LAZY_IMPORT.__repr__(lazy)
    head, tail = "<lazy_import '", "'>"
    if len(text) > len(head) + len(tail) and text.startswith(head) and text.endswith(tail):
        return text[len(head):-len(tail)]
    return text


def _slot_values(obj, cls):
    """(name, value) of each set ``__slots__`` attribute, from the classes that declare them."""
    for klass in _type_mro(cls):
        if not _is_heap(klass) and type_name(klass) not in _HOLDS_VALUES:
            continue
        for name, descriptor in list(_type_dict(klass).items()):
            if type(descriptor) is not _MEMBER or descriptor.__objclass__ is not klass:
                continue
            try:
                yield name, descriptor.__get__(obj, cls)
            except AttributeError:
                pass  # a slot never set


def _dict_values(obj, cls):
    """The instance ``__dict__``'s items, when the class keeps it where Python puts it."""
    for klass in _type_mro(cls):
        descriptor = _type_dict(klass).get("__dict__")
        if descriptor is None:
            continue
        if type(descriptor) is not _GETSET:
            return []  # a class that defines __dict__ itself: not read
        try:
            namespace = descriptor.__get__(obj, cls)
        except AttributeError:
            return []
        return list(dict.items(namespace)) if issubclass(type(namespace), dict) else []
    return []


# ---------------------------------------------------------------- readable types
#
# The value types people use most, read as the native encoder reads them: the
# standard library's C types through the accessors and methods they define
# themselves (never looked up on a subclass or an instance), its pure-Python
# types from their slots and instance dictionaries.

_C_TYPES = {"datetime.datetime": "datetime", "datetime.date": "date", "datetime.time": "time",
            "datetime.timedelta": "timedelta", "datetime.timezone": "timezone",
            "decimal.Decimal": "decimal", "collections.deque": "deque",
            "collections.defaultdict": "defaultdict", "array.array": "array",
            "re.Pattern": "pattern"}
_BUILTIN_TYPES = ((memoryview, "memoryview"), (range, "range"), (slice, "slice"),
                  (types.GeneratorType, "generator"), (types.CoroutineType, "generator"),
                  (types.AsyncGeneratorType, "generator"))
_PY_TYPES = {("uuid", "UUID"): "uuid", ("fractions", "Fraction"): "fraction",
             ("pathlib", "PurePath"): "path", ("pathlib._local", "PurePath"): "path"}
# The kinds whose description reads the instance's slots and dictionary itself.
_OWN_SLOTS = ("uuid", "path", "fraction", "enum", "namedtuple")


class _Plain:
    """An instance of a subclass of a plain type, written as that type's data."""

    def __init__(self, obj):
        self.obj = obj

    def node(self):
        obj, cls = self.obj, type(self.obj)
        if issubclass(cls, str):
            return ("str", str.__str__(obj))
        if issubclass(cls, dict):
            return ("map", ("plain", id(obj)), list(dict.items(obj)))
        items = list.copy(obj) if issubclass(cls, list) else tuple.__getitem__(obj, slice(None))
        return ("array", ("plain", id(obj)), items)


_type_name = type.__dict__["__name__"].__get__


def _class_is(klass, module, qualname):
    found = _type_dict(klass).get("__module__") if _is_heap(klass) else None
    return type(found) is str and found == module and _type_qualname(klass) == qualname


def readable_kind(cls):
    """(kind, the class of the MRO that says so) for a type with a readable
    description, else (None, cls)."""
    if any(_class_is(k, "enum", "EnumType") for k in _type_mro(type(cls))):
        return "enum", cls
    for klass in _type_mro(cls):
        kind = next((kind for known, kind in _BUILTIN_TYPES if known is klass), None)
        if kind is None and (not _is_heap(klass) or _type_flags(klass) & _IMMUTABLE):
            kind = _C_TYPES.get(f"{_type_module(klass)}.{_type_name(klass)}")
        for (module, qualname), py_kind in _PY_TYPES.items():
            if kind is None and _class_is(klass, module, qualname):
                kind = py_kind
        if kind is not None:
            return kind, klass
    plains = (list, tuple, dict, str, set, frozenset)
    if cls in plains or not issubclass(cls, plains):
        return None, cls
    base = [plain for plain in plains if issubclass(cls, plain)][-1]
    if base is tuple and _tuple_fields(cls) is not None:
        return "namedtuple", base
    return "container", base


def _tuple_fields(cls):
    for klass in _type_mro(cls):
        if "_fields" in _type_dict(klass):
            fields = _type_dict(klass)["_fields"]
            ok = type(fields) is tuple and all(type(f) is str for f in fields)
            return fields if ok else None
    return None


def _accessor(klass, name, obj):
    """The C accessor ``name`` of a C type (or of its C bases) applied to ``obj``."""
    for owner in _type_mro(klass):
        if name in _type_dict(owner):
            return _type_dict(owner)[name].__get__(obj, owner)
    raise AttributeError(name)


def _slot(klass, name, obj):
    descriptor = _type_dict(klass).get(name)
    if type(descriptor) is not _MEMBER:
        return None
    try:
        return descriptor.__get__(obj, klass)
    except AttributeError:
        return None


def _micros(us):
    return f".{us:06d}" if us else ""


def _offset_text(delta):
    total = delta.days * 86400 + delta.seconds
    us = delta.microseconds
    sign = "+"
    if total < 0:
        sign = "-"
        if us:
            total, us = total + 1, 1000000 - us
        total = -total
    text = f"{sign}{total // 3600:02d}:{total // 60 % 60:02d}"
    if total % 60 or us:
        text += f":{total % 60:02d}"
    return text + _micros(us)


def _date_time_pairs(obj, kind, base):
    get = lambda name: _accessor(base, name, obj)  # noqa: E731
    text = f"{get('year'):04d}-{get('month'):02d}-{get('day'):02d}" if kind != "time" else ""
    if kind == "date":
        return [("value", text)]
    clock = f"{get('hour'):02d}:{get('minute'):02d}:{get('second'):02d}{_micros(get('microsecond'))}"
    text = f"{text}T{clock}" if kind == "datetime" else clock
    tzinfo = get("tzinfo")
    tz_cls = type(tzinfo)
    if tzinfo is None:
        return [("value", text)]
    if not _is_heap(tz_cls) and f"{_type_module(tz_cls)}.{_type_name(tz_cls)}" == "datetime.timezone":
        delta = tz_cls.utcoffset(tzinfo, None)
        if f"{_type_module(type(delta))}.{_type_name(type(delta))}" == "datetime.timedelta":
            return [("value", text + _offset_text(delta))]
        return [("value", text)]
    return [("value", text), ("tzinfo", tzinfo)]


def _delta_text(obj, base):
    days, seconds = _accessor(base, "days", obj), _accessor(base, "seconds", obj)
    text = f"{days} day{'s' if abs(days) != 1 else ''}, " if days else ""
    text += f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return text + _micros(_accessor(base, "microseconds", obj))


def _path_text(obj, base):
    cached = _slot(base, "_str", obj)
    if type(cached) is str:
        return cached
    raw = _slot(base, "_raw_paths", obj)
    if type(raw) is not list or not all(type(part) is str for part in raw):
        return None
    root, parts = "", []
    for segment in raw:
        if segment.startswith("/"):
            root = "//" if segment.startswith("//") and not segment.startswith("///") else "/"
            parts = []
        parts.extend(part for part in segment.split("/") if part not in ("", "."))
    return (root + "/".join(parts)) or "."


def _instance_entry(obj, name):
    cls = type(obj)
    for key, value in [*_slot_values(obj, cls), *_dict_values(obj, cls)]:
        if type(key) is str and key == name:
            return True, value
    return False, None


def _readable_pairs(obj, kind, base):
    """The pairs after "__type__" of a readable type's description."""
    if kind in ("datetime", "date", "time"):
        return _date_time_pairs(obj, kind, base)
    if kind == "timedelta":
        return [("value", _delta_text(obj, base))]
    if kind in ("timezone", "decimal"):
        return [("value", base.__str__(obj))]
    if kind == "uuid":
        number = _slot(base, "int", obj)
        text = format(number, "032x") if type(number) is int else ""
        if len(text) != 32:
            return []
        return [("value", f"{text[:8]}-{text[8:12]}-{text[12:16]}-{text[16:20]}-{text[20:]}")]
    if kind == "path":
        text = _path_text(obj, base)
        return [] if text is None else [("value", text)]
    if kind == "fraction":
        return [(to, value) for name, to in (("_numerator", "numerator"),
                                             ("_denominator", "denominator"))
                if (value := _slot(base, name, obj)) is not None]
    if kind == "enum":
        return [(to, found[1]) for name, to in (("_name_", "member"), ("_value_", "value"))
                if (found := _instance_entry(obj, name))[0]]
    if kind == "deque":
        pairs = [("items", list(base.__iter__(obj)))]
        maxlen = _accessor(base, "maxlen", obj)
        return pairs if maxlen is None else pairs + [("maxlen", maxlen)]
    if kind == "defaultdict":
        return [("items", _Plain(obj)), ("default_factory", _accessor(base, "default_factory", obj))]
    if kind == "namedtuple":
        fields = _tuple_fields(type(obj))
        if len(fields) != tuple.__len__(obj):
            return [("items", _Plain(obj))]
        return list(zip(fields, tuple.__getitem__(obj, slice(None))))
    if kind == "array":
        return [("typecode", _accessor(base, "typecode", obj)), ("items", base.tolist(obj))]
    if kind == "memoryview":
        try:
            pairs = [("format", _accessor(memoryview, "format", obj))]
        except ValueError:
            return [("released", True)]
        pairs.append(("shape", _accessor(memoryview, "shape", obj)))
        if _accessor(memoryview, "c_contiguous", obj):
            pairs.append(("bytes", memoryview.tobytes(obj)[:256]))
        return pairs
    if kind in ("range", "slice"):
        return [(name, _accessor(base, name, obj)) for name in ("start", "stop", "step")]
    if kind == "pattern":
        return [("pattern", _accessor(base, "pattern", obj)), ("flags", _accessor(base, "flags", obj))]
    if kind == "generator":
        pairs = [("function", _accessor(base, "__qualname__", obj))]
        prefix = {types.GeneratorType: "gi", types.CoroutineType: "cr"}.get(base, "ag")
        frame = _accessor(base, f"{prefix}_frame", obj)
        return pairs + [("line", frame.f_lineno)] if type(frame) is types.FrameType else pairs
    if issubclass(base, (set, frozenset)):
        return []
    return [("value" if base is str else "items", _Plain(obj))]


def reference_dump(obj, lightweight=False, values="safe", budget=DEFAULT_BUDGET):
    """The encoding of ``obj`` under the given settings (the definition the native
    encoder follows)."""
    encoder = _Encoder(lightweight, values)
    # Python frames of the encoder per nesting level exceed the default recursion
    # limit before MAX_DEPTH is reached.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * MAX_DEPTH + 200))
    try:
        return encoder.fit(obj, 0, budget, True)
    finally:
        sys.setrecursionlimit(limit)


# ---------------------------------------------------------------- settings


_settings = {"values": "safe", "budget": DEFAULT_BUDGET}


def check_settings(values, budget):
    """Refuse settings the encoder cannot follow, with a one-line error."""
    if values not in VALUE_MODES:
        raise TypeError(f'config["values"] must be "safe" or "repr", not {values!r}')
    if isinstance(budget, bool) or not isinstance(budget, int) or not (
            MIN_BUDGET <= budget <= 0xFFFFFFFF):
        raise TypeError(f'config["value_budget"] must be an int from {MIN_BUDGET} to '
                        f"{0xFFFFFFFF} (bytes), not {budget!r}")


def configure(values="safe", budget=DEFAULT_BUDGET):
    """Set how values are encoded from now on; returns the previous settings
    (a dict of the same keyword arguments)."""
    check_settings(values, budget)
    previous = dict(_settings)
    if _native is not None:
        _native.set_value_settings(values == "repr", budget)
    _settings.update(values=values, budget=budget)
    return previous


def settings():
    return dict(_settings)


def _reference_full(obj):
    return reference_dump(obj, False, **_settings)


def _reference_lightweight(obj):
    return reference_dump(obj, True, **_settings)


try:
    from tavo import _tavo as _native
except ImportError:  # the package without its extension: the reference encodes
    _native = None
    dump_msgpack = _reference_full
    dump_msgpack_lightweight_repr = _reference_lightweight
else:
    dump_msgpack = _native.dump_msgpack
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr
