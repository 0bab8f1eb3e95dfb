// Modules of the host package and the standard library, reached at each use.
#pragma once

#include "interop/error.hpp"
#include "interop/pyref.hpp"

namespace tavo {

// The module named `name`: from the interpreter's module cache when it is
// there (no import machinery runs), otherwise imported.
Result<PyRef> get_module(PyObject* name);
// `getattr(module, attribute)` for the module named `name`.
Result<PyRef> get_module_attr(PyObject* name, PyObject* attribute);

}  // namespace tavo
