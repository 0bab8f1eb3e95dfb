#include "interop/interpreter_check.hpp"

#include <cstring>
#include <vector>

#include "interop/compat.hpp"
#include "interop/pyref.hpp"

namespace tavo::compat {

namespace {

// "3.14.0" or "3.15.0a1": the running interpreter's version.
PyRef version_text() {
  const char* text = Py_GetVersion();  // the version, then a space and the build
  return PyRef::steal(PyUnicode_FromStringAndSize(text, std::strcspn(text, " ")));
}

// The bound variables read from the frame are those its locals mapping
// lists, with the same values.
bool variables_agree(PyFrameObject* frame) {
  std::vector<FrameVariable> variables;
  if (!frame_bound_variables(frame, variables)) {
    return true;  // nothing read privately for this frame
  }
  PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
  if (!locals || PyObject_Size(locals.get()) != static_cast<Py_ssize_t>(variables.size())) {
    PyErr_Clear();
    return false;
  }
  for (const FrameVariable& variable : variables) {
    PyRef value = PyRef::steal(PyObject_GetItem(locals.get(), variable.first));
    if (value.get() != variable.second) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

// A value set through the public call in the extra slot `index` of `code`
// is the one read in place; the slot's value is put back.
bool code_extra_agrees(PyObject* code, Py_ssize_t index) {
  static char marker;
  void* before = nullptr;
  if (PyUnstable_Code_GetExtra(code, index, &before) < 0 ||
      PyUnstable_Code_SetExtra(code, index, &marker) < 0) {
    PyErr_Clear();
    return false;
  }
  const bool agrees = code_extra(reinterpret_cast<PyCodeObject*>(code), index) == &marker;
  if (PyUnstable_Code_SetExtra(code, index, before) < 0) {
    PyErr_Clear();
  }
  return agrees;
}

// The first private read of `frame` that disagrees with the public call
// giving the same, or null.
const char* disagreement(PyFrameObject* frame, Py_ssize_t code_extra_index,
                         const FrameCodeLayout& layout) {
  PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  if (reinterpret_cast<PyObject*>(frame_code_with(layout, frame)) != code.get()) {
    return "the code of a frame";
  }
  if (!code_extra_agrees(code.get(), code_extra_index)) {
    return "the extra data of a code object";
  }
  if (frame_position(frame).last_offset != PyFrame_GetLasti(frame)) {
    return "the position of a frame";
  }
  PyRef back = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
  PyRef back_code_public = back ? PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(
                                      reinterpret_cast<PyFrameObject*>(back.get()))))
                                : PyRef();
  if (reinterpret_cast<PyObject*>(back_code(frame, 1)) != back_code_public.get()) {
    return "the caller of a frame";
  }
  if (!variables_agree(frame)) {
    return "the variables of a frame";
  }
  return nullptr;
}

}  // namespace

bool check_interpreter(Py_ssize_t code_extra_index, unsigned long newest_known,
                       const FrameCodeLayout& layout) {
  PyRef version = version_text();
  if (!version) {
    return false;
  }
  const unsigned long running = Py_Version & 0xFFFF0000UL;
  if (running > newest_known) {
    PyErr_Format(PyExc_ImportError,
                 "tavo does not support CPython %U yet: it knows the interpreters from 3.12 to "
                 "%lu.%lu",
                 version.get(), newest_known >> 24, (newest_known >> 16) & 0xFF);
    return false;
  }
  if (running != (PY_VERSION_HEX & 0xFFFF0000UL)) {
    PyErr_Format(PyExc_ImportError,
                 "this tavo was built for CPython %d.%d and cannot run on CPython %U: reinstall "
                 "tavo with this interpreter",
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, version.get());
    return false;
  }
  // The frame importing the module (none when imported from C alone).
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) {
    return true;
  }
  // Nothing here may disturb an exception the importer has pending.
  PyRef pending = PyRef::steal(PyErr_GetRaisedException());
  const char* wrong = disagreement(frame, code_extra_index, layout);
  PyErr_SetRaisedException(pending.release());
  if (wrong != nullptr) {
    PyErr_Format(PyExc_ImportError,
                 "tavo cannot run on this build of CPython %U: %s is not where tavo reads it",
                 version.get(), wrong);
    return false;
  }
  return true;
}

}  // namespace tavo::compat
