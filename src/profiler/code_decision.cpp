// Per-code-object cache of the frame filter's path decision.
//
// The path checks and the plugin lookup depend only on the code object's file
// and name, so they are made once per code object and kept in its extra slot,
// tagged with the profiler's serial: an event of a known code object then
// costs one slot read and one comparison.
#include <string>

#include "filters/path_filter.hpp"
#include "profiler/tavo_profiler.hpp"
#include "utils/compat.hpp"
#include "utils/convert.hpp"

namespace tavo {

namespace {

Py_ssize_t code_extra_index = -1;

// The slot holds a tagged integer, never a pointer, so it needs no free
// function: (serial << 4) | (plugins_watch << 3) | (needs_attrs << 2) | (keep << 1) | 1.
constexpr std::uintptr_t kValid = 1;
constexpr std::uintptr_t kKeep = 2;
constexpr std::uintptr_t kAttrs = 4;
constexpr std::uintptr_t kPlugins = 8;

}  // namespace

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

TavoProfiler::CodeDecision TavoProfiler::decide(PyCodeObject* code) {
  auto* code_obj = reinterpret_cast<PyObject*>(code);
  void* extra = nullptr;
  const std::uintptr_t tag = static_cast<std::uintptr_t>(serial_) << 4;
  if (PyUnstable_Code_GetExtra(code_obj, code_extra_index, &extra) == 0) {
    const auto cached = reinterpret_cast<std::uintptr_t>(extra);
    if ((cached & ~std::uintptr_t{0xf}) == tag && (cached & kValid)) {
      return {(cached & kKeep) != 0, (cached & kAttrs) != 0, (cached & kPlugins) != 0};
    }
  } else {
    PyErr_Clear();
  }
  // First sight of this code object for this profiler. Nothing below may
  // disturb an exception that is being raised through the frame.
  PyObject* pending = PyErr_GetRaisedException();
  std::string filename_storage;
  std::string name_storage;
  std::string_view filename = utf8_view(code->co_filename, filename_storage);
  std::string_view name = utf8_view(code->co_name, name_storage);
  const PathVerdict verdict = classify_path(filename, include_frames_, ignore_frames_);
  CodeDecision decision{verdict != PathVerdict::kSkip, verdict == PathVerdict::kKeepIfNotAttrs,
                        plugins_watch(plugins_, name, filename)};
  std::uintptr_t value = tag | kValid;
  value |= decision.keep_path ? kKeep : 0;
  value |= decision.needs_attrs_check ? kAttrs : 0;
  value |= decision.plugins_watch ? kPlugins : 0;
  if (PyUnstable_Code_SetExtra(code_obj, code_extra_index, reinterpret_cast<void*>(value)) < 0) {
    PyErr_Clear();  // only the cache is lost
  }
  PyErr_SetRaisedException(pending);
  return decision;
}

}  // namespace tavo
