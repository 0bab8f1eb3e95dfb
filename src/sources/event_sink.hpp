// The seam between an event source and the profiler it feeds.
//
// A source turns the interpreter's events into calls on the profiler behind a
// TavoProfiler object (`is_profiler`, `state_of`):
//   decide(code)            per code object, cached: most events end here,
//                           when the decision says neither recorded nor watched;
//   profile(self, frame, code, decision, arg, Event::kCall / kReturn)
//                           a call or return of recorded or watched code
//                           (a resume is a call, a yield a return; arg is the
//                           returned value, None for a return by exception);
//   record_exception(exc)   an exception unwinding the current frame, right
//                           after its return was handed over.
// Neither raises: errors are reported, and an exception of the program met on
// the way is handed back to it (see interop/program_exception.hpp).
#pragma once

#include <Python.h>

#include "profiler/tavo_profiler.hpp"

namespace tavo {

// A TavoProfiler Python object.
struct ProfilerObject {
  PyObject_HEAD TavoProfiler* state;
};

// The type of TavoProfiler objects, made with the first one. Hidden, so that
// the event path reads it directly rather than through the symbol table.
[[gnu::visibility("hidden")]] extern PyTypeObject* profiler_type;

inline bool is_profiler(PyObject* obj) {
  return profiler_type != nullptr && PyObject_TypeCheck(obj, profiler_type);
}

// The profiler a TavoProfiler object owns.
inline TavoProfiler& state_of(PyObject* self) {
  return *reinterpret_cast<ProfilerObject*>(self)->state;
}

}  // namespace tavo
