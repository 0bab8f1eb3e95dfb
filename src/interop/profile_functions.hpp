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

}  // namespace tavo
