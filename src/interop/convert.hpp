// Conversions of values supplied by the host package, with the errors the
// host sees when a value has the wrong kind.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interop/error.hpp"

namespace tavo {

// UTF-8 text of a str. A str that is not valid UTF-8 (lone surrogates) is
// converted with U+FFFD in their place, written into `storage`. Inline for
// ASCII text, which is already its own UTF-8 (file and function names, on
// every recorded event).
std::string_view utf8_view_of_non_ascii(PyObject* str, std::string& storage);
inline std::string_view utf8_view(PyObject* str, std::string& storage) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
    return {static_cast<const char*>(PyUnicode_DATA(str)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
  }
  return utf8_view_of_non_ascii(str, storage);
}

// A bool (or a NumPy boolean scalar); anything else is a type error.
Result<bool> to_bool(PyObject* obj);
// Any object usable as an integer index, within 0 to 2**64-1.
Result<std::uint64_t> to_u64(PyObject* obj);
// None gives no value; otherwise as `to_u64`.
Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* obj);
// A str as owned UTF-8 text.
Result<std::string> to_string(PyObject* obj);
// A sequence of str; a single str is refused.
Result<std::vector<std::string>> to_string_list(PyObject* obj);

}  // namespace tavo
