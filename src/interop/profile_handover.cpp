#include "interop/profile_handover.hpp"

#include <Python.h>
#include <frameobject.h>

#include "interop/compat_state.hpp"

namespace tavo {

namespace {

// Stands in for a thread's profile object while a setter call runs.
struct StandIn {
  PyObject_HEAD PyObject* profile_object;  // owned
  PyThreadState* tstate;
  PyObject* frame;  // the frame that made the call: identity only
  bool in_call;     // false once the call ended, or tavo's object is back
};

PyTypeObject* stand_in_type = nullptr;

// The program's profile function, in place again at its first event, which
// the setter's end is not.
thread_local Py_tracefunc handed_over = nullptr;

int first_event_of_new_function(PyObject* object, PyFrameObject* frame, int what, PyObject* arg) {
  PyThreadState* tstate = PyThreadState_Get();
  const Py_tracefunc function = handed_over;
  handed_over = nullptr;
  tstate->c_profilefunc = function;
  if ((what == PyTrace_C_RETURN || what == PyTrace_C_EXCEPTION) && is_profile_setter(arg)) {
    return 0;
  }
  return function == nullptr ? 0 : function(object, frame, what, arg);
}

void stand_in_dealloc(PyObject* self) {
  auto* stand_in = reinterpret_cast<StandIn*>(self);
  PyThreadState* tstate = compat::thread_state_or_null();
  // Freed by the setter that replaced it: the new function is in place, and
  // the end of the call is the next thing it would be told.
  if (stand_in->in_call && tstate != nullptr && tstate == stand_in->tstate &&
      tstate->c_profileobj != self && tstate->c_profilefunc != nullptr &&
      tstate->c_profilefunc != first_event_of_new_function &&
      reinterpret_cast<PyObject*>(PyEval_GetFrame()) == stand_in->frame) {
    handed_over = tstate->c_profilefunc;
    tstate->c_profilefunc = first_event_of_new_function;
  }
  Py_XDECREF(stand_in->profile_object);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot stand_in_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stand_in_dealloc)},
    {0, nullptr},
};

PyType_Spec stand_in_spec = {
    "tavo._tavo.ProfileStandIn", sizeof(StandIn), 0, Py_TPFLAGS_DEFAULT, stand_in_slots,
};

}  // namespace

void find_profile_setters() {
  if (stand_in_type == nullptr) {
    stand_in_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stand_in_spec));
    if (stand_in_type == nullptr) {
      PyErr_Clear();  // the setters then stay unknown: their end is reported, as before
      return;
    }
  }
  const char* names[] = {"setprofile", "_setprofileallthreads"};
  for (int i = 0; i < 2; ++i) {
    if (detail::profile_setters[i] == nullptr) {
      // Borrowed from sys, and kept: the interpreter's own functions.
      PyObject* setter = PySys_GetObject(names[i]);
      detail::profile_setters[i] = setter == nullptr ? nullptr : Py_NewRef(setter);
    }
  }
}

void on_profile_setter(PyObject* object, PyFrameObject* frame, int what) {
  PyThreadState* tstate = PyThreadState_Get();
  if (tstate->c_profileobj != object || stand_in_type == nullptr) {
    return;
  }
  if (what == PyTrace_C_CALL) {
    if (Py_TYPE(object) == stand_in_type) {
      return;
    }
    StandIn* stand_in = PyObject_New(StandIn, stand_in_type);
    if (stand_in == nullptr) {
      PyErr_Clear();  // the end of the call is then reported, as before
      return;
    }
    stand_in->profile_object = Py_NewRef(object);
    stand_in->tstate = tstate;
    stand_in->frame = reinterpret_cast<PyObject*>(frame);
    stand_in->in_call = true;
    tstate->c_profileobj = reinterpret_cast<PyObject*>(stand_in);
    Py_DECREF(object);  // the thread's reference, now the stand-in's
    return;
  }
  // The call ended with the stand-in still in place (refused by an audit
  // hook, or it set the same): tavo's object goes back.
  if (Py_TYPE(object) == stand_in_type) {
    auto* stand_in = reinterpret_cast<StandIn*>(object);
    stand_in->in_call = false;
    tstate->c_profileobj = Py_NewRef(stand_in->profile_object);
    Py_DECREF(object);
  }
}

PyObject* profile_object_behind(PyObject* object) {
  if (stand_in_type != nullptr && object != nullptr && Py_TYPE(object) == stand_in_type) {
    return reinterpret_cast<StandIn*>(object)->profile_object;
  }
  return object;
}

}  // namespace tavo
