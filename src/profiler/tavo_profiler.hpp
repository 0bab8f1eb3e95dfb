// One profiling run: the parts (filters, plugins, buffers, saving, recorder)
// built from the host's configuration, and what event sources and the host
// call on it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "buffers/trace_buffers.hpp"
#include "filters/code_decision.hpp"
#include "interop/error.hpp"
#include "plugins/plugin_processing.hpp"
#include "record/event.hpp"
#include "recorder/recorder.hpp"
#include "saving/trace_saver.hpp"

namespace tavo {

// Where the events come from: the profile function, or the monitoring API.
enum class EngineKind : unsigned char { kProfile, kMonitoring };

class TavoProfiler {
 public:
  // Builds a profiler from the host profiler object; nothing survives a
  // failure.
  static Result<std::unique_ptr<TavoProfiler>> new_from_python(PyObject* host);
  ~TavoProfiler();
  TavoProfiler(const TavoProfiler&) = delete;
  TavoProfiler& operator=(const TavoProfiler&) = delete;

  // What event sources call (see sources/event_sink.hpp).
  using CodeDecision = tavo::CodeDecision;
  CodeDecision decide(PyCodeObject* code) { return decider_.decide(code); }
  CodeDecision cached_decision(PyCodeObject* code) const { return decider_.cached(code); }
  void profile(PyObject* self, PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
               PyObject* arg, Event event) {
    recorder_.profile(self, frame, code, decision, arg, event);
  }
  void record_exception(PyObject* exception) { recorder_.record_exception(exception); }
  // Whether the trace's records have reached their budget: events of recorded
  // code are then only counted, until the buffers are emptied.
  bool budget_reached() const { return buffers_.budget_reached(); }
  // The source stopped reporting events of recorded code for the rest of
  // this budget (see TraceBuffers::note_drops_uncounted).
  void note_drops_uncounted() {
    buffers_.note_drops_uncounted();
    recorder_.note_events_unseen();
  }

  // The id of the trace being recorded now (a new one after each test
  // boundary when there is one trace per test, and in a forked child).
  std::string current_trace_id() {
    check_fork();
    return buffers_.trace_id();
  }
  // Records dropped (for any reason) since the current trace began.
  std::uint64_t dropped_records() const { return buffers_.dropped_records(); }
  const TraceBuffers& buffers() const { return buffers_; }
  // Record memory kept for reuse after a trace was taken.
  std::size_t kept_record_bytes() { return buffers_.kept_bytes(); }
  // The document's bytes, records restored on failure.
  Result<PyRef> build_trace() {
    check_fork();
    return saver_.build_document();
  }
  Status save_in_db() {
    check_fork();
    return saver_.save();
  }

  int traverse(visitproc visit, void* arg) const;
  void clear_python_refs();

  // Tells this profiler apart from every other in the process.
  std::uint64_t serial() const { return serial_; }
  EngineKind engine() const { return engine_; }

 private:
  TavoProfiler();

  // A forked child's profiler starts a new trace (see recorder/fork.cpp).
  void check_fork() { recorder_.check_fork(); }

  std::uint64_t serial_;
  EngineKind engine_ = EngineKind::kProfile;
  // In dependency order: each part is built after the parts it uses.
  TraceBuffers buffers_;
  PluginProcessing plugins_;
  CodeDecider decider_;
  TraceSaver saver_;
  Recorder recorder_;
};

}  // namespace tavo
