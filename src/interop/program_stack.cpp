#include "interop/program_stack.hpp"

namespace tavo::compat {

namespace {

// Where the thread keeps its innermost running frame: the interpreter links
// each new frame to it, and every walk of the stack starts from it.
struct _PyInterpreterFrame** innermost_frame(PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030D0000
  return &tstate->current_frame;
#else
  return &tstate->cframe->current_frame;
#endif
}

}  // namespace

PyObject* call_as_stack_bottom(PyObject* callable, PyObject* args) {
  PyThreadState* tstate = PyThreadState_Get();
  struct _PyInterpreterFrame** innermost = innermost_frame(tstate);
  struct _PyInterpreterFrame* const below = *innermost;
  // The depth is what the limit leaves unused; setting the limit keeps the
  // depth, so it is read again from the limit afterwards.
  const int depth = tstate->py_recursion_limit - tstate->py_recursion_remaining;
  *innermost = nullptr;
  tstate->py_recursion_remaining = tstate->py_recursion_limit;
  PyObject* result = PyObject_Call(callable, args, nullptr);
  *innermost = below;
  tstate->py_recursion_remaining = tstate->py_recursion_limit - depth;
  return result;
}

}  // namespace tavo::compat
