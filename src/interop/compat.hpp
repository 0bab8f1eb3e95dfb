// Every difference between the supported interpreter versions lives here, as
// small named functions, so the rest of the module reads the same on all of
// them.
#pragma once

#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x030C0000
#error "tavo needs CPython 3.12 or newer"
#endif

#include "interop/compat_state.hpp"
#include "interop/frame_internals.hpp"
#include "interop/pyref.hpp"

namespace tavo::compat {

// A dictionary of the frame's local variables that the caller may read but
// must not write through: on 3.12 `f_locals` is a dict already; from 3.13 on a
// function frame gives a write-through proxy, which is copied into a new dict.
// `is_copy` tells whether the result is a private copy. Null on error.
inline PyRef frame_locals_dict(PyFrameObject* frame, bool& is_copy) {
#if PY_VERSION_HEX >= 0x030D0000
  // A function frame's variables are copied straight from the frame, without
  // the proxy and its list of pairs.
  PyCodeObject* code = PyFrame_GetCode(frame);
  const bool optimized = (code->co_flags & CO_OPTIMIZED) != 0;
  Py_DECREF(code);  // the frame holds it
  if (optimized) {
    PyRef copy = PyRef::steal(PyDict_New());
    if (!copy || !copy_frame_variables(frame, copy.get())) {
      return PyRef();
    }
    is_copy = true;
    return copy;
  }
#else
  if (!prepare_locals_refresh(frame)) {
    return PyRef();
  }
#endif
  PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
  is_copy = false;
  if (!locals || PyDict_Check(locals.get())) {
    return locals;
  }
  // One pass over the proxy's items: merging it as a mapping would look each
  // key up again, and each lookup scans the frame's variable names.
  PyRef items = PyRef::steal(PyMapping_Items(locals.get()));
  PyRef copy = items ? PyRef::steal(PyDict_New()) : PyRef();
  if (!copy || PyDict_MergeFromSeq2(copy.get(), items.get(), 1) < 0) {
    return PyRef();
  }
  is_copy = true;
  return copy;
}

// Looks `key` up in a dict: 1 found (new reference in `out`), 0 missing,
// -1 error.
inline int dict_get_item(PyObject* dict, PyObject* key, PyRef& out) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(dict, key, &value);
  out = PyRef::steal(value);
  return found;
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr) {
    return PyErr_Occurred() ? -1 : 0;
  }
  out = PyRef::borrow(value);
  return 1;
#endif
}

// The code extra-slot index API kept its "unstable" name on both versions.
// `free` releases a slot's value with its code object (none for values that
// own nothing).
inline Py_ssize_t request_code_extra_index(freefunc free = nullptr) {
  return PyUnstable_Eval_RequestCodeExtraIndex(free);
}

// A code object's extra slot `index`, or null. Read on every profile event, so
// on the versions whose slot array is known ({size, slots...}, unchanged from
// 3.6 through 3.15) it is read in place instead of through a function call,
// which costs a filtered-out event of 3.14 a tenth more than the floor
// (bench_events.py, instructions); the check at import
// (interpreter_check.hpp) compares the two.
inline void* code_extra(PyCodeObject* code, Py_ssize_t index) {
#if PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW
  struct ExtraSlots {
    Py_ssize_t size;
    void* slots[1];
  };
  const auto* extra = static_cast<const ExtraSlots*>(code->co_extra);
  return extra != nullptr && index < extra->size ? extra->slots[index] : nullptr;
#else
  void* value = nullptr;
  if (PyUnstable_Code_GetExtra(reinterpret_cast<PyObject*>(code), index, &value) < 0) {
    PyErr_Clear();
  }
  return value;
#endif
}

}  // namespace tavo::compat
