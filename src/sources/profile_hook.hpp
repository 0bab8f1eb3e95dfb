// The profile-hook event source: the interpreter's profile function, fed to
// the recorder through the seam in event_sink.hpp.
#pragma once

#include <Python.h>

namespace tavo {

// The C profile function installed with a TavoProfiler object.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);
// A profile function that does nothing: the interpreter's own price for
// calling one.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

// Installs the profile function with `profiler` on the calling thread.
void install_profile_hook(PyObject* profiler);
// Removes this source's profile function from every thread that has it,
// leaving the program's own.
void uninstall_profile_hook();
// With `allowed`, lets the profile function leave each thread where it meets
// an event of recorded code once the trace has reached its budget (the drops
// then go uncounted); without, puts it back on the threads it left that still
// run, and says whether there were any. The host allows it only where it is
// sure to take the permission back before the next event that plugins watch:
// that event would go unseen.
bool pause_past_budget_while(PyObject* profiler, bool allowed);
// Puts the profile function back on the threads it left, keeping the
// permission: the trace was taken, and its budget is free again.
bool resume_paused_threads(PyObject* profiler);
// With the host's config "threading": hooks threads started from now on, each
// installs the profile function at its first profile event. False with a
// Python error set on failure.
bool hook_threading(PyObject* host, PyObject* profiler);

// Module function `register_noop_profiler()`: stops the monitoring engine and
// installs noop_profile.
PyObject* register_noop_profiler(PyObject* module, PyObject* args);

// Methods of TavoProfiler objects that belong to this source.
// `register_threading_profiler(_frame, _event, _arg)`: the hook `threading`
// calls in a new thread; installs the profile function there.
PyObject* register_threading_profiler(PyObject* self, PyObject* args, PyObject* kwargs);
// `pause_past_budget(allowed)`: pause_past_budget_while.
PyObject* pause_past_budget(PyObject* self, PyObject* allowed);
// Calling the object itself (see profile_hook.cpp).
PyObject* profiler_call(PyObject* self, PyObject* args, PyObject* kwargs);
// `exception_unwind(code, offset, exception)`: the interpreter's unwind event
// (registered by the host for config "exceptions").
PyObject* exception_unwind(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tavo
