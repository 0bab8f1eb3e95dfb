// The event source on the interpreter's monitoring API (sys.monitoring): the
// same call and return events as the profile function, from callbacks that
// switch themselves off for every code object the profiler leaves out, so
// that library code runs at about its unprofiled speed.
#pragma once

#include <Python.h>

#include "profiler/tavo_profiler.hpp"

namespace tavo::monitoring {

// Installs `object` (a TavoProfiler object owning `state`) on a free tool id
// and records the calling thread; a monitoring engine installed before is
// stopped first. False with a Python error set when the monitoring API is
// missing or every tool id tavo may use is taken.
bool install(PyObject* object, TavoProfiler& state);

// Stops the installed engine and frees its tool id; nothing to do when none is
// installed. False with a Python error set when the interpreter refused.
bool uninstall();

// Whether `object` is the installed engine's profiler.
bool installed_with(PyObject* object);

// Records the calling thread too (a thread started while the engine was on,
// with "threading").
void record_this_thread();

}  // namespace tavo::monitoring
