// Ownership of Python references.
//
// `PyRef` owns one strong reference. It is built only through named
// constructors that say what happens to the count: `steal` takes over a new
// reference returned by the C API, `borrow` adds one to a borrowed reference.
// `Borrowed` names a reference that is not owned.
//
// Once the interpreter finalizes, a reference is given back only by a thread
// with an interpreter thread state: a thread that the interpreter ends while it
// waits for the interpreter lock at exit unwinds its stack with none, and
// releasing then would touch objects the finalizing interpreter may already
// have freed, so its references are leaked. (Before finalization no thread is
// ended that way, and the check costs one load.)
#pragma once

#include <Python.h>

#include <utility>

#include "interop/compat_state.hpp"

namespace tavo {

// Drops one reference to `obj` (not null), unless the interpreter finalizes
// and the calling thread has no thread state.
inline void release_reference(PyObject* obj) {
  if (!compat::interpreter_finalizing() || compat::thread_state_or_null() != nullptr) [[likely]] {
    Py_DECREF(obj);
  }
}

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() {
    if (obj_ != nullptr) {
      release_reference(obj_);
    }
  }

  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset() {
    if (PyObject* old = std::exchange(obj_, nullptr)) {
      release_reference(old);
    }
  }
  // A new strong reference for a caller that keeps its own.
  PyRef clone() const { return borrow(obj_); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A reference the holder does not own: valid only while its owner keeps it.
using Borrowed = PyObject*;

}  // namespace tavo
