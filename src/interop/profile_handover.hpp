// A program putting a profile function of its own in the place of tavo's.
//
// The interpreter reports the end of a C call to whichever profile function is
// in place when the call ends. A call of sys.setprofile made while tavo's
// function is in place ends with the program's new one in place, which then
// gets a "c_return" for it that it never gets without tavo (the standard
// library's `profile` module fails its own check on that event). While such a
// call runs, a stand-in takes the place of tavo's profile object; when the call
// replaces it, the end of the call goes unreported to the new function, whose
// first event is then the one it gets without tavo.
#pragma once

#include <Python.h>

namespace tavo {

// Looks up the interpreter's profile-function setters (sys.setprofile,
// sys._setprofileallthreads) once. The caller holds the interpreter lock.
void find_profile_setters();

// Whether `callable`, the function of a C call event, is one of those setters.
inline bool is_profile_setter(PyObject* callable);

// At a C call event (`what`) of a profile-function setter, made by `frame` on
// the calling thread with `object` as its profile object: puts the stand-in in
// place at the call, and tavo's object back at its end when the call put
// nothing else in place. Never raises.
void on_profile_setter(PyObject* object, PyFrameObject* frame, int what);

// `object`, or the profile object the stand-in `object` stands for.
PyObject* profile_object_behind(PyObject* object);

namespace detail {
// Hidden, so that the check on every C call event reads them directly rather
// than through the symbol table.
[[gnu::visibility("hidden")]] inline PyObject* profile_setters[2] = {nullptr, nullptr};
}  // namespace detail

// (A C call event always names its function: `callable` is never null.)
inline bool is_profile_setter(PyObject* callable) {
  return callable == detail::profile_setters[0] || callable == detail::profile_setters[1];
}

}  // namespace tavo
