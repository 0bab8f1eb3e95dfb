#include "values/readable_types.hpp"

// Only the storage macros of this header are used, which need none of its API
// capsule: importing the capsule would import the datetime module.
#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "record/code_facts.hpp"
#include "values/object_view.hpp"

namespace tavo::values {

namespace {

struct CType {
  const char* name;  // tp_name: dotted for a type defined in C
  Readable kind;
};

// The standard library's C types, by the name they were defined with. A
// class defined in Python has its bare name as tp_name, so none matches.
constexpr CType kCTypes[] = {
    {"datetime.datetime", Readable::kDateTime}, {"datetime.date", Readable::kDate},
    {"datetime.time", Readable::kTime},         {"datetime.timedelta", Readable::kDelta},
    {"datetime.timezone", Readable::kTimezone}, {"decimal.Decimal", Readable::kDecimal},
    {"collections.deque", Readable::kDeque},    {"collections.defaultdict", Readable::kDefaultDict},
    {"array.array", Readable::kArray},          {"re.Pattern", Readable::kPattern},
};

struct PyType {
  const char* module;
  const char* qualname;
  Readable kind;
};

// The standard library's pure-Python types, read from their slots.
constexpr PyType kPyTypes[] = {
    {"uuid", "UUID", Readable::kUuid},
    {"fractions", "Fraction", Readable::kFraction},
    {"pathlib", "PurePath", Readable::kPath},
    {"pathlib._local", "PurePath", Readable::kPath},
};

bool is_heap(PyTypeObject* type) { return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0; }

bool text_equals(PyObject* text, const char* expected) {
  return text != nullptr && PyUnicode_CheckExact(text) &&
         PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// Whether a heap class is `module`.`qualname`, from its own dictionary.
bool heap_class_is(PyTypeObject* klass, const char* module, const char* qualname) {
  if (!is_heap(klass) || klass->tp_dict == nullptr ||
      !text_equals(reinterpret_cast<PyHeapTypeObject*>(klass)->ht_qualname, qualname)) {
    return false;
  }
  PyObject* found = PyDict_GetItemString(klass->tp_dict, "__module__");  // borrowed
  return text_equals(found, module);
}

bool has_class(PyTypeObject* type, const char* module, const char* qualname) {
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    if (heap_class_is(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)), module,
                      qualname)) {
      return true;
    }
  }
  return false;
}

// Interned texts: the names looked up and the keys written.
struct Names {
  PyObject* fields;
  PyObject* value;
  PyObject* items;
  PyObject* member;
  PyObject* tzinfo;
  PyObject* numerator;
  PyObject* denominator;
  PyObject* maxlen;
  PyObject* default_factory;
  PyObject* typecode;
  PyObject* tolist;
  PyObject* format;
  PyObject* shape;
  PyObject* bytes;
  PyObject* released;
  PyObject* start;
  PyObject* stop;
  PyObject* step;
  PyObject* pattern;
  PyObject* flags;
  PyObject* function;
  PyObject* line;
  PyObject* qualname;
  PyObject* int_;
  PyObject* str_;
  PyObject* raw_paths;
  PyObject* name_;
  PyObject* value_;
  PyObject* numerator_;
  PyObject* denominator_;
  PyObject* gi_frame;
  PyObject* cr_frame;
  PyObject* ag_frame;
  PyObject* utcoffset;
};
Names names;

// A namedtuple class: its "_fields", found in a class dictionary, is a tuple
// of texts.
bool tuple_fields(PyTypeObject* type, PyObject*& fields) {
  fields = _PyType_Lookup(type, names.fields);  // borrowed
  if (fields == nullptr || !PyTuple_CheckExact(fields)) {
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool readable_kind(PyTypeObject* type, Readable& kind, PyTypeObject*& base) {
  kind = Readable::kNone;
  base = type;
  // Enum members, IntEnum and StrEnum among them, by their class's metaclass.
  if (has_class(Py_TYPE(type), "enum", "EnumType")) {
    kind = Readable::kEnum;
    return true;
  }
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* klass = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    base = klass;
    if (klass == &PyMemoryView_Type) {
      kind = Readable::kMemoryView;
    } else if (klass == &PyRange_Type) {
      kind = Readable::kRange;
    } else if (klass == &PySlice_Type) {
      kind = Readable::kSlice;
    } else if (klass == &PyGen_Type || klass == &PyCoro_Type || klass == &PyAsyncGen_Type) {
      kind = Readable::kGenerator;
    } else if (!is_heap(klass) || (klass->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0) {
      for (const CType& c : kCTypes) {
        if (std::strcmp(klass->tp_name, c.name) == 0) {
          kind = c.kind;
          break;
        }
      }
    }
    for (const PyType& p : kPyTypes) {
      if (kind == Readable::kNone && heap_class_is(klass, p.module, p.qualname)) {
        kind = p.kind;
      }
    }
    if (kind != Readable::kNone) {
      return true;
    }
  }
  base = type;
  const bool plain_subclass =
      PyType_FastSubclass(type, Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS |
                                    Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS) ||
      PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type);
  if (!plain_subclass || type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type ||
      type == &PyUnicode_Type || type == &PySet_Type || type == &PyFrozenSet_Type) {
    return true;
  }
  kind = Readable::kContainer;
  // The plain type it subclasses: what is shown beside it is the subclass's own.
  for (PyTypeObject* plain : {&PyList_Type, &PyTuple_Type, &PyDict_Type, &PyUnicode_Type,
                              &PySet_Type, &PyFrozenSet_Type}) {
    if (PyType_IsSubtype(type, plain)) {
      base = plain;
    }
  }
  if (PyType_FastSubclass(type, Py_TPFLAGS_TUPLE_SUBCLASS)) {
    PyObject* fields = nullptr;
    if (tuple_fields(type, fields)) {
      kind = Readable::kNamedTuple;
    }
  }
  return !PyErr_Occurred();
}

namespace {

Status add(std::vector<Entry>& entries, PyObject* key, PyRef value, bool plain = false) {
  if (!value) {
    return PyError::fetch();
  }
  entries.push_back(Entry::held(PyRef::borrow(key), std::move(value), plain));
  return Status::success();
}

PyRef text_of(const std::string& text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The value of a member or getset descriptor that `klass` (a C type of the
// standard library) defines itself, for `obj`: its C accessor, never what a
// subclass or the instance put under that name. Null with an exception set
// when the accessor fails or the class has no such descriptor.
PyRef c_accessor(PyTypeObject* klass, PyObject* obj, PyObject* name) {
  // The interpreter keeps a static type's dictionary apart from the type.
  PyRef dict = PyRef::steal(PyType_GetDict(klass));
  PyObject* descriptor = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
  if (descriptor == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_AttributeError, "tavo: %s has no accessor %U", klass->tp_name, name);
    }
    return PyRef();
  }
  PyTypeObject* kind = Py_TYPE(descriptor);
  if (kind != &PyMemberDescr_Type && kind != &PyGetSetDescr_Type) {
    PyErr_Format(PyExc_TypeError, "tavo: %s.%U is not a C accessor", klass->tp_name, name);
    return PyRef();
  }
  PyRef held = PyRef::borrow(descriptor);
  return PyRef::steal(kind->tp_descr_get(descriptor, obj, reinterpret_cast<PyObject*>(klass)));
}

// A slot's value from the member descriptor `klass` (a pure-Python class of
// the standard library) made for it; null without an exception when unset.
Result<PyRef> slot(PyTypeObject* klass, PyObject* obj, PyObject* name) {
  PyObject* descriptor =
      klass->tp_dict != nullptr ? PyDict_GetItemWithError(klass->tp_dict, name) : nullptr;
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
    if (PyErr_Occurred()) {
      return PyError::fetch();
    }
    return PyRef();
  }
  PyRef held = PyRef::borrow(descriptor);
  PyRef value = PyRef::steal(
      PyMemberDescr_Type.tp_descr_get(descriptor, obj, reinterpret_cast<PyObject*>(klass)));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return PyError::fetch();
    }
    PyErr_Clear();
  }
  return value;
}

// The text of a date, time, offset or duration, built in place: at most 42
// characters ("-999999999 days, 23:59:59.999999", a datetime with an offset
// in seconds and microseconds). snprintf and heap strings were a measurable
// share of recording date-heavy values.
class ShortText {
 public:
  void add(char c) { data_[size_++] = c; }
  void add(std::string_view text) {
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  // `value` (not negative) zero-padded to `width` digits.
  void padded(long value, int width) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    for (long zeros = width - (end - digits); zeros > 0; --zeros) {
      add('0');
    }
    add(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  PyRef text() const {
    return PyRef::steal(PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_)));
  }

 private:
  char data_[64];
  std::size_t size_ = 0;
};

void append_clock(ShortText& out, int hour, int minute, int second) {
  out.padded(hour, 2);
  out.add(':');
  out.padded(minute, 2);
  out.add(':');
  out.padded(second, 2);
}

void append_micros(ShortText& out, int us) {
  if (us != 0) {
    out.add('.');
    out.padded(us, 6);
  }
}

// A UTC offset as isoformat() writes it: +HH:MM, then :SS and .ffffff if any.
void append_offset(ShortText& out, PyObject* delta) {
  long total = static_cast<long>(PyDateTime_DELTA_GET_DAYS(delta)) * 86400 +
               PyDateTime_DELTA_GET_SECONDS(delta);
  int us = PyDateTime_DELTA_GET_MICROSECONDS(delta);
  char sign = '+';
  if (total < 0) {
    sign = '-';
    if (us != 0) {
      total += 1;
      us = 1000000 - us;
    }
    total = -total;
  }
  out.add(sign);
  out.padded(total / 3600, 2);
  out.add(':');
  out.padded(total / 60 % 60, 2);
  if (total % 60 != 0 || us != 0) {
    out.add(':');
    out.padded(total % 60, 2);
  }
  append_micros(out, us);
}

// Appends the offset of a datetime.timezone, read through its own C method;
// nothing for any other tzinfo (described beside the text instead, and
// `known` false). An error leaves an exception set.
Status append_timezone_offset(ShortText& out, PyObject* tzinfo, bool& known) {
  known = false;
  if (tzinfo == Py_None) {
    known = true;
    return Status::success();
  }
  PyTypeObject* type = Py_TYPE(tzinfo);
  if (is_heap(type) || std::strcmp(type->tp_name, "datetime.timezone") != 0) {
    return Status::success();
  }
  PyRef delta = PyRef::steal(PyObject_CallMethodOneArg(tzinfo, names.utcoffset, Py_None));
  if (!delta) {
    return PyError::fetch();
  }
  if (std::strcmp(Py_TYPE(delta.get())->tp_name, "datetime.timedelta") != 0) {
    return Status::success();
  }
  known = true;
  append_offset(out, delta.get());
  return Status::success();
}

Status describe_date_time(PyObject* obj, Readable kind, std::vector<Entry>& entries) {
  ShortText iso;
  if (kind != Readable::kTime) {
    iso.padded(PyDateTime_GET_YEAR(obj), 4);
    iso.add('-');
    iso.padded(PyDateTime_GET_MONTH(obj), 2);
    iso.add('-');
    iso.padded(PyDateTime_GET_DAY(obj), 2);
  }
  PyObject* tzinfo = Py_None;
  if (kind == Readable::kDateTime) {
    iso.add('T');
    append_clock(iso, PyDateTime_DATE_GET_HOUR(obj), PyDateTime_DATE_GET_MINUTE(obj),
                 PyDateTime_DATE_GET_SECOND(obj));
    append_micros(iso, PyDateTime_DATE_GET_MICROSECOND(obj));
    tzinfo = PyDateTime_DATE_GET_TZINFO(obj);
  } else if (kind == Readable::kTime) {
    append_clock(iso, PyDateTime_TIME_GET_HOUR(obj), PyDateTime_TIME_GET_MINUTE(obj),
                 PyDateTime_TIME_GET_SECOND(obj));
    append_micros(iso, PyDateTime_TIME_GET_MICROSECOND(obj));
    tzinfo = PyDateTime_TIME_GET_TZINFO(obj);
  }
  bool known = false;
  if (Status s = append_timezone_offset(iso, tzinfo, known); !s.ok()) {
    return s;
  }
  if (Status s = add(entries, names.value, iso.text()); !s.ok()) {
    return s;
  }
  return known ? Status::success() : add(entries, names.tzinfo, PyRef::borrow(tzinfo));
}

// As str(timedelta): "1 day, 2:00:00", "-1 day, 23:59:59.500000".
PyRef delta_text(PyObject* delta) {
  const int days = PyDateTime_DELTA_GET_DAYS(delta);
  const int seconds = PyDateTime_DELTA_GET_SECONDS(delta);
  ShortText out;
  if (days != 0) {
    if (days < 0) {
      out.add('-');
    }
    out.padded(std::abs(static_cast<long>(days)), 1);
    out.add(std::abs(days) != 1 ? " days, " : " day, ");
  }
  out.padded(seconds / 3600, 1);
  out.add(':');
  out.padded(seconds / 60 % 60, 2);
  out.add(':');
  out.padded(seconds % 60, 2);
  append_micros(out, PyDateTime_DELTA_GET_MICROSECONDS(delta));
  return out.text();
}

// A uuid's text from its 128-bit int, formatted by the int type itself.
Result<PyRef> uuid_text(PyObject* number) {
  if (!PyLong_CheckExact(number)) {
    return PyRef();
  }
  PyRef hex_format = PyRef::steal(PyUnicode_FromString("032x"));
  PyRef hex = PyRef::steal(hex_format ? PyObject_Format(number, hex_format.get()) : nullptr);
  if (!hex) {
    return PyError::fetch();
  }
  Py_ssize_t size = 0;
  const char* digits = PyUnicode_AsUTF8AndSize(hex.get(), &size);
  if (digits == nullptr) {
    return PyError::fetch();
  }
  if (size != 32) {
    return PyRef();
  }
  const std::string_view d(digits, 32);
  const std::string text = std::string(d.substr(0, 8)) + "-" + std::string(d.substr(8, 4)) + "-" +
                           std::string(d.substr(12, 4)) + "-" + std::string(d.substr(16, 4)) + "-" +
                           std::string(d.substr(20));
  return text_of(text);
}

// A pure path's text: the one it cached, else its segments joined and
// normalised as a POSIX path prints them.
Result<PyRef> path_text(PyObject* obj, PyTypeObject* pure) {
  Result<PyRef> cached = slot(pure, obj, names.str_);
  if (!cached.ok() || (cached.value() && PyUnicode_CheckExact(cached.value().get()))) {
    return cached;
  }
  Result<PyRef> raw = slot(pure, obj, names.raw_paths);
  if (!raw.ok() || !raw.value() || !PyList_CheckExact(raw.value().get())) {
    if (!raw.ok()) {
      return raw.take_error();
    }
    return PyRef();
  }
  std::string root;
  std::vector<std::string> parts;
  PyObject* list = raw.value().get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_CheckExact(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (data == nullptr) {
      PyErr_Clear();
      return PyRef();
    }
    std::string_view segment(data, static_cast<std::size_t>(size));
    if (!segment.empty() && segment[0] == '/') {
      root = segment.size() > 1 && segment[1] == '/' && (segment.size() == 2 || segment[2] != '/')
                 ? "//"
                 : "/";
      parts.clear();
    }
    while (!segment.empty()) {
      const std::size_t end = std::min(segment.find('/'), segment.size());
      if (std::string_view part = segment.substr(0, end); !part.empty() && part != ".") {
        parts.emplace_back(part);
      }
      segment.remove_prefix(std::min(end + 1, segment.size()));
    }
  }
  std::string text = root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += (i > 0 ? "/" : "") + parts[i];
  }
  return text_of(text.empty() ? "." : text);
}

// The instance attribute `name`, borrowed (the object's dictionary or slot
// keeps it); null when absent.
Result<PyObject*> instance_entry(PyObject* obj, PyObject* name) {
  std::vector<Entry> attributes;
  if (Status s = instance_attributes(obj, attributes); !s.ok()) {
    return s.take_error();
  }
  for (const Entry& entry : attributes) {
    if (PyUnicode_CheckExact(entry.key) && PyUnicode_Compare(entry.key, name) == 0) {
      return entry.value;
    }
  }
  return static_cast<PyObject*>(nullptr);
}

// A method without arguments that a C type defines itself, called directly.
PyRef c_method(PyTypeObject* klass, PyObject* obj, const char* name) {
  for (PyMethodDef* def = klass->tp_methods; def != nullptr && def->ml_name != nullptr; ++def) {
    if (std::strcmp(def->ml_name, name) == 0 && (def->ml_flags & METH_NOARGS) != 0) {
      return PyRef::steal(def->ml_meth(obj, nullptr));
    }
  }
  PyErr_Format(PyExc_AttributeError, "tavo: %s has no method %s", klass->tp_name, name);
  return PyRef();
}

Status describe_memoryview(PyObject* obj, std::vector<Entry>& entries) {
  PyRef format = c_accessor(&PyMemoryView_Type, obj, names.format);
  if (!format) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
      return PyError::fetch();
    }
    PyErr_Clear();  // released
    return add(entries, names.released, PyRef::borrow(Py_True));
  }
  if (Status s = add(entries, names.format, std::move(format)); !s.ok()) {
    return s;
  }
  if (Status s = add(entries, names.shape, c_accessor(&PyMemoryView_Type, obj, names.shape));
      !s.ok()) {
    return s;
  }
  // The first bytes, enough to recognise the data; the budget cuts them further.
  constexpr Py_ssize_t kFirstBytes = 256;
  const Py_buffer* view = PyMemoryView_GET_BUFFER(obj);
  if (!PyBuffer_IsContiguous(view, 'C')) {
    return Status::success();
  }
  return add(entries, names.bytes,
             PyRef::steal(PyBytes_FromStringAndSize(static_cast<const char*>(view->buf),
                                                    std::min(view->len, kFirstBytes))));
}

Status describe_generator(PyObject* obj, PyTypeObject* base, std::vector<Entry>& entries) {
  if (Status s = add(entries, names.function, c_accessor(base, obj, names.qualname)); !s.ok()) {
    return s;
  }
  PyObject* frame_name = base == &PyGen_Type    ? names.gi_frame
                         : base == &PyCoro_Type ? names.cr_frame
                                                : names.ag_frame;
  PyRef frame = c_accessor(base, obj, frame_name);
  if (!frame) {
    return PyError::fetch();
  }
  if (!PyFrame_Check(frame.get())) {
    return Status::success();  // finished: no line to show
  }
  // Through the line table once per instruction: a generator is met again at
  // every event whose locals hold it.
  const int line = frame_line(reinterpret_cast<PyFrameObject*>(frame.get()));
  return add(entries, names.line, PyRef::steal(PyLong_FromLong(line)));
}

Status describe_kind(PyObject* obj, Readable kind, PyTypeObject* base,
                     std::vector<Entry>& entries) {
  switch (kind) {
    case Readable::kDateTime:
    case Readable::kDate:
    case Readable::kTime:
      return describe_date_time(obj, kind, entries);
    case Readable::kDelta:
      return add(entries, names.value, delta_text(obj));
    case Readable::kTimezone:
    case Readable::kDecimal:
      return add(entries, names.value, PyRef::steal(base->tp_str(obj)));
    case Readable::kUuid: {
      Result<PyRef> number = slot(base, obj, names.int_);
      Result<PyRef> text = number.ok() && number.value() ? uuid_text(number.value().get())
                           : number.ok()                 ? Result<PyRef>(PyRef())
                                                         : Result<PyRef>(number.take_error());
      if (!text.ok()) {
        return text.take_error();
      }
      return text.value() ? add(entries, names.value, text.take_value()) : Status::success();
    }
    case Readable::kPath: {
      Result<PyRef> text = path_text(obj, base);
      if (!text.ok()) {
        return text.take_error();
      }
      return text.value() ? add(entries, names.value, text.take_value()) : Status::success();
    }
    case Readable::kFraction: {
      for (auto [from, to] : {std::pair{names.numerator_, names.numerator},
                              std::pair{names.denominator_, names.denominator}}) {
        Result<PyRef> part = slot(base, obj, from);
        if (!part.ok()) {
          return part.take_error();
        }
        if (part.value()) {
          if (Status s = add(entries, to, part.take_value()); !s.ok()) {
            return s;
          }
        }
      }
      return Status::success();
    }
    case Readable::kEnum:
      for (auto [from, to] :
           {std::pair{names.name_, names.member}, std::pair{names.value_, names.value}}) {
        Result<PyObject*> found = instance_entry(obj, from);
        if (!found.ok()) {
          return found.take_error();
        }
        if (found.value() != nullptr) {
          if (Status s = add(entries, to, PyRef::borrow(found.value())); !s.ok()) {
            return s;
          }
        }
      }
      return Status::success();
    case Readable::kDeque: {
      Result<PyRef> items = items_through(base, obj);
      if (!items.ok()) {
        return items.take_error();
      }
      if (Status s = add(entries, names.items, items.take_value()); !s.ok()) {
        return s;
      }
      PyRef maxlen = c_accessor(base, obj, names.maxlen);
      if (maxlen && maxlen.get() == Py_None) {
        return Status::success();
      }
      return add(entries, names.maxlen, std::move(maxlen));
    }
    case Readable::kDefaultDict:
      if (Status s = add(entries, names.items, PyRef::borrow(obj), true); !s.ok()) {
        return s;
      }
      return add(entries, names.default_factory, c_accessor(base, obj, names.default_factory));
    case Readable::kNamedTuple: {
      PyObject* fields = nullptr;
      if (!tuple_fields(Py_TYPE(obj), fields) || PyTuple_GET_SIZE(fields) != Py_SIZE(obj)) {
        return add(entries, names.items, PyRef::borrow(obj), true);
      }
      PyRef held = PyRef::borrow(fields);
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        entries.push_back(Entry::held(PyRef::borrow(PyTuple_GET_ITEM(fields, i)),
                                      PyRef::borrow(PyTuple_GET_ITEM(obj, i))));
      }
      return Status::success();
    }
    case Readable::kArray:
      if (Status s = add(entries, names.typecode, c_accessor(base, obj, names.typecode)); !s.ok()) {
        return s;
      }
      return add(entries, names.items, c_method(base, obj, "tolist"));
    case Readable::kMemoryView:
      return describe_memoryview(obj, entries);
    case Readable::kRange:
      for (PyObject* name : {names.start, names.stop, names.step}) {
        if (Status s = add(entries, name, c_accessor(base, obj, name)); !s.ok()) {
          return s;
        }
      }
      return Status::success();
    case Readable::kSlice: {
      auto* slice = reinterpret_cast<PySliceObject*>(obj);
      for (auto [name, part] :
           {std::pair{names.start, slice->start}, std::pair{names.stop, slice->stop},
            std::pair{names.step, slice->step}}) {
        if (Status s = add(entries, name, PyRef::borrow(part)); !s.ok()) {
          return s;
        }
      }
      return Status::success();
    }
    case Readable::kPattern:
      if (Status s = add(entries, names.pattern, c_accessor(base, obj, names.pattern)); !s.ok()) {
        return s;
      }
      return add(entries, names.flags, c_accessor(base, obj, names.flags));
    case Readable::kGenerator:
      return describe_generator(obj, base, entries);
    case Readable::kContainer:
      if (PyAnySet_Check(obj)) {
        return Status::success();  // its items come with every set's description
      }
      return add(entries, PyUnicode_Check(obj) ? names.value : names.items, PyRef::borrow(obj),
                 true);
    case Readable::kNone:
      break;
  }
  return Status::success();
}

// Whether a subclass of `kind`'s class keeps attributes of its own beside
// what the description shows: not so for the pure-Python types, whose slots
// and dictionary the description reads.
bool shows_attributes(Readable kind) {
  switch (kind) {
    case Readable::kUuid:
    case Readable::kPath:
    case Readable::kFraction:
    case Readable::kEnum:
    case Readable::kNamedTuple:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool init_readable_types() {
  struct Name {
    PyObject** slot;
    const char* text;
  };
  const Name table[] = {
      {&names.fields, "_fields"},
      {&names.value, "value"},
      {&names.items, "items"},
      {&names.member, "member"},
      {&names.tzinfo, "tzinfo"},
      {&names.numerator, "numerator"},
      {&names.denominator, "denominator"},
      {&names.maxlen, "maxlen"},
      {&names.default_factory, "default_factory"},
      {&names.typecode, "typecode"},
      {&names.tolist, "tolist"},
      {&names.format, "format"},
      {&names.shape, "shape"},
      {&names.bytes, "bytes"},
      {&names.released, "released"},
      {&names.start, "start"},
      {&names.stop, "stop"},
      {&names.step, "step"},
      {&names.pattern, "pattern"},
      {&names.flags, "flags"},
      {&names.function, "function"},
      {&names.line, "line"},
      {&names.qualname, "__qualname__"},
      {&names.int_, "int"},
      {&names.str_, "_str"},
      {&names.raw_paths, "_raw_paths"},
      {&names.name_, "_name_"},
      {&names.value_, "_value_"},
      {&names.numerator_, "_numerator"},
      {&names.denominator_, "_denominator"},
      {&names.gi_frame, "gi_frame"},
      {&names.cr_frame, "cr_frame"},
      {&names.ag_frame, "ag_frame"},
      {&names.utcoffset, "utcoffset"},
  };
  for (const Name& entry : table) {
    if (*entry.slot == nullptr) {
      *entry.slot = PyUnicode_InternFromString(entry.text);
      if (*entry.slot == nullptr) {
        return false;
      }
    }
  }
  return true;
}

Status describe_readable(PyObject* obj, Readable kind, PyTypeObject* base, bool lightweight,
                         std::vector<Entry>& entries) {
  if (Status s = describe_kind(obj, kind, base, entries); !s.ok()) {
    return s;
  }
  if (lightweight || !shows_attributes(kind) || Py_TYPE(obj) == base) {
    return Status::success();
  }
  return instance_attributes(obj, entries);
}

}  // namespace tavo::values
