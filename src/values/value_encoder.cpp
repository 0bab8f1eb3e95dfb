#include "values/value_encoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interop/dict_internals.hpp"
#include "values/object_view.hpp"

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

// The encoder's output: bytes written at a cursor into storage that only
// grows, so that the hot path is a pointer comparison and a copy. Cut forms
// move back (shrink) and rearrange what was written (data). The storage is
// the thread's reusable buffer; an encoding returned as bytes that grows past
// `move_at` moves to a bytes object and continues there, so that a large
// value is not copied once more at the end.
class Sink {
 public:
  // Writes from the start of `storage` (scratch), or, with `append`, after
  // the bytes it holds (a record being made); `storage` is then sized to
  // what was written by end_append().
  Sink(ByteBuffer& storage, std::size_t move_at, std::size_t bytes_hint, bool append = false)
      : buf_(storage), move_at_(move_at), bytes_hint_(bytes_hint) {
    const std::size_t pos = append ? buf_.size() : 0;
    if (append) {
      buf_.resize(buf_.capacity());  // the room the record has already: no fill, no move
    }
    rebase(buf_.data(), pos, buf_.size());
  }
  void end_append(std::size_t size) { buf_.resize(size); }
  std::size_t size() const { return static_cast<std::size_t>(cur_ - begin_); }
  void shrink(std::size_t n) { cur_ = begin_ + n; }
  std::uint8_t* data() { return begin_; }
  void put(std::uint8_t byte) {
    *claim(1) = byte;
    ++cur_;
  }
  void put(const void* data, std::size_t n) {
    std::memcpy(claim(n), data, n);
    cur_ += n;
  }
  void put(std::string_view text) { put(text.data(), text.size()); }
  // Room for `n` more bytes at the cursor; `commit` then counts those written.
  std::uint8_t* claim(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) [[unlikely]] {
      grow(n);
    }
    return cur_;
  }
  void commit(std::size_t n) { cur_ += n; }
  // Appends `n` bytes written earlier from `from`.
  void put_from(std::size_t from, std::size_t n) {
    std::uint8_t* at = claim(n);
    std::memmove(at, begin_ + from, n);
    cur_ += n;
  }
  // Sets the cursor after bytes written into room that `claim` made.
  void move_to(std::uint8_t* at) { cur_ = at; }
  // The bytes object the output moved to, cut to the bytes written; null if
  // it did not move (or on error, with an exception set).
  PyRef take_bytes() {
    if (!bytes_) {
      return PyRef();
    }
    PyObject* raw = bytes_.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size())) != 0) {
      return PyRef();
    }
    return PyRef::steal(raw);
  }
  bool moved() const { return static_cast<bool>(bytes_); }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t pos = size();
    const std::size_t want = std::max(2 * static_cast<std::size_t>(end_ - begin_), pos + n + 256);
    if (bytes_) {
      PyObject* raw = bytes_.release();
      if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(want)) != 0) {
        throw std::bad_alloc();
      }
      bytes_ = PyRef::steal(raw);
      rebase(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(raw)), pos, want);
    } else if (pos + n > move_at_) {
      const std::size_t room = std::max(want, bytes_hint_ + bytes_hint_ / 4);
      bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
      if (!bytes_) {
        throw std::bad_alloc();
      }
      auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
      std::memcpy(data, begin_, pos);
      rebase(data, pos, room);
    } else {
      if (buf_.size() < want) {
        buf_.resize(want);
      }
      rebase(buf_.data(), pos, buf_.size());
    }
  }
  void rebase(std::uint8_t* data, std::size_t pos, std::size_t capacity) {
    begin_ = data;
    cur_ = begin_ + pos;
    end_ = begin_ + (bytes_ ? capacity : std::min(capacity, move_at_));
  }
  ByteBuffer& buf_;
  const std::size_t move_at_;
  const std::size_t bytes_hint_;
  PyRef bytes_;
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* cur_ = nullptr;
  std::uint8_t* end_ = nullptr;
};

// Writes `tag` then the low `bytes` bytes of `value`, big-endian.
std::size_t put_be(std::uint8_t* dst, std::uint8_t tag, std::uint64_t value, int bytes) {
  dst[0] = tag;
  switch (bytes) {
    case 1:
      dst[1] = static_cast<std::uint8_t>(value);
      break;
    case 2: {
      const std::uint16_t be = __builtin_bswap16(static_cast<std::uint16_t>(value));
      std::memcpy(dst + 1, &be, 2);
      break;
    }
    case 4: {
      const std::uint32_t be = __builtin_bswap32(static_cast<std::uint32_t>(value));
      std::memcpy(dst + 1, &be, 4);
      break;
    }
    default: {
      const std::uint64_t be = __builtin_bswap64(value);
      std::memcpy(dst + 1, &be, 8);
      break;
    }
  }
  return 1 + static_cast<std::size_t>(bytes);
}

// Writes `value` in its smallest form at `at` (9 bytes of room); returns the bytes written.
[[gnu::always_inline]] inline std::size_t int_bytes(std::uint8_t* at, long long value) {
  const auto bits = static_cast<std::uint64_t>(value);
  if (value >= 0) {
    return bits <= 0x7f            ? (at[0] = static_cast<std::uint8_t>(bits), 1)
           : bits <= 0xff          ? put_be(at, 0xcc, bits, 1)
           : bits <= 0xffff        ? put_be(at, 0xcd, bits, 2)
           : bits <= 0xffffffffULL ? put_be(at, 0xce, bits, 4)
                                   : put_be(at, 0xcf, bits, 8);
  }
  return value >= -32             ? (at[0] = static_cast<std::uint8_t>(bits), 1)
         : value >= -128          ? put_be(at, 0xd0, bits, 1)
         : value >= -32768        ? put_be(at, 0xd1, bits, 2)
         : value >= -2147483648LL ? put_be(at, 0xd2, bits, 4)
                                  : put_be(at, 0xd3, bits, 8);
}

// As int_bytes(), for 0 < value < 2**30.
[[gnu::always_inline]] inline std::size_t digit_bytes(std::uint8_t* at, std::uint32_t value) {
  return value <= 0x7f     ? (at[0] = static_cast<std::uint8_t>(value), 1)
         : value <= 0xff   ? put_be(at, 0xcc, value, 1)
         : value <= 0xffff ? put_be(at, 0xcd, value, 2)
                           : put_be(at, 0xce, value, 4);
}

[[gnu::always_inline]] inline void put_int(Sink& out, long long value) {
  out.commit(int_bytes(out.claim(9), value));
}

inline void put_double(Sink& out, double value) {
  out.commit(put_be(out.claim(9), 0xcb, std::bit_cast<std::uint64_t>(value), 8));
}

// A header of the form fix_base + n, or tag16 / tag32 with the count.
[[gnu::always_inline]] inline void put_count(Sink& out, std::size_t count, std::uint8_t fix_base,
                                             std::uint8_t tag16, std::uint8_t tag32) {
  std::uint8_t* at = out.claim(5);
  if (count <= 15) {
    at[0] = static_cast<std::uint8_t>(fix_base + count);
    out.commit(1);
    return;
  }
  out.commit(count <= 0xffff ? put_be(at, tag16, count, 2) : put_be(at, tag32, count, 4));
}

// Copies n <= 16 bytes with a few fixed-size moves instead of a call of memcpy
// (most keys and short texts).
inline void copy_short(std::uint8_t* to, const char* from, std::size_t n) {
  if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = static_cast<std::uint8_t>(from[0]);
    to[n / 2] = static_cast<std::uint8_t>(from[n / 2]);
    to[n - 1] = static_cast<std::uint8_t>(from[n - 1]);
  }
}

inline void put_str(Sink& out, const char* data, std::size_t n) {
  std::uint8_t* at = out.claim(n + 5);
  std::size_t header = 1;
  if (n <= 31) {
    at[0] = static_cast<std::uint8_t>(0xa0 | n);
  } else {
    header = n <= 0xff     ? put_be(at, 0xd9, n, 1)
             : n <= 0xffff ? put_be(at, 0xda, n, 2)
                           : put_be(at, 0xdb, n, 4);
  }
  if (n <= 16) {
    copy_short(at + header, data, n);
  } else {
    std::memcpy(at + header, data, n);
  }
  out.commit(header + n);
}

void put_str(Sink& out, std::string_view text) { put_str(out, text.data(), text.size()); }

void put_uint(Sink& out, std::uint64_t value) { out.commit(put_be(out.claim(9), 0xcf, value, 8)); }

std::size_t str_header_size(std::size_t n) {
  return n <= 31 ? 1 : n <= 0xff ? 2 : n <= 0xffff ? 3 : 5;
}

std::size_t text_cost(std::size_t n) { return str_header_size(n) + n; }

std::string count_text(const char* before, std::size_t count, const char* after) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
  return std::string(before) + std::string(digits, end) + after;
}

// Bytes of a UTF-8 sequence from its first byte.
std::size_t utf8_width(std::uint8_t first) {
  return first < 0x80 ? 1 : first < 0xe0 ? 2 : first < 0xf0 ? 3 : 4;
}

// The UTF-8 form of a str: its own buffer, or (for lone surrogates) a copy
// with those escaped, held by `holder`. Null data with an exception set on error.
const char* utf8_of(PyObject* str, Py_ssize_t& size, PyRef& holder) {
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) {
    return data;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    return nullptr;
  }
  PyErr_Clear();
  holder = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!holder) {
    return nullptr;
  }
  size = PyBytes_GET_SIZE(holder.get());
  return PyBytes_AS_STRING(holder.get());
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

// Where a container written by a value's attempt ends, and the index of the
// first container after it, in the order of their starts.
struct Span {
  std::size_t end;
  std::size_t after;
};

class Encoder {
 public:
  Encoder(Sink& out, std::vector<Span>& spans, std::vector<PyObject*>& active, bool lightweight,
          bool repr)
      : out_(out), spans_(spans), lightweight_(lightweight), repr_(repr), active_(active) {}

  // Appends `v` if its encoding takes at most `room` bytes, else its cut form.
  Step fit(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    pending_ = PyRef();
    Step step = attempt(v, depth, room);
    if (step == Step::kOverflow) {
      step = recut_written(start, room);
    }
    pending_ = PyRef();
    return step;
  }

  // The map of `entries` as full_dict() writes a dict holding them at the
  // top level (its entries as full_entries() does), if it takes at most
  // `room` bytes; otherwise kOverflow, with no cut form: that is the dict's.
  Step whole_map(std::span<const std::pair<PyObject*, PyObject*>> entries, std::size_t room) {
    limit_ = room > kNoLimit - out_.size() ? kNoLimit : out_.size() + room;
    put_count(out_, entries.size(), 0x80, 0xde, 0xdf);
    Step step = Step::kDone;
    for (auto [key, value] : entries) {
      if (step = plain_entry(key, value, 1); step != Step::kDone) {
        break;
      }
    }
    limit_ = kNoLimit;
    pending_ = PyRef();
    return step;
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
        return digit_bytes(at, number->long_value.ob_digit[0]);
      }
      if (PyUnstable_Long_IsCompact(number)) {
        return int_bytes(at, PyUnstable_Long_CompactValue(number));
      }
      return 0;
    }
    if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(v)) {
      const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
      if (n > 16) {
        return 0;
      }
      at[0] = static_cast<std::uint8_t>(0xa0 | n);
      copy_short(at + 1, reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(v) + 1), n);
      return 1 + n;
    }
    if (type == &PyFloat_Type) {
      return put_be(at, 0xcb, std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(v)), 8);
    }
    if (v == Py_None || type == &PyBool_Type) {
      at[0] = v == Py_None ? 0xc0 : v == Py_True ? 0xc3 : 0xc2;
      return 1;
    }
    return 0;
  }

 private:
  // The full encoding of `v` if it takes at most `room` bytes; otherwise
  // kOverflow with what was written kept for the cut form: whole items, and
  // containers cut short inside the one being written (see overflow_before).
  Step attempt(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    limit_ = room > kNoLimit - start ? kNoLimit : start + room;
    Step step = full(v, depth);
    limit_ = kNoLimit;
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
      copy_short(at + 1, data, n);
      out_.commit(1 + n);
      return Step::kDone;
    }
    if (out_.size() + text_cost(n) > limit_) {
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
    if (depth <= kMaxDepth) [[likely]] {
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
    switch (classify(v, depth)) {
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
            put_uint(out_, unsigned_value);  // beyond the signed range
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
        return full_array(v, depth);
      case Kind::kDict:
        return full_dict(v, depth);
      case Kind::kOther:
        return repr_ ? write_text_form(v, depth) : full_object(v, depth);
      case Kind::kTooDeep:
        return write_text_form(v, depth);
    }
    return Step::kDone;
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
      if (out_.size() + text_cost(n) > limit_) {
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
    if (out_.size() + text_cost(n) > limit_) {
      return overflow_before(str);
    }
    put_str(out_, data, n);
    return Step::kDone;
  }

  static std::string_view bytes_of(PyObject* v) {
    if (PyBytes_Check(v)) {
      return {PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v))};
    }
    return {PyByteArray_AS_STRING(v), static_cast<std::size_t>(PyByteArray_GET_SIZE(v))};
  }

  void write_bin_data(std::string_view data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    if (n <= 0xff) {
      out_.put(0xc4);
      out_.put(static_cast<std::uint8_t>(n));
    } else if (n <= 0xffff) {
      out_.put(0xc5);
      out_.put(static_cast<std::uint8_t>(n >> 8));
      out_.put(static_cast<std::uint8_t>(n));
    } else {
      out_.put(0xc6);
      for (int shift = 24; shift >= 0; shift -= 8) {
        out_.put(static_cast<std::uint8_t>(n >> shift));
      }
    }
    out_.put(data);
  }

  Step write_bin(PyObject* v) {
    std::string_view data = bytes_of(v);
    const std::size_t header = data.size() <= 0xff ? 2 : data.size() <= 0xffff ? 3 : 5;
    if (out_.size() + header + data.size() > limit_) {
      return overflow_before(v);
    }
    write_bin_data(data);
    return Step::kDone;
  }

  // ------------------------------------------------------------ containers

  static Py_ssize_t item_count(PyObject* container) {
    return PyTuple_Check(container) ? PyTuple_GET_SIZE(container) : PyList_GET_SIZE(container);
  }

  Step full_array(PyObject* v, int depth) {
    if (on_path(v)) {
      put_str(out_, "[...]");
      return checked();
    }
    const Py_ssize_t count = item_count(v);
    put_count(out_, static_cast<std::size_t>(count), 0x90, 0xdc, 0xdd);
    active_.push_back(v);
    Step step = Step::kDone;
    if (!repr_ && depth < kMaxDepth) {
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

  // Walks a dict's entries from its storage, exactly `count` of them (nil
  // pairs if it shrank meanwhile).
  struct DictEntries {
    PyObject* dict;
    Py_ssize_t pos = 0;
    bool next(PyRef& key, PyRef& value) {
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      if (PyDict_Next(dict, &pos, &k, &v)) {
        key = PyRef::borrow(k);
        value = PyRef::borrow(v);
      } else {
        key = PyRef::borrow(Py_None);
        value = PyRef::borrow(Py_None);
      }
      return true;
    }
  };

  struct VectorEntries {
    std::vector<Entry>& entries;
    std::size_t index = 0;
    bool next(PyRef& key, PyRef& value) {
      const Entry& entry = entries[index++];
      key = entry.key.clone();
      value = entry.value.clone();
      return true;
    }
  };

  template <class Entries>
  Step full_map(Entries entries, Py_ssize_t count, int depth) {
    put_count(out_, static_cast<std::size_t>(count), 0x80, 0xde, 0xdf);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyRef key;
      PyRef value;
      entries.next(key, value);
      if (Step step = full(key.get(), depth + 1); step != Step::kDone) {
        return step;
      }
      if (Step step = full(value.get(), depth + 1); step != Step::kDone) {
        return step;
      }
    }
    return checked();
  }

  Step full_dict(PyObject* v, int depth) {
    if (depth < kMaxDepth && leaf_map(v)) {
      return checked();
    }
    if (on_path(v)) {
      put_str(out_, "{...}");
      return checked();
    }
    active_.push_back(v);
    Step step =
        repr_ ? full_map(DictEntries{v}, PyDict_GET_SIZE(v), depth) : full_entries(v, depth);
    active_.pop_back();
    return step;
  }

  // A dict's entries read in place: without the repr setting no code runs
  // while they are encoded (see nested()), so the dict cannot change.
  Step full_entries(PyObject* v, int depth) {
    put_count(out_, static_cast<std::size_t>(PyDict_GET_SIZE(v)), 0x80, 0xde, 0xdf);
    Step step = Step::kDone;
    if (depth >= kMaxDepth) {
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
    std::vector<Entry> entries;
    entries.reserve(8);  // one allocation for most objects
    if (Status s = describe_object(v, lightweight_, entries); !s.ok()) {
      s.take_error().restore();
      return Step::kError;
    }
    active_.push_back(v);
    Step step = full_map(VectorEntries{entries}, static_cast<Py_ssize_t>(entries.size()), depth);
    active_.pop_back();
    return step;
  }

  // ------------------------------------------------------------ cut forms
  //
  // A value over its room is cut from what its bounded attempt wrote, walked
  // once: the cut form of a container keeps the items already written whole
  // that fit in its own room, and cuts the first one that does not into the
  // room left, which is written (at least in part) or is the pending leaf.

  // The form of the item written at `at`, read from its header.
  enum class Form { kLeaf, kStr, kBin, kArray, kMap };
  struct Head {
    Form form;
    std::size_t header;  // bytes of the header (all of a leaf's)
    std::size_t length;  // bytes of text or data, items of an array, entries of a map
  };

  static std::size_t read_be(const std::uint8_t* at, int bytes) {
    std::size_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value = value << 8 | at[i];
    }
    return value;
  }

  static Head read_head(const std::uint8_t* at) {
    const std::uint8_t tag = at[0];
    if (tag <= 0x7f || tag >= 0xe0) {
      return {Form::kLeaf, 1, 0};
    }
    if (tag <= 0x8f) {
      return {Form::kMap, 1, tag & 0x0fU};
    }
    if (tag <= 0x9f) {
      return {Form::kArray, 1, tag & 0x0fU};
    }
    if (tag <= 0xbf) {
      return {Form::kStr, 1, tag & 0x1fU};
    }
    switch (tag) {
      case 0xc4:
      case 0xc5:
      case 0xc6: {
        const int bytes = 1 << (tag - 0xc4);
        return {Form::kBin, 1 + static_cast<std::size_t>(bytes), read_be(at + 1, bytes)};
      }
      case 0xd9:
      case 0xda:
      case 0xdb: {
        const int bytes = 1 << (tag - 0xd9);
        return {Form::kStr, 1 + static_cast<std::size_t>(bytes), read_be(at + 1, bytes)};
      }
      case 0xdc:
      case 0xdd:
        return {Form::kArray, tag == 0xdc ? 3U : 5U, read_be(at + 1, tag == 0xdc ? 2 : 4)};
      case 0xde:
      case 0xdf:
        return {Form::kMap, tag == 0xde ? 3U : 5U, read_be(at + 1, tag == 0xde ? 2 : 4)};
      case 0xcc:
      case 0xd0:
        return {Form::kLeaf, 2, 0};
      case 0xcd:
      case 0xd1:
        return {Form::kLeaf, 3, 0};
      case 0xce:
      case 0xd2:
        return {Form::kLeaf, 5, 0};
      case 0xcb:
      case 0xcf:
      case 0xd3:
        return {Form::kLeaf, 9, 0};
      default:
        return {Form::kLeaf, 1, 0};  // nil, false, true
    }
  }

  static constexpr std::size_t kCutShort = std::numeric_limits<std::size_t>::max();

  // The bytes of an item that its first byte tells (numbers, nil, bools and
  // short texts); 0 for the others.
  static constexpr std::array<std::uint8_t, 256> kFixedSize = [] {
    std::array<std::uint8_t, 256> size{};
    for (int tag = 0; tag < 256; ++tag) {
      if (tag <= 0x7f || tag >= 0xe0) {
        size[tag] = 1;
      } else if (tag >= 0xa0 && tag <= 0xbf) {
        size[tag] = static_cast<std::uint8_t>(1 + (tag & 0x1f));
      }
    }
    size[0xc0] = size[0xc2] = size[0xc3] = 1;
    size[0xcc] = size[0xd0] = 2;
    size[0xcd] = size[0xd1] = 3;
    size[0xce] = size[0xd2] = 5;
    size[0xcb] = size[0xcf] = size[0xd3] = 9;
    return size;
  }();

  // Records the end of each container written from `pos` on, in the order of
  // their starts (kCutShort for one the attempt left unfinished); returns the
  // end of the item at `pos`, or kCutShort.
  std::size_t index_item(std::size_t pos, std::size_t end) {
    const Head head = read_head(out_.data() + pos);
    if (head.form != Form::kArray && head.form != Form::kMap) {
      return pos + head.header + head.length;
    }
    const std::size_t slot = spans_.size();
    spans_.push_back({kCutShort, 0});
    const std::size_t items = head.form == Form::kMap ? 2 * head.length : head.length;
    std::size_t at = pos + head.header;
    for (std::size_t i = 0; i < items; ++i) {
      if (at >= end) {
        at = kCutShort;
        break;
      }
      if (const std::uint8_t size = kFixedSize[out_.data()[at]]; size != 0) {
        at += size;  // the most common items, in line
        continue;
      }
      if (at = index_item(at, end); at == kCutShort) {
        break;
      }
    }
    spans_[slot] = {at, spans_.size()};
    return at;
  }

  // The end of the item at `pos` (kCutShort if not all of it was written),
  // moving `span` past the containers in it.
  std::size_t item_end(std::size_t pos, std::size_t end, std::size_t& span) {
    if (pos >= end) {
      return kCutShort;
    }
    if (const std::uint8_t size = kFixedSize[out_.data()[pos]]; size != 0) {
      return pos + size;
    }
    const Head head = read_head(out_.data() + pos);
    if (head.form != Form::kArray && head.form != Form::kMap) {
      return pos + head.header + head.length;
    }
    const Span found = spans_[span];
    span = found.after;
    return found.end;
  }

  // Replaces what the attempt wrote from `start` by the cut form of the
  // value, built after it and then moved down.
  Step recut_written(std::size_t start, std::size_t room) {
    const std::size_t end = out_.size();
    spans_.clear();
    if (start < end) {
      index_item(start, end);
    }
    std::size_t span = 0;
    if (Step step = recut(start, end, span, room); step != Step::kDone) {
      return step;
    }
    const std::size_t n = out_.size() - end;
    std::memmove(out_.data() + start, out_.data() + end, n);
    out_.shrink(start + n);
    return Step::kDone;
  }

  // Appends the cut form into `room` of the item at `pos`, whose full
  // encoding takes more (at `end`: the pending leaf, not written).
  Step recut(std::size_t pos, std::size_t end, std::size_t& span, std::size_t room) {
    if (pos >= end) {
      return cut_pending(room);
    }
    const Head head = read_head(out_.data() + pos);
    const auto* data = reinterpret_cast<const char*>(out_.data() + pos + head.header);
    switch (head.form) {
      case Form::kStr:
        return cut_utf8(data, head.length, room);
      case Form::kBin:
        return cut_bin({data, head.length}, room);
      case Form::kArray:
      case Form::kMap:
        return recut_items(pos, end, span, room, head);
      case Form::kLeaf:
        break;
    }
    out_.put_from(pos, head.header);  // never over the least room
    return Step::kDone;
  }

  Step recut_items(std::size_t pos, std::size_t end, std::size_t& span, std::size_t room,
                   Head head) {
    const bool map = head.form == Form::kMap;
    const std::size_t count = head.length;
    const std::size_t avail = room - 5 -
                              (map ? text_cost(count_text("<", count, " more entries>").size()) + 1
                                   : text_cost(count_text("<", count, " more items>").size()));
    const std::size_t first = pos + head.header;
    ++span;  // past this container's own
    std::size_t whole_end = first;
    std::size_t kept = 0;
    std::size_t cut_at = kCutShort;  // the value cut into the room left, if any
    std::size_t cut_span = 0;
    std::size_t cut_room = 0;
    for (; kept < count; ++kept) {
      std::size_t item = whole_end;
      if (map) {
        item = item_end(whole_end, end, span);  // after the key
        if (item == kCutShort || item - first > avail) {
          break;
        }
      }
      const std::size_t item_span = span;
      const std::size_t item_stop = item_end(item, end, span);
      if (item_stop != kCutShort && item_stop - first <= avail) {
        whole_end = item_stop;
        continue;
      }
      if (avail - (item - first) >= kMinRoom) {
        cut_at = item;
        cut_span = item_span;
        cut_room = avail - (item - first);
      }
      break;
    }
    const std::size_t cut_count = cut_at != kCutShort ? 1 : 0;
    const std::size_t left = count - kept - cut_count;
    const std::size_t parts = kept + cut_count + (left > 0 ? 1 : 0);
    if (map) {
      put_count(out_, parts, 0x80, 0xde, 0xdf);
    } else {
      put_count(out_, parts, 0x90, 0xdc, 0xdd);
    }
    out_.put_from(first, (cut_count != 0 ? cut_at : whole_end) - first);
    if (cut_count != 0) {
      if (Step step = recut(cut_at, end, cut_span, cut_room); step != Step::kDone) {
        return step;
      }
    }
    if (left > 0) {
      put_str(out_, count_text("<", left, map ? " more entries>" : " more items>"));
      if (map) {
        out_.put(0xc0);
      }
    }
    return Step::kDone;
  }

  // The text or bytes that did not fit when the attempt came to them.
  Step cut_pending(std::size_t room) {
    PyObject* leaf = pending_.get();
    if (leaf == nullptr) {
      PyErr_SetString(PyExc_SystemError, "tavo: a cut value lost the item it was cut at");
      return Step::kError;
    }
    if (PyUnicode_Check(leaf)) {
      Py_ssize_t size = 0;
      PyRef holder;
      const char* data = utf8_of(leaf, size, holder);
      return data != nullptr ? cut_utf8(data, static_cast<std::size_t>(size), room) : Step::kError;
    }
    return cut_bin(bytes_of(leaf), room);
  }

  // `data` (which may lie in the output) is read before anything is written.
  Step cut_utf8(const char* data, std::size_t n, std::size_t room) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < n; i += utf8_width(static_cast<std::uint8_t>(data[i]))) {
      ++chars;
    }
    const std::size_t avail = room - 5 - count_text("...<", chars, " more characters>").size();
    std::size_t kept_bytes = 0;
    std::size_t kept_chars = 0;
    while (kept_bytes < n) {
      std::size_t width = utf8_width(static_cast<std::uint8_t>(data[kept_bytes]));
      if (kept_bytes + width > avail) {
        break;
      }
      kept_bytes += width;
      ++kept_chars;
    }
    std::string text(data, kept_bytes);
    text += count_text("...<", chars - kept_chars, " more characters>");
    put_str(out_, text);
    return Step::kDone;
  }

  Step cut_bin(std::string_view data, std::size_t room) {
    const std::size_t kept =
        room - 1 - 5 - text_cost(count_text("<", data.size(), " more bytes>").size());
    const std::string head(data.substr(0, kept));  // read before the output grows
    out_.put(0x92);
    write_bin_data(head);
    put_str(out_, count_text("<", data.size() - kept, " more bytes>"));
    return Step::kDone;
  }

  Sink& out_;
  std::vector<Span>& spans_;
  // The leaf at which the attempt stopped without writing it.
  PyRef pending_;
  const bool lightweight_;
  const bool repr_;
  std::size_t limit_ = kNoLimit;
  // The containers being encoded, outermost first: meeting one again is a cycle.
  std::vector<PyObject*>& active_;
};

}  // namespace

namespace {

// The storage of a thread's encoder, reused by every value the thread encodes
// so that encoding allocates nothing once it has grown.
struct Scratch {
  ByteBuffer bytes;
  std::vector<Span> spans;
  std::vector<PyObject*> active;
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
  Encoder encoder(out, scratch.spans, scratch.active, lightweight, settings.repr);
  Step step = Step::kError;
  try {
    step = run(encoder, std::max(settings.budget, kMinRoom));
  } catch (...) {
    if (target != nullptr) {
      out.end_append(base);
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
    out.insert(out.end(), leaf, leaf + n);
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

Result<bool> encode_whole_map(std::span<const std::pair<PyObject*, PyObject*>> entries,
                              bool lightweight, const ValueSettings& settings, ByteBuffer& out) {
  if (settings.repr) {
    return false;  // repr() may run code that changes what the entries borrow
  }
  auto run = [entries](Encoder& encoder, std::size_t room) {
    return encoder.whole_map(entries, room);
  };
  // Written straight into the record, and taken back unless it fits whole.
  switch (
      encode_on_scratch(lightweight, settings, kNoLimit, run, [](Sink&) { return true; }, &out)) {
    case Step::kDone:
      return true;
    case Step::kError:
      return PyError::fetch();
    default:
      return false;
  }
}

}  // namespace tavo::values
