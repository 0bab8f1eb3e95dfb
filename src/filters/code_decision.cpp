// Per-code-object cache of the frame filter's path decision.
//
// The path checks and the plugin lookup depend only on the code object's file
// and name, so they are made once per code object and kept in its extra slot,
// tagged with the profiler's serial: an event of a known code object then
// costs one slot read and one comparison (CodeDecider::decide).
#include "filters/code_decision.hpp"

#include <string>

#include "buffers/trace_buffers.hpp"
#include "filters/path_filter.hpp"
#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/cpp_barrier.hpp"
#include "interop/generated_code.hpp"

namespace tavo {

Py_ssize_t code_extra_index = -1;

bool init_code_decision_cache() {
  if (code_extra_index < 0) {
    code_extra_index = compat::request_code_extra_index();
  }
  if (code_extra_index < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_RuntimeError, "no code object extra slot is available");
    }
    return false;
  }
  return true;
}

CodeDecision CodeDecider::decide_first(PyCodeObject* code) {
  // Nothing below may disturb an exception being raised through the frame.
  PyObject* pending = PyErr_GetRaisedException();
  CodeDecision decision;
  Status decided = catch_cpp([&] {
    decision = decide_uncached(code);
    return Status::success();
  });
  if (!decided.ok()) {
    // Out of memory: the frame is not recorded this time (nor cached, so the
    // next event of the code tries again).
    buffers_.count_dropped(1);
    decision = CodeDecision();
  }
  PyErr_SetRaisedException(pending);
  return decision;
}

CodeDecision CodeDecider::decide_uncached(PyCodeObject* code) {
  auto* code_obj = reinterpret_cast<PyObject*>(code);
  std::string filename_storage;
  std::string name_storage;
  std::string_view filename = utf8_view(code->co_filename, filename_storage);
  std::string_view name = utf8_view(code->co_name, name_storage);
  // The annotations the interpreter evaluates for the program are not calls
  // of the program, wherever its file lies.
  const PathVerdict verdict = compat::is_generated_annotate(code)
                                  ? PathVerdict::kSkip
                                  : classify_path(filename, include_frames_, ignore_frames_);
  CodeDecision decision{verdict != PathVerdict::kSkip, verdict == PathVerdict::kKeepIfNotAttrs,
                        watcher_.watches(name, filename)};
  std::uintptr_t value = (static_cast<std::uintptr_t>(serial_) << 4) | kDecisionValid;
  value |= decision.bits();
  if (PyUnstable_Code_SetExtra(code_obj, code_extra_index, reinterpret_cast<void*>(value)) < 0) {
    PyErr_Clear();  // only the cache is lost
  }
  return decision;
}

}  // namespace tavo
