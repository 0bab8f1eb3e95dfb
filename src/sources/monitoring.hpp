// The event source on the interpreter's monitoring API (sys.monitoring): the
// same call and return events as the profile function, from callbacks that
// switch themselves off for every code object the profiler leaves out, so
// that library code runs at about its unprofiled speed. It feeds the
// profiler through the seam in event_sink.hpp.
#pragma once

#include <Python.h>

namespace tavo::monitoring {

// Installs `profiler` (a TavoProfiler object) on a free tool id and records
// the calling thread; a monitoring engine installed before is stopped first.
// False with a Python error set when the monitoring API is missing or every
// tool id tavo may use is taken.
bool install(PyObject* profiler);

// Stops the installed engine and frees its tool id; nothing to do when none is
// installed. False with a Python error set when the interpreter refused.
bool uninstall();

// When `profiler` is the installed engine's: records the calling thread too
// (a thread started while the engine was on, with "threading") and returns
// true.
bool record_thread_for(PyObject* profiler);

}  // namespace tavo::monitoring
