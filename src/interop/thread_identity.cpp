#include "interop/thread_identity.hpp"

#include "interop/convert.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"

namespace tavo {

Result<std::optional<std::uint64_t>> thread_native_id(PyObject* thread) {
  PyRef native_id = PyRef::steal(PyObject_GetAttr(thread, names().native_id));
  if (!native_id) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return std::optional<std::uint64_t>();
    }
    return PyError::fetch();
  }
  return to_optional_u64(native_id.get());
}

Result<std::optional<std::uint64_t>> main_thread_native_id() {
  Result<PyRef> main_thread = get_module_attr(names().module_threading, names().main_thread);
  if (!main_thread.ok()) {
    return main_thread.take_error();
  }
  PyRef thread = PyRef::steal(PyObject_CallNoArgs(main_thread.value().get()));
  if (!thread) {
    return PyError::fetch();
  }
  return thread_native_id(thread.get());
}

Result<ThreadIdentity> current_thread() {
  const InternedNames& n = names();
  Result<PyRef> current = get_module_attr(n.module_threading, n.current_thread);
  if (!current.ok()) {
    return current.take_error();
  }
  PyRef thread = PyRef::steal(PyObject_CallNoArgs(current.value().get()));
  if (!thread) {
    return PyError::fetch();
  }
  PyRef name = PyRef::steal(PyObject_GetAttr(thread.get(), n.name));
  if (!name) {
    return PyError::fetch();
  }
  if (!PyUnicode_Check(name.get())) {
    return conversion_error(name.get(), "PyString");
  }
  std::string storage;
  std::string text(utf8_view(name.get(), storage));
  Result<std::optional<std::uint64_t>> native_id = thread_native_id(thread.get());
  if (!native_id.ok()) {
    return native_id.take_error();
  }
  return ThreadIdentity{std::move(text), native_id.value()};
}

}  // namespace tavo
