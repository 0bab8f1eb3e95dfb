// The only file that sees the interpreter's private frame layout: it is
// compiled as part of the interpreter's build would be, and exposes plain
// functions, so that no other file depends on that layout.
#define Py_BUILD_CORE 1
#include "interop/frame_internals.hpp"

#include <Python.h>
#include <internal/pycore_frame.h>

namespace tavo::compat {

const FrameCodeLayout frame_code_layout{
    offsetof(PyFrameObject, f_frame),
#if PY_VERSION_HEX >= 0x030D0000
    offsetof(_PyInterpreterFrame, f_executable),
#else
    offsetof(_PyInterpreterFrame, f_code),
#endif
};

GlobalsStamp frame_globals_stamp(PyFrameObject* frame) {
  PyObject* globals = frame->f_frame->f_globals;
  if (globals == nullptr || !PyDict_CheckExact(globals)) {
    return {};
  }
  // Every change of a dict gives it a new interpreter-wide version number.
  return {globals, reinterpret_cast<PyDictObject*>(globals)->ma_version_tag};
}

FramePosition frame_position(PyFrameObject* frame) {
  const int index = _PyInterpreterFrame_LASTI(frame->f_frame);
  return {index < 0 ? -1 : index * static_cast<int>(sizeof(_Py_CODEUNIT)), frame->f_lineno};
}

namespace {

// The interpreter frame PyFrame_GetBack stands for, given the frame object
// (possibly null) and interpreter frame of its argument.
_PyInterpreterFrame* back_of(PyFrameObject* object, _PyInterpreterFrame* data) {
  if (object != nullptr && object->f_back != nullptr) {
    return object->f_back->f_frame;
  }
  return _PyFrame_GetFirstComplete(data->previous);
}

PyCodeObject* code_of(_PyInterpreterFrame* data) {
#if PY_VERSION_HEX >= 0x030D0000
  return _PyFrame_GetCode(data);
#else
  return data->f_code;
#endif
}

}  // namespace

PyCodeObject* back_code(PyFrameObject* frame, int hops) {
  _PyInterpreterFrame* data = back_of(frame, frame->f_frame);
  for (int hop = 1; hop < hops && data != nullptr; ++hop) {
    data = back_of(data->frame_obj, data);
  }
  return data != nullptr ? code_of(data) : nullptr;
}

#if PY_VERSION_HEX < 0x030D0000
bool prepare_locals_refresh(PyFrameObject* frame) {
  _PyInterpreterFrame* data = frame->f_frame;
  PyCodeObject* code = data->f_code;
  if ((code->co_flags & CO_OPTIMIZED) == 0) {
    return true;
  }
  PyObject* locals = data->f_locals;
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    // Cells, free and hidden variables are left to the refresh.
    if (_PyLocals_GetKind(code->co_localspluskinds, i) != CO_FAST_LOCAL ||
        (data->stacktop != 0 && data->localsplus[i] != nullptr)) {
      continue;
    }
    if (locals == nullptr) {
      locals = data->f_locals = PyDict_New();  // as the refresh would make it
      if (locals == nullptr) {
        return false;
      }
    }
    if (!PyDict_CheckExact(locals)) {
      return true;
    }
    PyObject* name = PyTuple_GET_ITEM(code->co_localsplusnames, i);
    const int present = PyDict_Contains(locals, name);
    if (present < 0 || (present == 0 && PyDict_SetItem(locals, name, Py_None) < 0)) {
      return false;
    }
  }
  return true;
}
#endif

#if PY_VERSION_HEX >= 0x030D0000
bool copy_frame_variables(PyFrameObject* frame, PyObject* out) {
  _PyInterpreterFrame* data = frame->f_frame;
  PyCodeObject* code = _PyFrame_GetCode(data);
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = data->localsplus[i];
    if (value == nullptr) {
      continue;
    }
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    // A variable shadowed by an inlined comprehension's may hold its value
    // rather than a cell.
    if ((kind == CO_FAST_FREE || (kind & CO_FAST_CELL) != 0) && PyCell_Check(value)) {
      value = PyCell_GET(value);
      if (value == nullptr) {
        continue;
      }
    }
    if (PyDict_SetItem(out, PyTuple_GET_ITEM(code->co_localsplusnames, i), value) < 0) {
      return false;
    }
  }
  if (frame->f_extra_locals != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(frame->f_extra_locals, &position, &key, &value)) {
      if (PyDict_SetItem(out, key, value) < 0) {
        return false;
      }
    }
  }
  return true;
}
#endif

}  // namespace tavo::compat
