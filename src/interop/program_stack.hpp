// Running a program's main code with nothing of tavo's beneath it.
//
// `tavo run` starts the program from its own Python code, so without care the
// program's main module would run with tavo's frames below it: a stack the
// program prints or walks (traceback.print_stack, inspect.stack, a logger's
// stack_info, a frame's f_back) would show them, and its recursion would hit
// the interpreter's limit some frames earlier than when run by the
// interpreter itself. The call below hides those frames for its duration.
#pragma once

#include <Python.h>

namespace tavo::compat {

// Calls `callable(*args)` as the bottom of the calling thread's stack: the
// frames it runs have no caller below it, and the recursion depth counts
// from zero, as for the module the interpreter runs first. The caller's
// frames and depth are back when it returns, whatever the limit became
// meanwhile. The new reference it returns, or null with an exception set.
PyObject* call_as_stack_bottom(PyObject* callable, PyObject* args);

}  // namespace tavo::compat
