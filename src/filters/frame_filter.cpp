#include "filters/frame_filter.hpp"

#include <string>

#include "filters/path_filter.hpp"
#include "interop/convert.hpp"
#include "interop/frame_internals.hpp"

namespace tavo {

bool attrs_filter(PyFrameObject* frame) {
  // The caller's code is read without making frame objects for the callers.
  std::string storage;
  PyCodeObject* caller = compat::back_code(frame, 1);
  if (caller == nullptr) {
    return false;
  }
  std::string_view filename = utf8_view(caller->co_filename, storage);
  if (filename.empty()) {
    caller = compat::back_code(frame, 2);
    if (caller == nullptr) {
      return false;
    }
    filename = utf8_view(caller->co_filename, storage);
  }
  return is_attrs_generator_file(filename);
}

}  // namespace tavo
