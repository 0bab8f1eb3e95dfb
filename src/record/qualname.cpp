#include "record/qualname.hpp"

#include <string>

#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/interned.hpp"

namespace tavo {

namespace {

// str(obj); a str() that raises goes to the unraisable hook and the object is
// shown as "<unprintable T object>". An interrupt is left set, with a null
// result.
PyRef render(PyObject* obj) {
  if (PyUnicode_CheckExact(obj)) {
    return PyRef::borrow(obj);
  }
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (text) {
    return text;
  }
  if (std::optional<PyError> interrupt = fetch_interrupt()) {
    std::move(*interrupt).restore();
    return PyRef();
  }
  PyErr_WriteUnraisable(obj);
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) {
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<unprintable object>"));
  }
  return PyRef::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
}

}  // namespace

Result<std::string_view> qualname_text(PyFrameObject* frame, CodeFacts* facts,
                                       std::string& storage) {
  // Frames of one code object almost always share their globals, whose
  // module name rarely changes: the text is kept per code object, for the
  // name object it was made from, and reused without a lookup while the
  // globals stay unchanged.
  const compat::GlobalsStamp stamp = compat::frame_globals_stamp(frame);
  if (facts != nullptr) {
    if (const std::string* known = facts->qualname_for(stamp)) [[likely]] {
      return std::string_view(*known);
    }
  }
  PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
  PyRef module_name;
  // Code run by exec() with globals that lack "__name__" has no module name:
  // it is None, as the __module__ of the functions that code defines.
  if (PyDict_Check(globals.get())) {
    if (compat::dict_get_item(globals.get(), names().__name__, module_name) == 0) {
      module_name = PyRef::borrow(Py_None);
    }
  } else {
    module_name = PyRef::steal(PyObject_GetItem(globals.get(), names().__name__));
    if (!module_name && PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      module_name = PyRef::borrow(Py_None);
    }
  }
  if (!module_name) {
    return PyError::fetch();
  }
  if (facts != nullptr) {
    if (const std::string* known = facts->qualname_for(module_name.get())) {
      facts->qualname_checked(stamp);
      return std::string_view(*known);
    }
  }
  PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  PyObject* co_qualname = reinterpret_cast<PyCodeObject*>(code.get())->co_qualname;
  PyRef module_text = render(module_name.get());
  if (!module_text) {
    return PyError::fetch();
  }
  PyRef qual_text = render(co_qualname);
  if (!qual_text) {
    return PyError::fetch();
  }
  std::string module_storage;
  std::string qual_storage;
  std::string_view module_part = utf8_view(module_text.get(), module_storage);
  std::string_view qual_part = utf8_view(qual_text.get(), qual_storage);
  storage.clear();
  storage.reserve(module_part.size() + 1 + qual_part.size());
  storage.append(module_part).append(1, '.').append(qual_part);
  // Only an exact str renders the same every time.
  if (facts != nullptr && PyUnicode_CheckExact(module_name.get()) &&
      PyUnicode_CheckExact(co_qualname)) {
    facts->keep_qualname(module_name.get(), storage);
    facts->qualname_checked(stamp);
  }
  return std::string_view(storage);
}

}  // namespace tavo
