// The only file that sees the interpreter's private frame layout: it is
// compiled as part of the interpreter's build would be, and exposes plain
// functions, so that no other file depends on that layout.
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_frame.h>

#include "interop/frame_internals.hpp"

namespace tavo::compat {

int frame_line_override(PyFrameObject* frame) { return frame->f_lineno; }

}  // namespace tavo::compat
