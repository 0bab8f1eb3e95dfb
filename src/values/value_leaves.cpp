#include "values/value_leaves.hpp"

#include <algorithm>
#include <charconv>

namespace tavo::values {

CountText::CountText(std::string_view before, std::size_t count, std::string_view after) {
  char digits[24];
  const char* digits_end = std::to_chars(digits, digits + sizeof digits, count).ptr;
  for (std::string_view part : {before, std::string_view(digits, digits_end - digits), after}) {
    const std::size_t n = std::min(part.size(), text_.size() - 1 - size_);
    std::copy_n(part.data(), n, text_.data() + size_);
    size_ += n;
  }
  text_[size_] = '\0';
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
