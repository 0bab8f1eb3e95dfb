#include "values/frame_locals.hpp"

#include <algorithm>
#include <vector>

#include "interop/frame_internals.hpp"
#include "interop/interned.hpp"
#include "values/value_encoder.hpp"

namespace tavo::values {

namespace {

bool is_builtins_name(PyObject* name) {
  PyObject* builtins = names().__builtins__;
  // Code objects intern their names; a name built otherwise is compared by content.
  return name == builtins || (PyUnicode_CheckExact(name) && !PyUnicode_CHECK_INTERNED(name) &&
                              PyUnicode_Compare(name, builtins) == 0);
}

}  // namespace

Result<bool> encode_frame_locals(PyFrameObject* frame, bool lightweight,
                                 const ValueSettings& settings, ByteBuffer& out) {
  if (settings.repr) {
    return false;
  }
  // Reused by every event of the thread: no allocation once it has grown.
  // Its address is taken once, as each use of a thread-local costs a call.
  thread_local std::vector<compat::FrameVariable> storage;
  std::vector<compat::FrameVariable>& variables = storage;
  variables.clear();
  if (!compat::frame_bound_variables(frame, variables)) {
    return false;
  }
  std::erase_if(variables,
                [](const compat::FrameVariable& v) { return is_builtins_name(v.first); });
  return encode_map(variables, lightweight, settings, out);
}

}  // namespace tavo::values
