// Keeping C++ exceptions out of the interpreter.
//
// Every function the interpreter calls runs its body through one of these: an
// allocation failure becomes a MemoryError, any other C++ exception a
// RuntimeError. Only exceptions of the standard hierarchy are caught (the
// module throws no others), so the forced unwinding that ends a thread (the
// interpreter ends threads that wait for its lock at exit) passes through
// untouched. Nothing is paid when nothing is thrown.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "interop/error.hpp"

namespace tavo {

// The Python error standing for a caught C++ exception.
inline PyError error_from_cpp_exception(const std::exception& exc) {
  if (dynamic_cast<const std::bad_alloc*>(&exc) != nullptr) {
    return PyError::make(PyExc_MemoryError, "tavo: out of memory");
  }
  return PyError::format(PyExc_RuntimeError, "tavo: %s", exc.what());
}

// Runs `body` (returning a Status); a C++ exception becomes the error.
template <class Body>
Status catch_cpp(Body&& body) {
  try {
    return body();
  } catch (const std::exception& exc) {
    return error_from_cpp_exception(exc);
  }
}

// Runs `body` (returning a new reference or null with an error set) for an
// entry point; a C++ exception becomes the raised error.
template <class Body>
PyObject* python_entry(Body&& body) {
  try {
    return body();
  } catch (const std::exception& exc) {
    error_from_cpp_exception(exc).restore();
    return nullptr;
  }
}

}  // namespace tavo
