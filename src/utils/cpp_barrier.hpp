// Keeping C++ exceptions out of the interpreter.
//
// Every function the interpreter calls runs its body through one of these: an
// allocation failure becomes a MemoryError, any other C++ exception a
// RuntimeError. The forced unwinding that ends a thread (the interpreter ends
// threads that wait for its lock at exit) is let through, as it must be.
// Nothing is paid when nothing is thrown.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>

#include "utils/error.hpp"

namespace tavo {

// The Python error standing for the C++ exception being handled.
inline PyError error_from_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyError::make(PyExc_MemoryError, "tavo: out of memory");
  } catch (const std::exception& exc) {
    return PyError::format(PyExc_RuntimeError, "tavo: %s", exc.what());
  } catch (...) {
    return PyError::make(PyExc_RuntimeError, "tavo: unexpected C++ exception");
  }
}

// Runs `body` (returning a Status); a C++ exception becomes the error.
template <class Body>
Status catch_cpp(Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return error_from_cpp_exception();
  }
}

// Runs `body` (returning a new reference or null with an error set) for an
// entry point; a C++ exception becomes the raised error.
template <class Body>
PyObject* python_entry(Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    error_from_cpp_exception().restore();
    return nullptr;
  }
}

}  // namespace tavo
