// Plugin processing: the plugin records of a call or return of a watched
// function, and the per-frame state the plugins share between threads.
#pragma once

#include <Python.h>

#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "buffers/event_records.hpp"
#include "buffers/trace_buffers.hpp"
#include "filters/code_decision.hpp"
#include "interop/error.hpp"
#include "plugins/plugin_processor.hpp"
#include "record/call_site.hpp"
#include "record/event.hpp"

namespace tavo {

// The function an event belongs to, as the plugins see it.
struct PluginEvent {
  PyFrameObject* frame;
  PyObject* arg;
  Event event;
  std::string_view co_name;
  std::string_view filename;
  PyObject* co_filename_obj;
  PyObject* co_name_obj;
};

class PluginProcessing final : public CodeWatcher {
 public:
  // Dropped plugin records are counted in `buffers`.
  explicit PluginProcessing(TraceBuffers& buffers) : buffers_(buffers) {}

  void set(PluginMap plugins, bool lightweight_repr) {
    plugins_ = std::move(plugins);
    lightweight_repr_ = lightweight_repr;
  }

  // Whether any processor watches `co_name` in a file whose path contains its
  // fragment.
  bool watches(std::string_view co_name, std::string_view path) const override {
    return plugins_watch(plugins_, co_name, path);
  }

  // Appends the records of the processors that want the event to `records`;
  // `call_frames` are the thread's recorded frames, for the call site. Event
  // errors of the processors are reported; stops at an interrupt and returns
  // it.
  Status run(const PluginEvent& event, const std::vector<CallFrame>& call_frames,
             EventRecords& records);

  // In a forked child: a new lock (see TraceBuffers::remake_locks), then the
  // ids of the other threads' frames, which would never be forgotten here.
  void remake_lock() { std::construct_at(&mutex_); }
  void forget_frames();

  // Visits / drops the Python objects the processors hold (for the collector).
  int traverse(visitproc visit, void* arg) const { return traverse_plugins(plugins_, visit, arg); }
  void clear() {
    PluginMap plugins = std::move(plugins_);
    plugins_.clear();
  }

 private:
  Status write_record(PluginProcessor& processor, const PluginEvent& event,
                      const std::vector<CallFrame>& call_frames, EventRecords& records);

  TraceBuffers& buffers_;
  bool lightweight_repr_ = false;
  // Guards only the processors' per-frame state, and is never held while
  // Python code runs.
  std::mutex mutex_;
  PluginMap plugins_;
};

}  // namespace tavo
