// The part of the version differences (see compat.hpp) about the
// interpreter's and the calling thread's state, kept apart so that PyRef can
// use it without the rest.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "tavo needs CPython 3.12 or newer"
#endif

// The interpreters older than this version (3.16) are those whose private
// state tavo knows how to read; a newer one builds, and is refused at import
// (interpreter_check.hpp).
#define TAVO_PYTHON_KNOWN_BELOW 0x03100000

namespace tavo::compat {

// The calling thread's interpreter thread state, or null when it has none
// (never a fatal error).
inline PyThreadState* thread_state_or_null() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

#if PY_VERSION_HEX >= 0x030D0000
// Exported by every supported version, declared publicly only up to 3.12.
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

// Whether the calling thread is the main thread: the one where the
// interpreter runs signal handlers and pending calls.
inline bool on_main_thread() { return _PyOS_IsMainThread() != 0; }

// Whether the interpreter is shutting down (past the point where threads
// other than the finalizing one may run Python code).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Whether the calling thread's state is being cleared or deleted: objects
// released while a thread ends can still run Python code, with the thread
// half torn down.
inline bool thread_tearing_down(PyThreadState* tstate) {
  return tstate->_status.finalizing || tstate->_status.cleared || tstate->_status.finalized;
}

// PyErr_GetRaisedException and PyErr_SetRaisedException for a thread state
// the caller holds already: the event path saves and restores the pending
// exception around every recorded event, and each public call looks the
// thread up again.
inline PyObject* take_raised_exception(PyThreadState* tstate) {
  PyObject* raised = tstate->current_exception;
  tstate->current_exception = nullptr;
  return raised;
}
inline void restore_raised_exception(PyThreadState* tstate, PyObject* raised) {
  Py_XSETREF(tstate->current_exception, raised);
}

}  // namespace tavo::compat
