// Reporting a Python error met while handling an event: a warning of the
// "tavo" logger with the traceback, never an exception in the profiled
// program. Interrupts are not event errors: they go back to the caller, which
// delivers them to the program.
#include "interop/event_error.hpp"

#include "interop/host_module.hpp"
#include "interop/interned.hpp"

namespace tavo {

Status report_event_error(PyError error, PyFrameObject* frame, PyObject* event_name,
                          PyObject* co_filename, PyObject* co_name) {
  if (error.is_interrupt()) {
    return error;  // the program's, not an event error
  }
  const InternedNames& n = names();
  PyRef exc = std::move(error).take();
  // Reporting runs Python code (logging handlers, reprs of locals); a failure
  // there is dropped, since raising it would break the profiled program. An
  // interrupt met there is handed back all the same.
  auto dropped = []() -> Status {
    if (std::optional<PyError> interrupt = fetch_interrupt()) {
      return std::move(*interrupt);
    }
    PyErr_Clear();
    return Status::success();
  };
  Result<PyRef> get_logger = get_module_attr(n.module_logging, n.getLogger);
  if (!get_logger.ok()) {
    get_logger.take_error().restore();
    return dropped();
  }
  PyRef logger = PyRef::steal(PyObject_CallOneArg(get_logger.value().get(), n.tavo));
  PyRef locals = logger ? PyRef::steal(PyFrame_GetLocals(frame)) : PyRef();
  PyRef kwargs = locals ? PyRef::steal(PyDict_New()) : PyRef();
  if (!kwargs || PyDict_SetItem(kwargs.get(), n.exc_info, exc.get()) < 0) {
    return dropped();
  }
  PyRef warning = PyRef::steal(PyObject_GetAttr(logger.get(), n.warning));
  PyRef args = warning ? PyRef::steal(PyTuple_Pack(5, n.log_format, co_filename, co_name,
                                                   event_name, locals.get()))
                       : PyRef();
  if (!args) {
    return dropped();
  }
  PyRef result = PyRef::steal(PyObject_Call(warning.get(), args.get(), kwargs.get()));
  if (!result) {
    return dropped();
  }
  return Status::success();
}

}  // namespace tavo
