// The per-code decision: whether a code object's frames are recorded or
// watched by a plugin, decided once per code object and cached in it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "filters/finder.hpp"
#include "interop/compat.hpp"

namespace tavo {

class TraceBuffers;

// Whether the frame's code is recorded / watched by a plugin.
struct CodeDecision {
  bool keep_path;
  bool needs_attrs_check;
  bool plugins_watch;
  bool any() const { return keep_path || plugins_watch; }
};

// Whatever watches functions by name and file besides the filters (the
// plugins); asked once per code object.
class CodeWatcher {
 public:
  virtual bool watches(std::string_view co_name, std::string_view path) const = 0;

 protected:
  ~CodeWatcher() = default;
};

// The code-object extra slot that caches per-code decisions. It holds a
// tagged integer, never a pointer, so it needs no free function:
// (serial << 4) | plugins_watch << 3 | needs_attrs_check << 2 | keep << 1 | 1.
// Hidden, so that the event path reads it directly.
[[gnu::visibility("hidden")]] extern Py_ssize_t code_extra_index;
inline constexpr std::uintptr_t kDecisionValid = 1;
inline constexpr std::uintptr_t kDecisionKeep = 2;
inline constexpr std::uintptr_t kDecisionAttrs = 4;
inline constexpr std::uintptr_t kDecisionPlugins = 8;
inline constexpr std::uintptr_t kDecisionBits = 0xf;

// Requests the code-object extra slot that caches per-code decisions; false
// with a Python error set on failure.
bool init_code_decision_cache();

// One profiler's filters and their cached decisions, told apart from other
// profilers' by its serial.
class CodeDecider {
 public:
  // A failed decision counts a dropped record in `buffers`.
  CodeDecider(std::uint64_t serial, const CodeWatcher& watcher, TraceBuffers& buffers)
      : serial_(serial), watcher_(watcher), buffers_(buffers) {}

  void set_filters(Finders include_frames, Finders ignore_frames) {
    include_frames_ = std::move(include_frames);
    ignore_frames_ = std::move(ignore_frames);
  }

  // Inline: for most events this is all the work there is.
  CodeDecision decide(PyCodeObject* code) {
    const auto cached =
        reinterpret_cast<std::uintptr_t>(compat::code_extra(code, code_extra_index));
    if ((cached & ~kDecisionBits) == (static_cast<std::uintptr_t>(serial_) << 4) &&
        (cached & kDecisionValid)) {
      return {(cached & kDecisionKeep) != 0, (cached & kDecisionAttrs) != 0,
              (cached & kDecisionPlugins) != 0};
    }
    return decide_first(code);
  }

 private:
  // First sight of a code object for this profiler: decides and caches.
  CodeDecision decide_first(PyCodeObject* code);
  CodeDecision decide_uncached(PyCodeObject* code);

  std::uint64_t serial_;
  const CodeWatcher& watcher_;
  TraceBuffers& buffers_;
  Finders include_frames_;
  Finders ignore_frames_;
};

}  // namespace tavo
