#include "interop/log_warning.hpp"

#include <Python.h>

#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "interop/program_exception.hpp"

namespace tavo {

void log_tavo_warning(const char* message) {
  if (!PyGILState_Check()) {
    return;
  }
  PyObject* pending = PyErr_GetRaisedException();
  Result<PyRef> get_logger = get_module_attr(names().module_logging, names().getLogger);
  if (get_logger.ok()) {
    PyRef logger = PyRef::steal(PyObject_CallOneArg(get_logger.value().get(), names().tavo));
    PyRef text = logger ? PyRef::steal(PyUnicode_FromString(message)) : PyRef();
    PyRef done =
        text ? PyRef::steal(PyObject_CallMethodOneArg(logger.get(), names().warning, text.get()))
             : PyRef();
  }
  // Logging runs Python code, where a signal handler may run and raise.
  if (std::optional<PyError> interrupt = fetch_interrupt()) {
    hand_back_to_program(std::move(*interrupt));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

}  // namespace tavo
