#include "interop/host_module.hpp"

#include "interop/compat.hpp"

namespace tavo {

Result<PyRef> get_module(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyRef module;
  int found = compat::dict_get_item(modules, name, module);
  if (found < 0) {
    return PyError::fetch();
  }
  // Anything but a module in the cache (a None placeholder, a stand-in
  // object) is left to the import system to interpret.
  if (found == 1 && module.get() != Py_None && PyModule_CheckExact(module.get())) {
    return module;
  }
  module = PyRef::steal(PyImport_Import(name));
  if (!module) {
    return PyError::fetch();
  }
  return module;
}

Result<PyRef> get_module_attr(PyObject* name, PyObject* attribute) {
  Result<PyRef> module = get_module(name);
  if (!module.ok()) {
    return module.take_error();
  }
  PyObject* module_obj = module.value().get();
  PyRef value;
  // A plain module's functions are in its dictionary: reading it there skips
  // the generic attribute machinery on every recorded event.
  if (PyModule_CheckExact(module_obj) &&
      compat::dict_get_item(PyModule_GetDict(module_obj), attribute, value) == 1) {
    return value;
  }
  PyErr_Clear();
  value = PyRef::steal(PyObject_GetAttr(module_obj, attribute));
  if (value) {
    return value;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    return PyError::fetch();
  }
  // The cache also holds a module that another thread is still importing,
  // before its body has made its attributes. An import waits for that import
  // to finish, as an import statement would; then the attribute is read again.
  PyErr_Clear();
  PyRef imported = PyRef::steal(PyImport_Import(name));
  if (!imported) {
    return PyError::fetch();
  }
  value = PyRef::steal(PyObject_GetAttr(imported.get(), attribute));
  if (!value) {
    return PyError::fetch();
  }
  return value;
}

}  // namespace tavo
