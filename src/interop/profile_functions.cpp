// Setting another thread's profile function takes the interpreter's own
// setter, which 3.13 and later declare only to its build.
#define Py_BUILD_CORE 1
#include "interop/profile_functions.hpp"

#include "interop/compat_state.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <internal/pycore_ceval.h>
#endif

namespace tavo {

void remove_profile_functions(ProfileFunctionTest is_ours) {
  PyThreadState* current = PyThreadState_Get();
  for (PyThreadState* state = PyInterpreterState_ThreadHead(current->interp); state != nullptr;
       state = PyThreadState_Next(state)) {
    if (state->c_profilefunc != nullptr && is_ours(state->c_profilefunc, state->c_profileobj) &&
        _PyEval_SetProfile(state, nullptr, nullptr) < 0) {
      PyErr_WriteUnraisable(nullptr);  // an audit hook refused: the others still go
    }
  }
}

bool set_profile_function(PyThreadState* tstate, Py_tracefunc function, PyObject* object) {
  PyThreadState* current = PyThreadState_Get();
  PyObject* pending = compat::take_raised_exception(current);
  const bool set = _PyEval_SetProfile(tstate, function, object) == 0;
  if (!set) {
    PyErr_Clear();  // the audit hook's refusal is the program's own business
  }
  compat::restore_raised_exception(current, pending);
  return set;
}

}  // namespace tavo
