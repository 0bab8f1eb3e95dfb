// The bytes of an object that exposes them (bytes, bytearray, memoryview),
// held for as long as the view lives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tavo {

class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // False, with the Python error set, when `object` has no bytes to lend.
  bool open(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  std::string_view text() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tavo
