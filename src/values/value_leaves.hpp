// The bytes of text and binary leaves as the encoder writes them, and the
// marker texts of cut values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
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

// `before`, the decimal digits of `count`, then `after`, held in place: a
// marker is made for every container a cut shortens, and a heap string each
// time showed in profiles of long cuts.
class CountText {
 public:
  CountText(std::string_view before, std::size_t count, std::string_view after);
  std::string_view view() const { return {text_.data(), size_}; }
  std::size_t size() const { return size_; }
  const char* c_str() const { return text_.data(); }
  operator std::string_view() const { return view(); }  // NOLINT: used as text

 private:
  std::array<char, 64> text_;  // the markers' words and 20 digits at most
  std::size_t size_ = 0;
};

inline CountText count_text(std::string_view before, std::size_t count, std::string_view after) {
  return CountText(before, count, after);
}

}  // namespace tavo::values
