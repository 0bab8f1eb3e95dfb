// The bytes of text and binary leaves as the encoder writes them, and the
// marker texts of cut values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "interop/pyref.hpp"

namespace tavo::values {

// The UTF-8 form of a str: its own buffer, or (for lone surrogates) a copy
// with those escaped, held by `holder`. Null data with an exception set on error.
const char* utf8_of(PyObject* str, Py_ssize_t& size, PyRef& holder);

// The data of a bytes or bytearray object.
inline std::string_view bytes_of(PyObject* v) {
  if (PyBytes_Check(v)) {
    return {PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v))};
  }
  return {PyByteArray_AS_STRING(v), static_cast<std::size_t>(PyByteArray_GET_SIZE(v))};
}

// `before`, the decimal digits of `count`, then `after`.
std::string count_text(const char* before, std::size_t count, const char* after);

}  // namespace tavo::values
