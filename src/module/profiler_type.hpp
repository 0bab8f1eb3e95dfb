// The Python type `tavo._tavo.TavoProfiler` and the profile functions the
// interpreter calls.
#pragma once

#include <Python.h>

#include <memory>

#include "profiler/tavo_profiler.hpp"

namespace tavo {

// A new TavoProfiler object owning `state` (the type is created on first
// use); null with a Python error set on failure.
PyObject* new_profiler_object(std::unique_ptr<TavoProfiler> state);

// The C profile function installed with a TavoProfiler object.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);
// A profile function that does nothing: the interpreter's own price for
// calling one.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

}  // namespace tavo
