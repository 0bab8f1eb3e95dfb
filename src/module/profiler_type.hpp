// The Python type `tavo._tavo.TavoProfiler`: the object that owns a profiler.
#pragma once

#include <Python.h>

#include <memory>

#include "profiler/tavo_profiler.hpp"

namespace tavo {

// A new TavoProfiler object owning `state` (the type is created on first
// use); null with a Python error set on failure.
PyObject* new_profiler_object(std::unique_ptr<TavoProfiler> state);

}  // namespace tavo
