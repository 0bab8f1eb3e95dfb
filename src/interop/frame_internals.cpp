// The only file that sees the interpreter's private frame layout: it is
// compiled as part of the interpreter's build would be, and exposes plain
// functions, so that no other file depends on that layout.
#define Py_BUILD_CORE 1
#include "interop/frame_internals.hpp"

#include <Python.h>

#include "interop/compat_state.hpp"

#if PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_interpframe.h>
#include <internal/pycore_stackref.h>
#endif
#endif

namespace tavo::compat {

#if PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW

const FrameCodeLayout frame_code_layout{
    offsetof(PyFrameObject, f_frame),
#if PY_VERSION_HEX >= 0x030E0000
    // A tagged reference: the low bits say how it is counted.
    offsetof(_PyInterpreterFrame, f_executable),
    ~std::uintptr_t{Py_TAG_BITS},
#elif PY_VERSION_HEX >= 0x030D0000
    offsetof(_PyInterpreterFrame, f_executable),
    ~std::uintptr_t{0},
#else
    offsetof(_PyInterpreterFrame, f_code),
    ~std::uintptr_t{0},
#endif
};

namespace {

// A variable's value as the frame holds it, borrowed.
#if PY_VERSION_HEX >= 0x030E0000
PyObject* variable(const _PyStackRef& slot) { return PyStackRef_AsPyObjectBorrow(slot); }
#else
PyObject* variable(PyObject* slot) { return slot; }
#endif

}  // namespace

GlobalsStamp frame_globals_stamp(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030E0000
  // Dicts have no version number any more: nothing to compare.
  (void)frame;
  return {};
#else
  PyObject* globals = frame->f_frame->f_globals;
  if (globals == nullptr || !PyDict_CheckExact(globals)) {
    return {};
  }
  // Every change of a dict gives it a new interpreter-wide version number.
  return {globals, reinterpret_cast<PyDictObject*>(globals)->ma_version_tag};
#endif
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
namespace {

// Calls `take(name, value)` for each bound variable of a function frame, as
// the interpreter's locals proxy lists them (the names set from outside
// aside); false as soon as `take` does.
template <class Take>
bool for_each_variable(_PyInterpreterFrame* data, Take take) {
  PyCodeObject* code = _PyFrame_GetCode(data);
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = variable(data->localsplus[i]);
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
    if (!take(PyTuple_GET_ITEM(code->co_localsplusnames, i), value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool copy_frame_variables(PyFrameObject* frame, PyObject* out) {
  if (!for_each_variable(frame->f_frame, [out](PyObject* name, PyObject* value) {
        return PyDict_SetItem(out, name, value) == 0;
      })) {
    return false;
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

bool frame_bound_variables(PyFrameObject* frame, std::vector<FrameVariable>& out) {
  _PyInterpreterFrame* data = frame->f_frame;
  if ((_PyFrame_GetCode(data)->co_flags & CO_OPTIMIZED) == 0 || frame->f_extra_locals != nullptr) {
    return false;
  }
  return for_each_variable(data, [&out](PyObject* name, PyObject* value) {
    out.emplace_back(name, value);
    return true;
  });
}
#else
bool frame_bound_variables(PyFrameObject* frame, std::vector<FrameVariable>& out) {
  _PyInterpreterFrame* data = frame->f_frame;
  PyCodeObject* code = data->f_code;
  // Before its first instruction a frame's free variables may not be copied
  // in yet: the refresh does that itself.
  if ((code->co_flags & CO_OPTIMIZED) == 0 || data->f_locals != nullptr ||
      _PyInterpreterFrame_LASTI(data) < 0) {
    return false;
  }
  if (data->stacktop == 0) {
    return true;  // the refresh reads no variable of such a frame
  }
  const std::size_t start = out.size();
  // As the refresh reads them: by the time a frame has started, every
  // variable's cell has been made (the cells come first in the code), so a
  // cell variable holding a cell is read through it, and one holding
  // anything else (shadowed by an inlined comprehension's) as it is.
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = variable(data->localsplus[i]);
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    if (value == nullptr || (kind & CO_FAST_HIDDEN) != 0) {
      continue;
    }
    if ((kind & CO_FAST_FREE) != 0) {
      if (!PyCell_Check(value)) {
        out.resize(start);  // the refresh would read it as a cell: left to it
        return false;
      }
      value = PyCell_GET(value);
    } else if ((kind & CO_FAST_CELL) != 0 && PyCell_Check(value)) {
      value = PyCell_GET(value);
    }
    if (value != nullptr) {
      out.emplace_back(PyTuple_GET_ITEM(code->co_localsplusnames, i), value);
    }
  }
  return true;
}
#endif

#else
// A newer interpreter than those known is refused at import
// (interpreter_check.hpp) before anything reads a frame: nothing below is
// reached, and its private headers, which may not even compile here, are
// left alone.
const FrameCodeLayout frame_code_layout{0, 0, 0};
GlobalsStamp frame_globals_stamp(PyFrameObject*) { return {}; }
FramePosition frame_position(PyFrameObject* frame) { return {PyFrame_GetLasti(frame), 0}; }
PyCodeObject* back_code(PyFrameObject*, int) { return nullptr; }
bool frame_bound_variables(PyFrameObject*, std::vector<FrameVariable>&) { return false; }
bool copy_frame_variables(PyFrameObject*, PyObject*) {
  PyErr_SetString(PyExc_SystemError, "tavo does not know this interpreter's frames");
  return false;
}
#endif

}  // namespace tavo::compat
