#include "values/value_functions.hpp"

#include <new>

#include "interop/dict_internals.hpp"
#include "values/object_view.hpp"
#include "values/value_encoder.hpp"

namespace tavo::values {

namespace {

PyObject* dump(PyObject* value, bool lightweight) {
  try {
    return encode_to_bytes(value, lightweight, current_settings());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* dump_msgpack(PyObject*, PyObject* value) { return dump(value, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject*, PyObject* value) { return dump(value, true); }

PyObject* set_value_settings(PyObject*, PyObject* args) {
  int repr = 0;
  Py_ssize_t budget = 0;
  if (!PyArg_ParseTuple(args, "pn:set_value_settings", &repr, &budget)) {
    return nullptr;
  }
  if (budget < static_cast<Py_ssize_t>(kMinRoom) || budget > 0xffffffffLL) {
    PyErr_Format(PyExc_ValueError, "the value budget must be from %zu to 4294967295 bytes",
                 kMinRoom);
    return nullptr;
  }
  set_settings(ValueSettings{repr != 0, static_cast<std::size_t>(budget)});
  Py_RETURN_NONE;
}

PyMethodDef value_methods[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     "dump_msgpack(value)\n--\n\nThe MessagePack encoding of a recorded value."},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     "dump_msgpack_lightweight_repr(value)\n--\n\nLike dump_msgpack, with shorter "
     "descriptions."},
    {"set_value_settings", set_value_settings, METH_VARARGS,
     "set_value_settings(repr, budget)\n--\n\nHow values are encoded from now on."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_value_functions(PyObject* module) {
  compat::check_dict_layout();
  return init_object_view() && PyModule_AddFunctions(module, value_methods) == 0;
}

std::optional<bool> native_dump_lightweight(PyObject* callable) {
  if (!PyCFunction_Check(callable)) {
    return std::nullopt;
  }
  PyCFunction function = PyCFunction_GET_FUNCTION(callable);
  if (function == dump_msgpack) {
    return false;
  }
  if (function == dump_msgpack_lightweight_repr) {
    return true;
  }
  return std::nullopt;
}

}  // namespace tavo::values
