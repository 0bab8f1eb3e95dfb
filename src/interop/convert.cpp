#include "interop/convert.hpp"

#include <cstring>

#include "interop/pyref.hpp"

namespace tavo {

namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c >= 0xd800 && c <= 0xdfff) {
    c = 0xfffd;
  }
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

std::string_view utf8_view_of_non_ascii(PyObject* str, std::string& storage) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) {
    return {data, static_cast<std::size_t>(size)};
  }
  PyErr_Clear();
  storage.clear();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const int kind = PyUnicode_KIND(str);
  const void* chars = PyUnicode_DATA(str);
  for (Py_ssize_t i = 0; i < length; ++i) {
    append_utf8(storage, PyUnicode_READ(kind, chars, i));
  }
  return storage;
}

Result<bool> to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) {
    return obj == Py_True;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
      return PyError::fetch();
    }
    return truth == 1;
  }
  return conversion_error(obj, "PyBool");
}

Result<std::uint64_t> to_u64(PyObject* obj) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    return PyError::fetch();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return PyError::fetch();
  }
  return static_cast<std::uint64_t>(value);
}

Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* obj) {
  if (obj == Py_None) {
    return std::optional<std::uint64_t>();
  }
  Result<std::uint64_t> value = to_u64(obj);
  if (!value.ok()) {
    return value.take_error();
  }
  return std::optional<std::uint64_t>(value.value());
}

Result<std::string> to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    return conversion_error(obj, "PyString");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    return PyError::fetch();
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Result<std::vector<std::string>> to_string_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return str_to_vec_error();
  }
  if (!PySequence_Check(obj)) {
    return conversion_error(obj, "Sequence");
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!items) {
    return PyError::fetch();
  }
  std::vector<std::string> texts;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  texts.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Result<std::string> text = to_string(PySequence_Fast_GET_ITEM(items.get(), i));
    if (!text.ok()) {
      return text.take_error();
    }
    texts.push_back(text.take_value());
  }
  return texts;
}

}  // namespace tavo
