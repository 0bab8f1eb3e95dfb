// Reporting a Python error met while handling an event: a warning of the
// "tavo" logger with the traceback and the frame's variables by name and
// type, never an exception in the profiled program. Interrupts are not event
// errors: they go back to the caller, which hands them back to the program.
#include "interop/event_error.hpp"

#include "interop/compat.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"

namespace tavo {

namespace {

// Most variables the report names, so that a module's globals stay short.
constexpr Py_ssize_t kReportedVariables = 40;

// "{'name': <type>, ...}": the frame's variables by name and type, made
// without running any of their code (a repr could run the program's).
PyRef describe_variables(PyFrameObject* frame) {
  bool is_copy = false;
  PyRef locals = compat::frame_locals_dict(frame, is_copy);
  if (!locals || !PyDict_Check(locals.get())) {
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<not available>"));
  }
  PyRef parts = PyRef::steal(PyList_New(0));
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  Py_ssize_t count = 0;
  while (parts && PyDict_Next(locals.get(), &position, &key, &value)) {
    if (++count > kReportedVariables) {
      PyRef more = PyRef::steal(PyUnicode_FromString("..."));
      if (!more || PyList_Append(parts.get(), more.get()) < 0) {
        parts = PyRef();
      }
      break;
    }
    PyRef part = PyUnicode_CheckExact(key)
                     ? PyRef::steal(PyUnicode_FromFormat("%R: <%s>", key, Py_TYPE(value)->tp_name))
                     : PyRef::steal(PyUnicode_FromFormat("<%s key>: <%s>", Py_TYPE(key)->tp_name,
                                                         Py_TYPE(value)->tp_name));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) {
      parts = PyRef();
    }
  }
  PyRef separator = parts ? PyRef::steal(PyUnicode_FromString(", ")) : PyRef();
  PyRef joined = separator ? PyRef::steal(PyUnicode_Join(separator.get(), parts.get())) : PyRef();
  if (!joined) {
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<not available>"));
  }
  return PyRef::steal(PyUnicode_FromFormat("{%U}", joined.get()));
}

}  // namespace

Status report_event_error(PyError error, PyFrameObject* frame, PyObject* event_name,
                          PyObject* co_filename, PyObject* co_name) {
  if (error.is_interrupt()) {
    return error;  // the program's, not an event error
  }
  const InternedNames& n = names();
  PyRef exc = std::move(error).take();
  // Reporting runs Python code (logging handlers); a failure there is
  // dropped, since raising it would break the profiled program. An interrupt
  // met there is returned all the same.
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
  PyRef locals = logger ? describe_variables(frame) : PyRef();
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
