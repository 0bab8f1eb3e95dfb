#include "values/value_encoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interop/dict_internals.hpp"
#include "values/object_view.hpp"
#include "values/value_cut.hpp"
#include "values/value_leaves.hpp"
#include "values/value_sink.hpp"

namespace tavo::values {

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
// Values nested deeper are replaced by a marker (the depth at which the
// previous encoder gave up as well).
constexpr int kMaxDepth = 1000;
constexpr Py_ssize_t kReprLimit = 1000;
constexpr Py_ssize_t kLightweightReprLimit = 80;
// Longer integers are not written out in decimal (quadratic, and refused by repr).
constexpr std::size_t kIntTextBits = 4000;

// kNotLeaf: only from Encoder::common_leaf, for a value it does not write.
enum class Step { kDone, kOverflow, kError, kNotLeaf };

enum class Kind { kTooDeep, kNil, kBool, kInt, kFloat, kStr, kBytes, kList, kTuple, kDict, kOther };

// Exact types first, then the flag checks of the built-in types' subclasses;
// the float and bytearray checks walk the type's bases, so they come last.
Kind classify(PyObject* v, int depth) {
  if (depth > kMaxDepth) {
    return Kind::kTooDeep;
  }
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) {
    return Kind::kStr;
  }
  if (type == &PyLong_Type) {
    return Kind::kInt;
  }
  if (type == &PyFloat_Type) {
    return Kind::kFloat;
  }
  if (v == Py_None) {
    return Kind::kNil;
  }
  if (type == &PyBool_Type) {
    return Kind::kBool;
  }
  const unsigned long flags = type->tp_flags;
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    return Kind::kStr;
  }
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    return Kind::kInt;
  }
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
    return Kind::kList;
  }
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    return Kind::kDict;
  }
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
    return Kind::kTuple;
  }
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    return Kind::kBytes;
  }
  if (PyFloat_Check(v)) {
    return Kind::kFloat;
  }
  if (PyByteArray_Check(v)) {
    return Kind::kBytes;
  }
  if (compat::is_frozen_dict(v)) {
    return Kind::kDict;
  }
  return Kind::kOther;
}

// Text `limit` characters long at most, ending with "..." when cut.
PyRef truncated(PyRef text, Py_ssize_t limit) {
  if (!text || PyUnicode_GET_LENGTH(text.get()) <= limit) {
    return text;
  }
  PyRef head = PyRef::steal(PyUnicode_Substring(text.get(), 0, limit - 3));
  return head ? PyRef::steal(PyUnicode_FromFormat("%U...", head.get())) : PyRef();
}

// Calls `body(key, value)` for each entry of a dict that no code changes
// meanwhile, in order, until it returns false; false then. The entry after
// the one handed over is fetched ahead, so that its objects are on their way
// to the cache meanwhile.
template <class Body>
[[gnu::always_inline]] inline bool each_entry(PyObject* dict, Body body) {
  compat::DictTable table;
  if (compat::dict_table(dict, table)) [[likely]] {
    PyObject* const* entry = table.keys;
    PyObject* const* const end = entry + table.count * table.stride;
    for (; entry != end; entry += table.stride) {
      if (entry[1] == nullptr) {
        continue;  // deleted
      }
      if (entry + table.stride != end) {
        __builtin_prefetch(entry[table.stride]);
        __builtin_prefetch(entry[table.stride + 1]);
      }
      if (!body(entry[0], entry[1])) {
        return false;
      }
    }
    return true;
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!body(key, value)) {
      return false;
    }
  }
  return true;
}

class Encoder {
 public:
  Encoder(Sink& out, std::vector<Span>& spans, std::vector<PyObject*>& active,
          std::deque<std::vector<Entry>>& described, bool lightweight,
          const ValueSettings& settings)
      : out_(out),
        spans_(spans),
        lightweight_(lightweight),
        repr_(settings.repr),
        shape_(settings.shape_only),
        plain_walk_(!settings.repr && !settings.shape_only),
        active_(active),
        described_(described) {}

  // Whether a value was cut, or an item written as its shape.
  bool shortened() const { return shortened_; }

  // Appends `v` if its encoding takes at most `room` bytes, else its cut form.
  Step fit(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    pending_ = PyRef();
    return cut_if_over(attempt(v, depth, room), start, room);
  }

  // The map of `entries` as fit() writes a dict holding them: as full_dict()
  // writes it at the top level (its entries as full_entries() does), cut from
  // what was written when it takes more than `room` bytes.
  Step map(std::span<const std::pair<PyObject*, PyObject*>> entries, std::size_t room) {
    const std::size_t start = out_.size();
    pending_ = PyRef();
    limit_ = room > kNoLimit - start ? kNoLimit : start + room;
    std::vector<Entry> rest;  // filled only when the map is cut
    const Step step = top_entries(
        entries.size(), 0,
        [&](std::size_t i) { return plain_entry(entries[i].first, entries[i].second, 1); },
        [&](std::size_t from) {
          for (std::size_t i = from; i < entries.size(); ++i) {
            rest.push_back(Entry::in_place(entries[i].first, entries[i].second));
          }
          return std::span<const Entry>(rest);
        });
    limit_ = kNoLimit;
    return cut_if_over(step, start, room);
  }

  // Writes None, a bool, a word-sized int, a float or a short ASCII str
  // (exact types) at `at`, into room claimed beforehand (kSmallRoom bytes),
  // without a budget check; returns the bytes written, 0 for anything else.
  static constexpr std::size_t kSmallRoom = 17;
  [[gnu::always_inline]] static std::size_t small_leaf(PyObject* v, std::uint8_t* at) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyLong_Type) {
      const auto* number = reinterpret_cast<PyLongObject*>(v);
      // One digit and no sign bits: a positive int below 2**30, most of them.
      if (number->long_value.lv_tag == 1U << _PyLong_NON_SIZE_BITS) [[likely]] {
        return mp::small_uint_at(at, number->long_value.ob_digit[0]);
      }
      if (PyUnstable_Long_IsCompact(number)) {
        return mp::int_at(at, PyUnstable_Long_CompactValue(number));
      }
      return 0;
    }
    if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(v)) {
      const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
      if (n > 16) {
        return 0;
      }
      at[0] = static_cast<std::uint8_t>(0xa0 | n);
      mp::copy_short(at + 1, reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(v) + 1),
                     n);
      return 1 + n;
    }
    if (type == &PyFloat_Type) {
      return mp::f64_at(at, PyFloat_AS_DOUBLE(v));
    }
    if (v == Py_None || type == &PyBool_Type) {
      at[0] = v == Py_None ? 0xc0 : v == Py_True ? 0xc3 : 0xc2;
      return 1;
    }
    return 0;
  }

 private:
  // What an attempt that began at `start` ended with: its cut form in `room`
  // bytes when it overflowed.
  Step cut_if_over(Step step, std::size_t start, std::size_t room) {
    if (step == Step::kOverflow) {
      shortened_ = true;
      step = cut_written(out_, spans_, start, room, pending_.get()) ? Step::kDone : Step::kError;
    }
    pending_ = PyRef();
    return step;
  }

  // The full encoding of `v` if it takes at most `room` bytes; otherwise
  // kOverflow with what was written kept for the cut form: whole items, and
  // containers cut short inside the one being written (see overflow_before).
  Step attempt(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    limit_ = room > kNoLimit - start ? kNoLimit : start + room;
    root_at_ = start;
    Step step = shape_ ? full_any(v, depth) : full(v, depth);
    limit_ = kNoLimit;
    root_at_ = kNoLimit;
    return step;
  }

  // A text or bytes leaf that does not fit is not written: it is held as the
  // item that follows the written bytes, for its own cut form.
  [[gnu::noinline]] Step overflow_before(PyObject* leaf) {
    pending_ = PyRef::borrow(leaf);
    return Step::kOverflow;
  }

  Step checked() const { return out_.size() > limit_ ? Step::kOverflow : Step::kDone; }

  // An object met again while its own encoding is under way is a cycle. One
  // that a single reference keeps (the container it was just read from) is
  // not under way: the path to it would hold a second reference.
  bool on_path(PyObject* v) const {
    return Py_REFCNT(v) != 1 && std::find(active_.begin(), active_.end(), v) != active_.end();
  }

  // The most common leaves first (common_leaf), everything else through classify().
  Step full(PyObject* v, int depth) {
    if (depth <= kMaxDepth) [[likely]] {
      if (Step step = common_leaf(v); step != Step::kNotLeaf) {
        return step;
      }
    }
    return full_any(v, depth);
  }

  // A compact ASCII str: its characters are its UTF-8 form, stored right
  // after the object's header.
  [[gnu::always_inline]] Step ascii_text(PyObject* v) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
    const char* data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(v) + 1);
    if (n <= 16) [[likely]] {
      if (out_.size() + 1 + n > limit_) {
        return overflow_before(v);
      }
      std::uint8_t* at = out_.claim(17);
      at[0] = static_cast<std::uint8_t>(0xa0 | n);
      mp::copy_short(at + 1, data, n);
      out_.commit(1 + n);
      return Step::kDone;
    }
    if (out_.size() + mp::str_size(n) > limit_) {
      return overflow_before(v);
    }
    put_str(out_, data, n);
    return Step::kDone;
  }

  // Writes None, a bool or a leaf of the exact types most values are made of
  // (an ASCII str, an int that fits a machine word, a float); kNotLeaf for
  // anything else. These run no code and hold nothing: they need no reference.
  [[gnu::always_inline]] Step common_leaf(PyObject* v) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(v)) {
      return ascii_text(v);
    }
    if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
      put_int(out_, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)));
      return checked();
    }
    if (type == &PyFloat_Type) {
      put_double(out_, PyFloat_AS_DOUBLE(v));
      return checked();
    }
    if (v == Py_None) {
      out_.put(0xc0);
      return checked();
    }
    if (type == &PyBool_Type) {
      out_.put(v == Py_True ? 0xc3 : 0xc2);
      return checked();
    }
    return Step::kNotLeaf;
  }

  // The items of a list or tuple at a depth where no marker replaces them,
  // when no code can change the container meanwhile (no repr setting). Small
  // leaves are written through a local cursor (which the compiler keeps in a
  // register) into room claimed for a block of items, and the budget is
  // checked once per block: a value over it is noticed at most a block of
  // small leaves late, so the storage stays bounded.
  Step plain_items(PyObject* const* items, Py_ssize_t count, int depth) {
    constexpr Py_ssize_t kBlock = 64;
    PyObject* const* const last = items + count;
    while (items != last) {
      PyObject* const* const block_end = last - items > kBlock ? items + kBlock : last;
      std::uint8_t* at = out_.claim(kSmallRoom * static_cast<std::size_t>(block_end - items));
      for (; items != block_end; ++items) {
        if (std::size_t n = small_leaf(*items, at); n != 0) {
          at += n;
          continue;
        }
        out_.move_to(at);
        if (Step step = plain_nested(*items, depth); step != Step::kDone) {
          return step;
        }
        at = out_.claim(kSmallRoom * static_cast<std::size_t>(block_end - items));
      }
      out_.move_to(at);
      if (out_.size() > limit_) {
        return Step::kOverflow;
      }
    }
    return Step::kDone;
  }

  // An item of plain_items() that small_leaf() does not write.
  [[gnu::always_inline]] Step plain_nested(PyObject* v, int depth) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyList_Type || type == &PyTuple_Type) {
      PyObject* const* items = type == &PyTuple_Type ? reinterpret_cast<PyTupleObject*>(v)->ob_item
                                                     : reinterpret_cast<PyListObject*>(v)->ob_item;
      if (depth < kMaxDepth && leaf_array(items, Py_SIZE(v))) {
        return Step::kDone;  // the caller checks the budget, as for a small leaf
      }
      return full_array(v, depth);
    }
    if (type == &PyDict_Type) {
      return full_dict(v, depth);
    }
    return full(v, depth);
  }

  // Writes a short list or tuple (of at most 15 items) whose items are all
  // small leaves, and true; false, with nothing written, for any other. Such
  // a container holds no other: it cannot be part of a cycle, and its
  // encoding needs no bookkeeping.
  [[gnu::always_inline]] bool leaf_array(PyObject* const* items, Py_ssize_t count) {
    if (count > 15) {
      return false;
    }
    std::uint8_t* const start = out_.claim(1 + kSmallRoom * static_cast<std::size_t>(count));
    start[0] = static_cast<std::uint8_t>(0x90 | count);
    std::uint8_t* at = start + 1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::size_t n = small_leaf(items[i], at);
      if (n == 0) {
        return false;
      }
      at += n;
    }
    out_.move_to(at);
    return true;
  }

  // As leaf_array(), for a dict of at most 15 entries.
  bool leaf_map(PyObject* v) {
    const Py_ssize_t count = PyDict_GET_SIZE(v);
    if (count > 15) {
      return false;
    }
    std::uint8_t* const start = out_.claim(1 + 2 * kSmallRoom * static_cast<std::size_t>(count));
    start[0] = static_cast<std::uint8_t>(0x80 | count);
    std::uint8_t* at = start + 1;
    if (!each_entry(v, [&at](PyObject* key, PyObject* value) __attribute__((always_inline)) {
          const std::size_t key_size = small_leaf(key, at);
          const std::size_t value_size = key_size != 0 ? small_leaf(value, at + key_size) : 0;
          at += key_size + value_size;
          return value_size != 0;
        })) {
      return false;
    }
    out_.move_to(at);
    return true;
  }

  // An item of a container that plain_items() does not walk (with the repr
  // setting, or beyond the depth limit): the common leaves in line, the rest
  // through nested().
  [[gnu::always_inline]] Step item(PyObject* v, int depth) {
    if (depth <= kMaxDepth && !shape_) [[likely]] {
      if (Step step = common_leaf(v); step != Step::kNotLeaf) {
        return step;
      }
    }
    return nested(v, depth);
  }

  // With the repr setting an item is held while it is encoded, since repr()
  // may run code that removes it from its container; otherwise no code of the
  // program runs while a value is encoded, so the container's own reference
  // keeps it.
  [[gnu::noinline]] Step nested(PyObject* v, int depth) {
    if (repr_) {
      PyRef held = PyRef::borrow(v);
      return full_any(v, depth);
    }
    return full_any(v, depth);
  }

  // Kept out of line so that full() stays small enough to be cheap to enter.
  [[gnu::noinline]] Step full_any(PyObject* v, int depth) {
    if (shape_ && (depth > 0 || !PyDict_CheckExact(v))) [[unlikely]] {
      return shape(v, depth);
    }
    // A plain dict, the most common value that is not a leaf, without the
    // walk through the other kinds.
    if (Py_IS_TYPE(v, &PyDict_Type) && depth <= kMaxDepth) [[likely]] {
      return full_dict(v, depth);
    }
    return full_kind(v, depth);
  }

  // With `plain`, `v` is the object whose description is being written, and
  // its data is written as that of the plain type it subclasses.
  Step full_kind(PyObject* v, int depth, bool plain = false) {
    const Kind kind = classify(v, depth);
    if (!plain && !repr_ && subclass_of_plain(v, kind)) [[unlikely]] {
      Result<bool> described = subclass_described(Py_TYPE(v));
      if (!described.ok()) {
        described.take_error().restore();
        return Step::kError;
      }
      if (described.value()) {
        return full_object(v, depth);
      }
    }
    switch (kind) {
      case Kind::kNil:
        out_.put(0xc0);
        return checked();
      case Kind::kBool:
        out_.put(v == Py_True ? 0xc3 : 0xc2);
        return checked();
      case Kind::kFloat:
        put_double(out_, PyFloat_AS_DOUBLE(v));
        return checked();
      case Kind::kInt: {
        auto* number = reinterpret_cast<PyLongObject*>(v);
        if (PyUnstable_Long_IsCompact(number)) {
          put_int(out_, PyUnstable_Long_CompactValue(number));
          return checked();
        }
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
          put_int(out_, value);
          return checked();
        }
        if (overflow > 0) {
          unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
          if (!PyErr_Occurred()) {
            put_uint64(out_, unsigned_value);  // beyond the signed range
            return checked();
          }
          PyErr_Clear();
        }
        return write_text_form(v, depth);
      }
      case Kind::kStr:
        return write_text(v);
      case Kind::kBytes:
        return write_bin(v);
      case Kind::kList:
      case Kind::kTuple:
        // With `plain`, `v` is on the path as the object whose items these are.
        return plain ? array_items(v, depth) : full_array(v, depth);
      case Kind::kDict:
        return full_dict(v, depth, plain);
      case Kind::kOther:
        return repr_ ? write_text_form(v, depth) : full_object(v, depth);
      case Kind::kTooDeep:
        return write_text_form(v, depth);
    }
    return Step::kDone;
  }

  // Writes `v` as its type and size alone ("<list of 3 items>"), unless it
  // takes no more room than that: numbers, None, bools and short text.
  [[gnu::noinline]] Step shape(PyObject* v, int depth) {
    constexpr Py_ssize_t kShortText = 16;
    const Kind kind = classify(v, depth);
    Py_ssize_t size = -1;
    const char* unit = "";
    switch (kind) {
      case Kind::kNil:
      case Kind::kBool:
      case Kind::kInt:
      case Kind::kFloat:
        return full_kind(v, depth);
      case Kind::kStr:
        if (PyUnicode_GET_LENGTH(v) <= kShortText) {
          return full_kind(v, depth);
        }
        size = PyUnicode_GET_LENGTH(v);
        unit = " characters";
        break;
      case Kind::kBytes:
        size = static_cast<Py_ssize_t>(bytes_of(v).size());
        if (size <= kShortText) {
          return full_kind(v, depth);
        }
        unit = " bytes";
        break;
      case Kind::kList:
      case Kind::kTuple:
        size = Py_SIZE(v);
        unit = " items";
        break;
      case Kind::kDict:
        size = PyDict_GET_SIZE(v);
        unit = " entries";
        break;
      default:
        if (PyAnySet_Check(v)) {
          size = PySet_GET_SIZE(v);
          unit = " items";
        }
        break;
    }
    shortened_ = true;
    PyTypeObject* type = Py_TYPE(v);
    PyRef name;
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE || std::strchr(type->tp_name, '.') != nullptr) {
      Result<PyRef> full_name = type_name(type);
      if (!full_name.ok()) {
        full_name.take_error().restore();
        return Step::kError;
      }
      name = full_name.take_value();
    } else {
      name = PyRef::steal(PyUnicode_FromString(type->tp_name));
    }
    PyRef text =
        PyRef::steal(!name      ? nullptr
                     : size < 0 ? PyUnicode_FromFormat("<%U>", name.get())
                                : PyUnicode_FromFormat("<%U of %zd%s>", name.get(), size, unit));
    return text ? write_text(text.get()) : Step::kError;
  }

  // Whether `v`, of `kind`, is an instance of a subclass of a plain type.
  static bool subclass_of_plain(PyObject* v, Kind kind) {
    PyTypeObject* type = Py_TYPE(v);
    switch (kind) {
      case Kind::kDict:
        return type != &PyDict_Type;
      case Kind::kList:
        return type != &PyList_Type;
      case Kind::kTuple:
        return type != &PyTuple_Type;
      case Kind::kStr:
        return type != &PyUnicode_Type;
      case Kind::kInt:
        return type != &PyLong_Type;
      case Kind::kFloat:
        return type != &PyFloat_Type;
      case Kind::kBytes:
        return type != &PyBytes_Type && type != &PyByteArray_Type;
      default:
        return false;
    }
  }

  // ------------------------------------------------------------ leaves

  // The text that stands for `v`: the str itself, a large int's digits, a
  // description by repr(), or the marker of a value nested too deep.
  PyRef text_form(PyObject* v, int depth) {
    if (depth > kMaxDepth) {
      Result<PyRef> name = type_name(Py_TYPE(v));
      if (!name.ok()) {
        name.take_error().restore();
        return PyRef();
      }
      return PyRef::steal(PyUnicode_FromFormat("<%U nested too deep>", name.value().get()));
    }
    if (PyUnicode_Check(v)) {
      return PyRef::borrow(v);
    }
    const Py_ssize_t limit = lightweight_ ? kLightweightReprLimit : kReprLimit;
    if (PyLong_Check(v)) {
      std::size_t bits = _PyLong_NumBits(v);
      if (bits > kIntTextBits) {
        return PyRef::steal(PyUnicode_FromString(count_text("<int of ", bits, " bits>").c_str()));
      }
      return truncated(PyRef::steal(PyLong_Type.tp_repr(v)), limit);
    }
    return truncated(repr_text(v), limit);
  }

  PyRef repr_text(PyObject* v) {
    PyRef text = PyRef::steal(PyObject_Repr(v));
    if (text) {
      // A str subclass is read as the str it holds.
      return PyRef::steal(PyUnicode_Substring(text.get(), 0, PyUnicode_GET_LENGTH(text.get())));
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      return PyRef();  // an interrupt belongs to the program
    }
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    Result<PyRef> name = type_name(Py_TYPE(v));
    PyRef exc_name = PyRef::steal(PyType_GetName(Py_TYPE(exc.get())));
    if (!name.ok() || !exc_name) {
      if (!name.ok()) {
        name.take_error().restore();
      }
      return PyRef();
    }
    return PyRef::steal(
        PyUnicode_FromFormat("<%U object (repr failed: %U)>", name.value().get(), exc_name.get()));
  }

  Step write_text_form(PyObject* v, int depth) {
    PyRef text = text_form(v, depth);
    return text ? write_text(text.get()) : Step::kError;
  }

  Step write_text(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
      const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
      if (out_.size() + mp::str_size(n) > limit_) {
        return overflow_before(str);
      }
      put_str(out_, static_cast<const char*>(PyUnicode_DATA(str)), n);
      return Step::kDone;
    }
    // Every character takes a byte at least: a long text is known not to fit
    // before it is encoded.
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) >
        limit_ - std::min(limit_, out_.size())) {
      return overflow_before(str);
    }
    Py_ssize_t size = 0;
    PyRef holder;
    const char* data = utf8_of(str, size, holder);
    if (data == nullptr) {
      return Step::kError;
    }
    const auto n = static_cast<std::size_t>(size);
    if (out_.size() + mp::str_size(n) > limit_) {
      return overflow_before(str);
    }
    put_str(out_, data, n);
    return Step::kDone;
  }

  Step write_bin(PyObject* v) {
    std::string_view data = bytes_of(v);
    const std::size_t header = data.size() <= 0xff ? 2 : data.size() <= 0xffff ? 3 : 5;
    if (out_.size() + header + data.size() > limit_) {
      return overflow_before(v);
    }
    put_bin(out_, data);
    return Step::kDone;
  }

  // ------------------------------------------------------------ containers

  static Py_ssize_t item_count(PyObject* container) {
    return PyTuple_Check(container) ? PyTuple_GET_SIZE(container) : PyList_GET_SIZE(container);
  }

  [[gnu::always_inline]] Step full_array(PyObject* v, int depth) {
    if (on_path(v)) {
      put_str(out_, "[...]");
      return checked();
    }
    return array_items(v, depth);
  }

  // The items of a list or tuple, `v` being on the path or not.
  Step array_items(PyObject* v, int depth) {
    const Py_ssize_t count = item_count(v);
    put_array_header(out_, static_cast<std::size_t>(count));
    active_.push_back(v);
    Step step = Step::kDone;
    if (plain_walk_ && depth < kMaxDepth) {
      step = plain_items(PyTuple_Check(v) ? reinterpret_cast<PyTupleObject*>(v)->ob_item
                                          : reinterpret_cast<PyListObject*>(v)->ob_item,
                         count, depth + 1);
    } else {
      step = guarded_items(v, count, depth + 1);
    }
    active_.pop_back();
    return step == Step::kDone ? checked() : step;
  }

  // The items of a list or tuple one by one, each read again from the
  // container (repr() may change a list meanwhile), or replaced by markers.
  [[gnu::noinline]] Step guarded_items(PyObject* v, Py_ssize_t count, int depth) {
    Step step = Step::kDone;
    if (PyTuple_Check(v)) {
      PyObject** items = reinterpret_cast<PyTupleObject*>(v)->ob_item;
      for (Py_ssize_t i = 0; i < count && step == Step::kDone; ++i) {
        step = item(items[i], depth);
      }
    } else {
      for (Py_ssize_t i = 0; i < count && step == Step::kDone; ++i) {
        step = item(i < PyList_GET_SIZE(v) ? PyList_GET_ITEM(v, i) : Py_None, depth);
      }
    }
    return step;
  }

  // A dict's entries with the repr setting, each held while it is written
  // (repr() may change the dict meanwhile): exactly as many as the header
  // says, nil pairs if the dict shrank.
  Step repr_entries(PyObject* dict, int depth) {
    const Py_ssize_t count = PyDict_GET_SIZE(dict);
    put_map_header(out_, static_cast<std::size_t>(count));
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      if (!PyDict_Next(dict, &pos, &k, &v)) {
        k = v = Py_None;
      }
      PyRef key = PyRef::borrow(k);
      PyRef value = PyRef::borrow(v);
      if (Step step = item(key.get(), depth + 1); step != Step::kDone) {
        return step;
      }
      if (Step step = item(value.get(), depth + 1); step != Step::kDone) {
        return step;
      }
    }
    return checked();
  }

  // An object's description: `entries` hold their keys and values until it
  // is written (with the repr setting too, whatever repr() does meanwhile).
  Step described_map(const std::vector<Entry>& entries, int depth) {
    if (out_.size() == root_at_) {
      return top_entries(
          entries.size(), depth,
          [&](std::size_t i) { return described_entry(entries[i], depth + 1); },
          [&](std::size_t from) { return std::span<const Entry>(entries).subspan(from); });
    }
    put_map_header(out_, entries.size());
    for (const Entry& entry : entries) {
      if (Step step = described_entry(entry, depth + 1); step != Step::kDone) {
        return step;
      }
    }
    return checked();
  }

  [[gnu::always_inline]] Step described_entry(const Entry& entry, int depth) {
    if (Step step = item(entry.key, depth); step != Step::kDone) {
      return step;
    }
    return entry.plain ? full_kind(entry.value, depth, true) : item(entry.value, depth);
  }

  // The entries of a map at the top of a value (an object's attributes, a
  // dict, the locals): whole while the map fits its room. Once it does not,
  // the first entry that does not fit the room left and each later one get a
  // share of what is left, so that one deep attribute does not hide the
  // others: an entry is written whole if it fits its share, cut to it if that
  // leaves its value kMinRoom, and otherwise left out and counted by a
  // marker. `whole(i)` writes entry i as the map's own walk does (called for
  // each entry in order); `rest(from)` gives the entries from `from` on.
  template <class Whole, class Rest>
  Step top_entries(std::size_t count, int depth, Whole whole, Rest rest) {
    const std::size_t start = out_.size();
    put_map_header(out_, count);
    if (limit_ == kNoLimit) {
      for (std::size_t i = 0; i < count; ++i) {
        if (Step step = whole(i); step != Step::kDone) {
          return step;
        }
      }
      return Step::kDone;
    }
    // Room for the entries: the room less the largest header and the marker.
    const std::size_t marker = mp::str_size(count_text("<", count, " more entries>").size()) + 1;
    const std::size_t entries_end = out_.size() + (limit_ - start) - 5 - marker;
    Step step = Step::kDone;
    for (std::size_t i = 0; i < count && step == Step::kDone; ++i) {
      step = whole(i);
    }
    if (step == Step::kDone) {
      step = checked();
    }
    if (step != Step::kOverflow) {
      return step;
    }
    const WrittenEntry past = first_entry_past(out_, spans_, start, entries_end);
    return shared_entries(start, past, entries_end, rest(past.index), count, depth + 1);
  }

  // The map at `start`, whose entries up to `past` fit the room up to
  // `entries_end`, completed from `past` on (`from`, of `count` in all) with
  // a share each of the room left, and its header made to count those kept
  // and the marker of those left out. The value `past` wrote is used again.
  [[gnu::noinline]] Step shared_entries(std::size_t start, WrittenEntry past,
                                        std::size_t entries_end, std::span<const Entry> from,
                                        std::size_t count, int depth) {
    const std::size_t limit = limit_;
    const std::size_t root_at = root_at_;
    auto restored = [&](Step step) {
      limit_ = limit;
      root_at_ = root_at;
      return step;
    };
    shortened_ = true;
    std::size_t left = 0;
    std::size_t index = past.index;
    if (past.value_start != 0 && !from.empty()) {
      // Its key was written whole: it is kept, and its value (over the room
      // left, so over its share) is cut from what was written.
      if (past.end != WrittenEntry::kCutShort) {
        out_.shrink(past.end);  // the attempt stopped in a later entry
        pending_ = PyRef();
      }
      const std::size_t key_size = past.value_start - past.start;
      const std::size_t room = entries_end - past.start;
      const std::size_t share =
          std::min(room, std::max(room / (count - index), key_size + kMinRoom));
      ++index;
      Step step = Step::kDone;
      if (share >= key_size + kMinRoom) {
        step = reshare(from.front(), past.value_start, share - key_size, depth);
      } else {
        out_.shrink(past.start);
        ++left;
      }
      pending_ = PyRef();
      if (step != Step::kDone) {
        return restored(step);
      }
      from = from.subspan(1);
    } else {
      out_.shrink(past.start);
      pending_ = PyRef();
    }
    for (const Entry& entry : from) {
      const std::size_t entry_start = out_.size();
      // A key that does not fit the room left leaves its entry out: it is
      // written no further than that room.
      limit_ = entries_end;
      root_at_ = kNoLimit;
      Step key_step = item(entry.key, depth);
      if (key_step == Step::kDone) {
        key_step = checked();
      }
      if (key_step == Step::kOverflow) {
        out_.shrink(entry_start);
        pending_ = PyRef();
        ++left;
        ++index;
        continue;
      }
      if (key_step != Step::kDone) {
        return restored(key_step);
      }
      const std::size_t key_size = out_.size() - entry_start;
      const std::size_t room = entries_end - entry_start;
      const std::size_t share =
          std::min(room, std::max(room / (count - index), key_size + kMinRoom));
      ++index;
      Step step = Step::kOverflow;
      const std::size_t value_start = out_.size();
      if (share > key_size) {
        limit_ = value_start + (share - key_size);
        // Its map shares this room in turn, when the room is enough to be cut into.
        root_at_ = share - key_size >= kMinRoom ? value_start : kNoLimit;
        step = entry.plain ? full_kind(entry.value, depth, true) : item(entry.value, depth);
        if (step == Step::kDone) {
          step = checked();
        }
      }
      if (step == Step::kOverflow && share >= key_size + kMinRoom) {
        step = cut_written(out_, spans_, value_start, share - key_size, pending_.get())
                   ? Step::kDone
                   : Step::kError;
      } else if (step == Step::kOverflow) {
        out_.shrink(entry_start);
        ++left;
        step = Step::kDone;
      }
      pending_ = PyRef();
      if (step != Step::kDone) {
        return restored(step);
      }
    }
    restored(Step::kDone);
    if (left > 0) {
      put_str(out_, count_text("<", left, " more entries>"));
      out_.put(0xc0);
    }
    // The header counts the entries kept and the marker; it may now be shorter.
    std::uint8_t header[5];
    const std::size_t old_size = mp::map_header_at(header, count);
    const std::size_t header_size = mp::map_header_at(header, count - left + (left > 0 ? 1 : 0));
    std::memmove(out_.data() + start + header_size, out_.data() + start + old_size,
                 out_.size() - start - old_size);
    std::memcpy(out_.data() + start, header, header_size);
    out_.shrink(out_.size() - (old_size - header_size));
    return Step::kDone;
  }

  // The cut form in `room` of the value of `entry` (at `depth`), from what an
  // attempt with more room wrote at `at`: as a value given that room is cut
  // (its map sharing it), without walking again what was written whole.
  [[gnu::noinline]] Step reshare(const Entry& entry, std::size_t at, std::size_t room, int depth) {
    const std::uint8_t tag = out_.data()[at];
    const bool map = (tag >= 0x80 && tag <= 0x8f) || tag == 0xde || tag == 0xdf;
    PyObject* v = entry.value;
    bool as_dict = PyDict_Check(v) != 0;
    if (as_dict && !entry.plain && !PyDict_CheckExact(v)) {
      Result<bool> described = subclass_described(Py_TYPE(v));
      if (!described.ok()) {
        described.take_error().restore();
        return Step::kError;
      }
      as_dict = !described.value();
    }
    if (!map || shape_ || (repr_ && as_dict)) {
      // Not a map, or a dict that repr() may have changed since: cut as written.
      return cut_written(out_, spans_, at, room, pending_.get()) ? Step::kDone : Step::kError;
    }
    const std::size_t level = active_.size();
    if (described_.size() <= level) {
      described_.resize(level + 1);
    }
    std::vector<Entry>& entries = described_[level];
    entries.clear();
    if (as_dict) {
      Py_ssize_t pos = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(v, &pos, &key, &value)) {
        entries.push_back(Entry::in_place(key, value));
      }
    } else if (Status s = describe_object(v, lightweight_, entries); !s.ok()) {
      entries.clear();
      s.take_error().restore();
      return Step::kError;
    }
    const std::size_t count = entries.size();
    std::uint8_t header[5];
    const std::size_t header_size = mp::map_header_at(header, count);
    const std::size_t marker = mp::str_size(count_text("<", count, " more entries>").size()) + 1;
    const std::size_t entries_end = at + header_size + room - 5 - marker;
    active_.push_back(v);
    const WrittenEntry past = first_entry_past(out_, spans_, at, entries_end);
    const Step step =
        shared_entries(at, past, entries_end, std::span<const Entry>(entries).subspan(past.index),
                       count, depth + 1);
    active_.pop_back();
    entries.clear();
    return step;
  }

  Step full_dict(PyObject* v, int depth, bool again = false) {
    if (out_.size() == root_at_) [[unlikely]] {
      return top_dict(v, depth);
    }
    if (depth < kMaxDepth && leaf_map(v)) {
      return checked();
    }
    if (!again && on_path(v)) {
      put_str(out_, "{...}");
      return checked();
    }
    active_.push_back(v);
    Step step = repr_ ? repr_entries(v, depth) : full_entries(v, depth);
    active_.pop_back();
    return step;
  }

  // A dict that is the value itself, through top_entries(). With the repr
  // setting, entries are held while written and a dict that shrank meanwhile
  // gives nil pairs, as repr_entries() writes.
  [[gnu::noinline]] Step top_dict(PyObject* v, int depth) {
    const std::size_t count = static_cast<std::size_t>(PyDict_GET_SIZE(v));
    Py_ssize_t pos = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
      if (!PyDict_Next(v, &pos, &key, &value)) {
        key = value = Py_None;
      }
    };
    std::vector<Entry> rest;  // filled only when the dict is cut
    active_.push_back(v);
    const Step step = top_entries(
        count, depth,
        [&](std::size_t) {
          PyObject* key = nullptr;
          PyObject* value = nullptr;
          next(key, value);
          if (plain_walk_ && depth < kMaxDepth) {
            return plain_entry(key, value, depth + 1);
          }
          PyRef held_key = PyRef::borrow(key);
          PyRef held_value = PyRef::borrow(value);
          const Step written = item(held_key.get(), depth + 1);
          return written == Step::kDone ? item(held_value.get(), depth + 1) : written;
        },
        [&](std::size_t from) {
          pos = 0;
          for (std::size_t i = 0; i < count; ++i) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            next(key, value);
            if (i >= from) {
              rest.push_back(Entry::held(PyRef::borrow(key), PyRef::borrow(value)));
            }
          }
          return std::span<const Entry>(rest);
        });
    active_.pop_back();
    return step;
  }

  // A dict's entries read in place: without the repr setting no code runs
  // while they are encoded (see nested()), so the dict cannot change.
  Step full_entries(PyObject* v, int depth) {
    put_map_header(out_, static_cast<std::size_t>(PyDict_GET_SIZE(v)));
    Step step = Step::kDone;
    if (depth >= kMaxDepth || !plain_walk_) {
      each_entry(v, [&](PyObject* key, PyObject* value) {
        step = item(key, depth + 1);
        if (step == Step::kDone) {
          step = item(value, depth + 1);
        }
        return step == Step::kDone;
      });
      return step == Step::kDone ? checked() : step;
    }
    each_entry(v, [&](PyObject* key, PyObject* value) __attribute__((always_inline)) {
      step = plain_entry(key, value, depth + 1);
      return step == Step::kDone;
    });
    return step;
  }

  // One entry of a map whose items are at `depth`, as plain_items() writes
  // items, with a budget check per entry.
  [[gnu::always_inline]] Step plain_entry(PyObject* key, PyObject* value, int depth) {
    std::uint8_t* at = out_.claim(2 * kSmallRoom);
    if (std::size_t n = small_leaf(key, at); n != 0) {
      at += n;
    } else {
      out_.move_to(at);
      if (Step step = plain_nested(key, depth); step != Step::kDone) {
        return step;
      }
      at = out_.claim(kSmallRoom);
    }
    if (std::size_t n = small_leaf(value, at); n != 0) {
      out_.move_to(at + n);
    } else {
      out_.move_to(at);
      if (Step step = plain_nested(value, depth); step != Step::kDone) {
        return step;
      }
    }
    return out_.size() > limit_ ? Step::kOverflow : Step::kDone;
  }

  Step full_object(PyObject* v, int depth) {
    if (on_path(v)) {
      put_str(out_, "{...}");
      return checked();
    }
    // One list of entries per level of nesting, kept from object to object: a
    // list of dates or records allocates nothing per item.
    const std::size_t level = active_.size();
    if (described_.size() <= level) {
      described_.resize(level + 1);  // a deque: the outer levels' lists stay put
    }
    std::vector<Entry>& entries = described_[level];
    entries.clear();
    if (Status s = describe_object(v, lightweight_, entries); !s.ok()) {
      entries.clear();
      s.take_error().restore();
      return Step::kError;
    }
    active_.push_back(v);
    Step step = described_map(entries, depth);
    active_.pop_back();
    entries.clear();  // the references go now, not at the next object
    return step;
  }

  Sink& out_;
  std::vector<Span>& spans_;
  // The leaf at which the attempt stopped without writing it.
  PyRef pending_;
  const bool lightweight_;
  const bool repr_;
  const bool shape_;
  // Neither repr() nor shapes: items are read straight from their containers.
  const bool plain_walk_;
  bool shortened_ = false;
  std::size_t limit_ = kNoLimit;
  // Where the value given the current room starts: a map written there shares
  // that room among its entries (top_entries()).
  std::size_t root_at_ = kNoLimit;
  // The containers being encoded, outermost first: meeting one again is a cycle.
  std::vector<PyObject*>& active_;
  std::deque<std::vector<Entry>>& described_;
};

}  // namespace

namespace {

// The storage of a thread's encoder, reused by every value the thread encodes
// so that encoding allocates nothing once it has grown.
struct Scratch {
  ByteBuffer bytes;
  std::vector<Span> spans;
  std::vector<PyObject*> active;
  std::deque<std::vector<Entry>> described;
  // The size of the last encoding that moved to a bytes object: the room the
  // next one starts with.
  std::size_t moved_size = 0;
  bool in_use = false;
};

// An encoding returned as bytes moves to its own bytes object beyond this.
constexpr std::size_t kMoveAt = 4096;

// Runs `run(encoder, room)` and hands the output to `take` (as a Sink holding
// the bytes written): kDone, kError with an exception set (the encoder's or
// take's), or what `run` returned otherwise.
// With a `target`, the output goes straight after its bytes and `take` sees
// it there; `target` is left as it was unless the step is kDone.
template <class Run, class Take>
Step encode_with(Scratch& scratch, bool lightweight, const ValueSettings& settings,
                 std::size_t move_at, Run run, Take take, ByteBuffer* target) {
  struct InUse {  // also when an allocation fails
    Scratch& scratch;
    explicit InUse(Scratch& s) : scratch(s) { scratch.in_use = true; }
    ~InUse() { scratch.in_use = false; }
  } in_use(scratch);
  scratch.active.clear();
  const std::size_t base = target != nullptr ? target->size() : 0;
  Sink out(target != nullptr ? *target : scratch.bytes, move_at, scratch.moved_size,
           target != nullptr);
  Encoder encoder(out, scratch.spans, scratch.active, scratch.described, lightweight, settings);
  Step step = Step::kError;
  try {
    step = run(encoder, std::max(settings.budget, kMinRoom));
  } catch (...) {
    if (target != nullptr) {
      out.end_append(base);
    }
    for (std::vector<Entry>& entries : scratch.described) {
      entries.clear();  // no object outlives the value because of tavo
    }
    throw;
  }
  if (out.moved()) {
    scratch.moved_size = out.size();
  }
  if (target != nullptr) {
    out.end_append(step == Step::kDone ? out.size() : base);
  }
  if (step == Step::kDone && !take(out)) {
    step = Step::kError;
  }
  if (step == Step::kDone && settings.shortened != nullptr && encoder.shortened()) {
    ++*settings.shortened;
  }
  // A value far above the budget leaves no lasting large buffer behind.
  if (scratch.bytes.size() > 4 * std::max(settings.budget, std::size_t{1} << 16)) {
    ByteBuffer().swap(scratch.bytes);
    std::vector<Span>().swap(scratch.spans);
  }
  return step;
}

// encode_with() on this thread's storage, or on a new one while that is in
// use (repr() calling the encoder).
template <class Run, class Take>
Step encode_on_scratch(bool lightweight, const ValueSettings& settings, std::size_t move_at,
                       Run run, Take take, ByteBuffer* target = nullptr) {
  thread_local Scratch shared;
  if (!shared.in_use) {
    return encode_with(shared, lightweight, settings, move_at, run, take, target);
  }
  Scratch own;
  return encode_with(own, lightweight, settings, move_at, run, take, target);
}

// One whole value through encode_on_scratch(); false with an exception set.
template <class Take>
bool encode_then(PyObject* value, bool lightweight, const ValueSettings& settings,
                 std::size_t move_at, Take take) {
  auto run = [value](Encoder& encoder, std::size_t room) { return encoder.fit(value, 0, room); };
  return encode_on_scratch(lightweight, settings, move_at, run, take) == Step::kDone;
}

}  // namespace

Status encode_value(PyObject* value, bool lightweight, const ValueSettings& settings,
                    ByteBuffer& out) {
  // A lone small leaf (an argument or a return value, mostly) needs no encoder.
  std::uint8_t leaf[Encoder::kSmallRoom];
  if (std::size_t n = Encoder::small_leaf(value, leaf); n != 0) {
    append_bytes(out, leaf, n);
    return Status::success();
  }
  // Written straight into the record: no copy of the bytes.
  auto run = [value](Encoder& encoder, std::size_t room) { return encoder.fit(value, 0, room); };
  if (encode_on_scratch(
          lightweight, settings, kNoLimit, run, [](Sink&) { return true; }, &out) != Step::kDone) {
    return PyError::fetch();
  }
  return Status::success();
}

PyObject* encode_to_bytes(PyObject* value, bool lightweight, const ValueSettings& settings) {
  std::uint8_t leaf[Encoder::kSmallRoom];
  if (std::size_t n = Encoder::small_leaf(value, leaf); n != 0) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(leaf),
                                     static_cast<Py_ssize_t>(n));
  }
  PyObject* result = nullptr;
  encode_then(value, lightweight, settings, kMoveAt, [&result](Sink& sink) {
    result = sink.moved() ? sink.take_bytes().release()
                          : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(sink.data()),
                                                      static_cast<Py_ssize_t>(sink.size()));
    return result != nullptr;
  });
  return result;
}

Result<bool> encode_map(std::span<const std::pair<PyObject*, PyObject*>> entries, bool lightweight,
                        const ValueSettings& settings, ByteBuffer& out) {
  if (settings.repr) {
    return false;  // repr() may run code that changes what the entries borrow
  }
  // Most frames' variables are all small leaves under short names: written in
  // one pass into room made at once, without the encoder and its storage.
  constexpr std::size_t kSmallEntries = 64;
  const std::size_t count = entries.size();
  const std::size_t bound = 3 + 2 * Encoder::kSmallRoom * count;
  if (count <= kSmallEntries && bound <= std::max(settings.budget, kMinRoom)) {
    const std::size_t start = out.size();
    out.resize(start + bound);
    std::uint8_t* at = out.data() + start;
    at += mp::map_header_at(at, count);
    bool small = true;
    for (auto [key, value] : entries) {
      const std::size_t key_size = Encoder::small_leaf(key, at);
      const std::size_t value_size = key_size != 0 ? Encoder::small_leaf(value, at + key_size) : 0;
      if (value_size == 0) {
        small = false;
        break;
      }
      at += key_size + value_size;
    }
    if (small) {
      out.resize(static_cast<std::size_t>(at - out.data()));
      return true;
    }
    out.resize(start);
  }
  if (settings.shape_only) {
    return false;  // the dict's own encoding writes the shapes
  }
  auto run = [entries](Encoder& encoder, std::size_t room) { return encoder.map(entries, room); };
  // Written straight into the record.
  if (encode_on_scratch(
          lightweight, settings, kNoLimit, run, [](Sink&) { return true; }, &out) != Step::kDone) {
    return PyError::fetch();
  }
  return true;
}

}  // namespace tavo::values
