#include "interop/program_exception.hpp"

#include <signal.h>

#include <deque>
#include <vector>

#include "interop/compat_state.hpp"

namespace tavo {

namespace {

// Exceptions waiting for the main thread's next check point, oldest first.
// Read and written under the interpreter lock.
std::deque<PyObject*> handed_back;

int raise_handed_back(void*) {
  if (handed_back.empty()) {
    return 0;
  }
  PyObject* exception = handed_back.front();
  handed_back.pop_front();
  PyErr_SetRaisedException(exception);
  return -1;
}

// The code object `handler` runs when the interpreter calls it, or null for a
// handler that is not Python code.
PyObject* handler_code(PyObject* handler) {
  if (PyMethod_Check(handler)) {
    handler = PyMethod_GET_FUNCTION(handler);
  }
  if (PyFunction_Check(handler)) {
    return PyFunction_GET_CODE(handler);
  }
  return nullptr;
}

// Whether one of the frames `exception` passed through runs a Python signal
// handler installed now: the exception is then the handler's, raised while
// tavo's code happened to run. Only asked about an `Exception` met in tavo's
// own work, never on the path of an ordinary event.
bool raised_by_signal_handler(PyObject* exception) {
  PyObject* traceback = PyException_GetTraceback(exception);  // new reference
  if (traceback == nullptr) {
    return false;
  }
  PyRef frames = PyRef::steal(traceback);
  // A program without Python signal handlers has not imported this module.
  PyRef name = PyRef::steal(PyUnicode_FromString("_signal"));
  PyRef signals = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  PyRef get_handler =
      signals ? PyRef::steal(PyObject_GetAttrString(signals.get(), "getsignal")) : PyRef();
  if (!get_handler) {
    PyErr_Clear();
    return false;
  }
  std::vector<PyRef> handlers;
  for (int signum = 1; signum < NSIG; ++signum) {
    PyRef handler = PyRef::steal(PyObject_CallFunction(get_handler.get(), "i", signum));
    if (!handler) {
      PyErr_Clear();  // not a signal this system has
      continue;
    }
    if (handler_code(handler.get()) != nullptr) {
      handlers.push_back(std::move(handler));
    }
  }
  for (PyObject* entry = frames.get(); entry != nullptr && PyTraceBack_Check(entry);
       entry = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next)) {
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(entry)->tb_frame;
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    for (const PyRef& handler : handlers) {
      if (handler_code(handler.get()) == code.get()) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool belongs_to_program(PyObject* exception) {
  if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception)) {
    return true;
  }
  // Asked with the exception taken out of the error indicator, or with one
  // that stays set there: either way the indicator is as it was afterwards.
  PyObject* pending = PyErr_GetRaisedException();
  const bool handler_raised = raised_by_signal_handler(exception);
  PyErr_SetRaisedException(pending);
  return handler_raised;
}

void hand_back_to_program(PyError exception) {
  PyRef raised = std::move(exception).take();
  if (compat::on_main_thread()) {
    handed_back.push_back(raised.get());
    if (Py_AddPendingCall(raise_handed_back, nullptr) == 0) {
      raised.release();
      return;
    }
    handed_back.pop_back();
  }
  PyThreadState_SetAsyncExc(PyThread_get_thread_ident(),
                            reinterpret_cast<PyObject*>(Py_TYPE(raised.get())));
}

}  // namespace tavo
