#include "module/packing.hpp"

#include "interop/buffer_view.hpp"
#include "interop/cpp_barrier.hpp"
#include "saving/document_packing.hpp"

namespace tavo {

PyObject* packed_block(PyObject*, PyObject* block) {
  return python_entry([&]() -> PyObject* {
    BufferView in;
    if (!in.open(block)) {
      return nullptr;
    }
    // Written in place and then cut: only the pages written are touched.
    const std::size_t bound = kBlockLengthBytes + packed_size_bound(in.bytes().size());
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
    if (out == nullptr) {
      return nullptr;
    }
    const std::optional<std::size_t> size =
        pack_framed_block(in.bytes(), reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)));
    if (!size) {
      Py_DECREF(out);
      PyErr_SetString(PyExc_ValueError, "a document block packs to 4 GiB or more");
      return nullptr;
    }
    if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(*size)) != 0) {
      return nullptr;  // `out` was released
    }
    return out;
  });
}

PyObject* unpacked_block(PyObject*, PyObject* packed) {
  return python_entry([&]() -> PyObject* {
    BufferView in;
    if (!in.open(packed)) {
      return nullptr;
    }
    const std::optional<std::size_t> size = unpacked_size(in.bytes());
    if (!size) {
      PyErr_SetString(PyExc_ValueError, "not a packed document block (damaged or cut)");
      return nullptr;
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
    if (out != nullptr) {
      unpack_document_block(in.bytes(), reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)));
    }
    return out;
  });
}

}  // namespace tavo
