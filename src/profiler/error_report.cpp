// Reporting a Python error met while handling an event: a warning of the
// "tavo" logger with the traceback, never an exception in the profiled
// program.
#include "profiler/tavo_profiler.hpp"
#include "utils/host_module.hpp"
#include "utils/interned.hpp"

namespace tavo {

void TavoProfiler::log_error(PyError error, PyFrameObject* frame, Event event,
                             PyObject* co_filename, PyObject* co_name) {
  const InternedNames& n = names();
  PyRef exc = std::move(error).take();
  // Reporting runs Python code (logging handlers, reprs of locals); a failure
  // there is dropped, since raising it would break the profiled program.
  Result<PyRef> get_logger = get_module_attr(n.module_logging, n.getLogger);
  if (!get_logger.ok()) {
    PyErr_Clear();
    return;
  }
  PyRef logger = PyRef::steal(PyObject_CallOneArg(get_logger.value().get(), n.tavo));
  PyRef locals = logger ? PyRef::steal(PyFrame_GetLocals(frame)) : PyRef();
  PyRef kwargs = locals ? PyRef::steal(PyDict_New()) : PyRef();
  if (!kwargs || PyDict_SetItem(kwargs.get(), n.exc_info, exc.get()) < 0) {
    PyErr_Clear();
    return;
  }
  PyRef warning = PyRef::steal(PyObject_GetAttr(logger.get(), n.warning));
  PyRef args = warning ? PyRef::steal(PyTuple_Pack(5, n.log_format, co_filename, co_name,
                                                   event == Event::kCall ? n.call : n.event_return,
                                                   locals.get()))
                       : PyRef();
  if (!args) {
    PyErr_Clear();
    return;
  }
  PyRef result = PyRef::steal(PyObject_Call(warning.get(), args.get(), kwargs.get()));
  if (!result) {
    PyErr_Clear();
  }
}

}  // namespace tavo
