// The encoder's functions in the extension module: dump_msgpack,
// dump_msgpack_lightweight_repr and set_value_settings.
#pragma once

#include <Python.h>

#include <optional>

namespace tavo::values {

// Adds the functions to `module`; false with an exception set on failure.
bool add_value_functions(PyObject* module);

// Whether `callable` is one of the module's dump functions, and which: the
// engine then encodes into its record directly instead of calling it.
std::optional<bool> native_dump_lightweight(PyObject* callable);

}  // namespace tavo::values
