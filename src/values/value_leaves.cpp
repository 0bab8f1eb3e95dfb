#include "values/value_leaves.hpp"

#include <charconv>

namespace tavo::values {

std::string count_text(const char* before, std::size_t count, const char* after) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
  return std::string(before) + std::string(digits, end) + after;
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

}  // namespace tavo::values
