// Removing the profile functions of one owner from every thread of the
// interpreter, leaving those of anyone else (the program's own) in place.
#pragma once

#include <Python.h>

namespace tavo {

// Whether a thread's profile function (`function`, called with `object`) is
// the one to remove.
using ProfileFunctionTest = bool (*)(Py_tracefunc function, PyObject* object);

// Removes the profile function of each thread of the calling thread's
// interpreter for which `is_ours` holds, as the interpreter does for all
// threads: one that an audit hook refuses is reported as unraisable and
// stays. The caller holds the interpreter lock.
void remove_profile_functions(ProfileFunctionTest is_ours);

// Sets the profile function of `tstate` (a thread of the calling thread's
// interpreter) as `sys.setprofile` does, also from inside a profile function;
// false, with the function as it was, when an audit hook refuses. Leaves no
// error behind and keeps one being raised. The caller holds the interpreter
// lock.
bool set_profile_function(PyThreadState* tstate, Py_tracefunc function, PyObject* object);

}  // namespace tavo
