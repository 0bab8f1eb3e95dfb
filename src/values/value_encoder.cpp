#include "values/value_encoder.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

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

enum class Step { kDone, kOverflow, kError };

enum class Kind { kTooDeep, kNil, kBool, kInt, kFloat, kStr, kBytes, kList, kTuple, kDict, kOther };

Kind classify(PyObject* v, int depth) {
  if (depth > kMaxDepth) {
    return Kind::kTooDeep;
  }
  if (v == Py_None) {
    return Kind::kNil;
  }
  if (PyBool_Check(v)) {
    return Kind::kBool;
  }
  if (PyLong_Check(v)) {
    return Kind::kInt;
  }
  if (PyFloat_Check(v)) {
    return Kind::kFloat;
  }
  if (PyUnicode_Check(v)) {
    return Kind::kStr;
  }
  if (PyBytes_Check(v) || PyByteArray_Check(v)) {
    return Kind::kBytes;
  }
  if (PyList_Check(v)) {
    return Kind::kList;
  }
  if (PyTuple_Check(v)) {
    return Kind::kTuple;
  }
  if (PyDict_Check(v)) {
    return Kind::kDict;
  }
  return Kind::kOther;
}

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

class Encoder {
 public:
  Encoder(ByteBuffer& out, bool lightweight, bool repr)
      : out_(out), lightweight_(lightweight), repr_(repr) {}

  // Appends `v` if its encoding takes at most `room` bytes, else its cut form.
  Step fit(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    Step step = attempt(v, depth, room);
    if (step != Step::kOverflow) {
      return step;
    }
    switch (classify(v, depth)) {
      case Kind::kBytes:
        return cut_bytes(v, room);
      case Kind::kList:
      case Kind::kTuple:
        return cut_array(v, depth, room);
      case Kind::kDict:
        return cut_dict(v, depth, room);
      case Kind::kOther:
        if (!repr_) {
          return cut_object(v, depth, room);
        }
        [[fallthrough]];
      default: {
        PyRef text = text_form(v, depth);
        if (!text) {
          return Step::kError;
        }
        out_.resize(start);
        return cut_text(text.get(), room);
      }
    }
  }

 private:
  // The full encoding of `v` if it takes at most `room` bytes; otherwise
  // kOverflow with `out_` as it was.
  Step attempt(PyObject* v, int depth, std::size_t room) {
    const std::size_t start = out_.size();
    const std::size_t saved = limit_;
    limit_ = room > kNoLimit - start ? kNoLimit : start + room;
    Step step = full(v, depth);
    limit_ = saved;
    if (step == Step::kOverflow) {
      out_.resize(start);
    }
    return step;
  }

  Step checked() const { return out_.size() > limit_ ? Step::kOverflow : Step::kDone; }

  bool on_path(PyObject* v) const {
    return std::find(active_.begin(), active_.end(), v) != active_.end();
  }

  Step full(PyObject* v, int depth) {
    switch (classify(v, depth)) {
      case Kind::kNil:
        write_nil(out_);
        return checked();
      case Kind::kBool:
        write_bool(out_, v == Py_True);
        return checked();
      case Kind::kFloat:
        write_f64(out_, PyFloat_AS_DOUBLE(v));
        return checked();
      case Kind::kInt: {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
          write_int(out_, value);
          return checked();
        }
        if (overflow > 0) {
          unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
          if (!PyErr_Occurred()) {
            write_uint(out_, unsigned_value);
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
    // Every character takes a byte at least: a long text is known not to fit
    // before it is encoded.
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) >
        limit_ - std::min(limit_, out_.size())) {
      return Step::kOverflow;
    }
    Py_ssize_t size = 0;
    PyRef holder;
    const char* data = utf8_of(str, size, holder);
    if (data == nullptr) {
      return Step::kError;
    }
    const auto n = static_cast<std::size_t>(size);
    if (out_.size() + text_cost(n) > limit_) {
      return Step::kOverflow;
    }
    write_str(out_, std::string_view(data, n));
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
      out_.push_back(0xc4);
      out_.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xffff) {
      out_.push_back(0xc5);
      out_.push_back(static_cast<std::uint8_t>(n >> 8));
      out_.push_back(static_cast<std::uint8_t>(n));
    } else {
      out_.push_back(0xc6);
      for (int shift = 24; shift >= 0; shift -= 8) {
        out_.push_back(static_cast<std::uint8_t>(n >> shift));
      }
    }
    append_bytes(out_, data);
  }

  Step write_bin(PyObject* v) {
    std::string_view data = bytes_of(v);
    const std::size_t header = data.size() <= 0xff ? 2 : data.size() <= 0xffff ? 3 : 5;
    if (out_.size() + header + data.size() > limit_) {
      return Step::kOverflow;
    }
    write_bin_data(data);
    return Step::kDone;
  }

  // ------------------------------------------------------------ containers

  // A container's items are read by position from its storage, holding each
  // while it is encoded. The count is the one written in the header: a list
  // that shrank meanwhile (only code run by repr() or a finalizer can change
  // it) is completed with nil so that the value stays well formed.
  static PyRef item_at(PyObject* container, Py_ssize_t index) {
    if (PyTuple_Check(container)) {
      return PyRef::borrow(PyTuple_GET_ITEM(container, index));
    }
    if (index < PyList_GET_SIZE(container)) {
      return PyRef::borrow(PyList_GET_ITEM(container, index));
    }
    return PyRef::borrow(Py_None);
  }

  static Py_ssize_t item_count(PyObject* container) {
    return PyTuple_Check(container) ? PyTuple_GET_SIZE(container) : PyList_GET_SIZE(container);
  }

  Step full_array(PyObject* v, int depth) {
    if (on_path(v)) {
      write_str(out_, "[...]");
      return checked();
    }
    const Py_ssize_t count = item_count(v);
    write_array_len(out_, static_cast<std::uint32_t>(count));
    active_.push_back(v);
    Step step = Step::kDone;
    for (Py_ssize_t i = 0; i < count && step == Step::kDone; ++i) {
      PyRef item = item_at(v, i);
      step = full(item.get(), depth + 1);
    }
    active_.pop_back();
    return step == Step::kDone ? checked() : step;
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
    write_map_len(out_, static_cast<std::uint32_t>(count));
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
    if (on_path(v)) {
      write_str(out_, "{...}");
      return checked();
    }
    active_.push_back(v);
    Step step = full_map(DictEntries{v}, PyDict_GET_SIZE(v), depth);
    active_.pop_back();
    return step;
  }

  Step full_object(PyObject* v, int depth) {
    if (on_path(v)) {
      write_str(out_, "{...}");
      return checked();
    }
    std::vector<Entry> entries;
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

  // Moves the header written at the end (from `end`) in front of the items
  // written from `start`.
  void header_to_front(std::size_t start, std::size_t end) {
    std::rotate(out_.begin() + static_cast<std::ptrdiff_t>(start),
                out_.begin() + static_cast<std::ptrdiff_t>(end), out_.end());
  }

  Step cut_text(PyObject* str, std::size_t room) {
    Py_ssize_t size = 0;
    PyRef holder;
    const char* data = utf8_of(str, size, holder);
    if (data == nullptr) {
      return Step::kError;
    }
    const auto n = static_cast<std::size_t>(size);
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
    std::string marker = count_text("...<", chars - kept_chars, " more characters>");
    write_str_header(out_, static_cast<std::uint32_t>(kept_bytes + marker.size()));
    append_bytes(out_, std::string_view(data, kept_bytes));
    append_bytes(out_, marker);
    return Step::kDone;
  }

  Step cut_bytes(PyObject* v, std::size_t room) {
    std::string_view data = bytes_of(v);
    const std::size_t kept =
        room - 1 - 5 - text_cost(count_text("<", data.size(), " more bytes>").size());
    out_.push_back(0x92);
    write_bin_data(data.substr(0, kept));
    write_str(out_, count_text("<", data.size() - kept, " more bytes>"));
    return Step::kDone;
  }

  Step cut_array(PyObject* v, int depth, std::size_t room) {
    if (on_path(v)) {
      return full_array(v, depth);
    }
    const auto count = static_cast<std::size_t>(item_count(v));
    const std::size_t avail = room - 5 - text_cost(count_text("<", count, " more items>").size());
    const std::size_t start = out_.size();
    std::size_t kept = count;
    active_.push_back(v);
    Step step = Step::kDone;
    for (std::size_t i = 0; i < count; ++i) {
      PyRef item = item_at(v, static_cast<Py_ssize_t>(i));
      const std::size_t rest = avail - (out_.size() - start);
      step = attempt(item.get(), depth + 1, rest);
      if (step == Step::kDone) {
        continue;
      }
      if (step == Step::kError) {
        break;
      }
      kept = i;
      step = Step::kDone;
      if (rest >= kMinRoom) {
        step = fit(item.get(), depth + 1, rest);
        ++kept;
      }
      break;
    }
    active_.pop_back();
    if (step != Step::kDone) {
      return step;
    }
    const std::size_t left = count - kept;
    if (left > 0) {
      write_str(out_, count_text("<", left, " more items>"));
    }
    const std::size_t end = out_.size();
    write_array_len(out_, static_cast<std::uint32_t>(kept + (left > 0 ? 1 : 0)));
    header_to_front(start, end);
    return Step::kDone;
  }

  template <class Entries>
  Step cut_map(Entries entries, std::size_t count, int depth, std::size_t room) {
    const std::size_t avail =
        room - 5 - text_cost(count_text("<", count, " more entries>").size()) - 1;
    const std::size_t start = out_.size();
    std::size_t kept = count;
    for (std::size_t i = 0; i < count; ++i) {
      PyRef key;
      PyRef value;
      entries.next(key, value);
      const std::size_t entry_start = out_.size();
      const std::size_t rest = avail - (entry_start - start);
      Step step = attempt(key.get(), depth + 1, rest);
      if (step == Step::kError) {
        return step;
      }
      if (step == Step::kDone) {
        const std::size_t value_room = rest - (out_.size() - entry_start);
        step = attempt(value.get(), depth + 1, value_room);
        if (step == Step::kDone) {
          continue;
        }
        if (step == Step::kError) {
          return step;
        }
        kept = i;
        if (value_room >= kMinRoom) {
          if (step = fit(value.get(), depth + 1, value_room); step != Step::kDone) {
            return step;
          }
          ++kept;
          break;
        }
      }
      kept = i;
      out_.resize(entry_start);
      break;
    }
    const std::size_t left = count - kept;
    if (left > 0) {
      write_str(out_, count_text("<", left, " more entries>"));
      write_nil(out_);
    }
    const std::size_t end = out_.size();
    write_map_len(out_, static_cast<std::uint32_t>(kept + (left > 0 ? 1 : 0)));
    header_to_front(start, end);
    return Step::kDone;
  }

  Step cut_dict(PyObject* v, int depth, std::size_t room) {
    if (on_path(v)) {
      return full_dict(v, depth);
    }
    active_.push_back(v);
    Step step = cut_map(DictEntries{v}, static_cast<std::size_t>(PyDict_GET_SIZE(v)), depth, room);
    active_.pop_back();
    return step;
  }

  Step cut_object(PyObject* v, int depth, std::size_t room) {
    if (on_path(v)) {
      return full_object(v, depth);
    }
    std::vector<Entry> entries;
    if (Status s = describe_object(v, lightweight_, entries); !s.ok()) {
      s.take_error().restore();
      return Step::kError;
    }
    active_.push_back(v);
    Step step = cut_map(VectorEntries{entries}, entries.size(), depth, room);
    active_.pop_back();
    return step;
  }

  ByteBuffer& out_;
  const bool lightweight_;
  const bool repr_;
  std::size_t limit_ = kNoLimit;
  // The containers being encoded, outermost first: meeting one again is a cycle.
  std::vector<PyObject*> active_;
};

}  // namespace

Status encode_value(PyObject* value, bool lightweight, const ValueSettings& settings,
                    ByteBuffer& out) {
  const std::size_t start = out.size();
  Encoder encoder(out, lightweight, settings.repr);
  if (encoder.fit(value, 0, std::max(settings.budget, kMinRoom)) != Step::kDone) {
    out.resize(start);
    return PyError::fetch();
  }
  return Status::success();
}

}  // namespace tavo::values
