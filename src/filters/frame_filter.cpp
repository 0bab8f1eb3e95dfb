#include "filters/frame_filter.hpp"

#include <string>

#include "filters/path_filter.hpp"
#include "interop/convert.hpp"
#include "interop/pyref.hpp"

namespace tavo {

namespace {

// The caller of `frame` and its code file name, or a null caller.
PyRef caller_with_filename(PyFrameObject* frame, std::string& storage, std::string_view& filename) {
  PyRef back = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
  if (back) {
    PyRef code = PyRef::steal(
        reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(back.get()))));
    filename = utf8_view(reinterpret_cast<PyCodeObject*>(code.get())->co_filename, storage);
  }
  return back;
}

}  // namespace

bool attrs_filter(PyFrameObject* frame) {
  std::string storage;
  std::string_view filename;
  PyRef caller = caller_with_filename(frame, storage, filename);
  if (!caller) {
    return false;
  }
  if (filename.empty()) {
    caller =
        caller_with_filename(reinterpret_cast<PyFrameObject*>(caller.get()), storage, filename);
    if (!caller) {
      return false;
    }
  }
  return is_attrs_generator_file(filename);
}

}  // namespace tavo
