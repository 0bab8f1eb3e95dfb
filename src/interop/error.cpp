#include "interop/error.hpp"

#include <cstdarg>

namespace tavo {

PyError PyError::fetch() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    exc = PyErr_GetRaisedException();
  }
  return PyError(PyRef::steal(exc));
}

PyError PyError::make(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return fetch();
}

PyError PyError::format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  return fetch();
}

std::optional<PyError> fetch_interrupt() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    return std::nullopt;
  }
  const bool program = belongs_to_program(raised);
  PyErr_SetRaisedException(raised);
  if (!program) {
    return std::nullopt;
  }
  return PyError::fetch();
}

PyError conversion_error(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) {
    return PyError::fetch();
  }
  return PyError::format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                         target);
}

PyError str_to_vec_error() {
  return PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

}  // namespace tavo
