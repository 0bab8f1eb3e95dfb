// Reporting a Python error met while handling an event: a warning of the
// "tavo" logger, never an exception in the profiled program.
#pragma once

#include <Python.h>

#include "interop/error.hpp"

namespace tavo {

// Reports `error`, met at `event_name` ("call" / "return") of `frame`. An
// interrupt is not reported but returned, as is one raised while reporting.
Status report_event_error(PyError error, PyFrameObject* frame, PyObject* event_name,
                          PyObject* co_filename, PyObject* co_name);

}  // namespace tavo
