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

// Whether the frame's code is recorded / watched by a plugin: the cached
// slot value itself, so that the common answer (neither) is one bit test.
class CodeDecision {
 public:
  constexpr CodeDecision() = default;
  constexpr explicit CodeDecision(std::uintptr_t bits) : bits_(bits) {}
  constexpr CodeDecision(bool keep_path, bool needs_attrs_check, bool plugins_watch)
      : bits_(kDecisionValid | (keep_path ? kDecisionKeep : 0) |
              (needs_attrs_check ? kDecisionAttrs : 0) | (plugins_watch ? kDecisionPlugins : 0)) {}

  bool keep_path() const { return (bits_ & kDecisionKeep) != 0; }
  bool needs_attrs_check() const { return (bits_ & kDecisionAttrs) != 0; }
  bool plugins_watch() const { return (bits_ & kDecisionPlugins) != 0; }
  // False for the default value, which stands for "not decided yet".
  bool known() const { return (bits_ & kDecisionValid) != 0; }
  bool any() const { return (bits_ & (kDecisionKeep | kDecisionPlugins)) != 0; }
  std::uintptr_t bits() const {
    return bits_ & (kDecisionKeep | kDecisionAttrs | kDecisionPlugins);
  }

 private:
  std::uintptr_t bits_ = 0;
};

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
    const CodeDecision decision = cached(code);
    return decision.known() ? decision : decide_first(code);
  }

  // The decision made already for `code`, or one that is not known(); never
  // calls anything, so that a caller's fast path stays a leaf.
  CodeDecision cached(PyCodeObject* code) const {
    const auto value = reinterpret_cast<std::uintptr_t>(compat::code_extra(code, code_extra_index));
    const std::uintptr_t mine = (static_cast<std::uintptr_t>(serial_) << 4) | kDecisionValid;
    return (value & ~(kDecisionBits & ~kDecisionValid)) == mine ? CodeDecision(value)
                                                                : CodeDecision();
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
