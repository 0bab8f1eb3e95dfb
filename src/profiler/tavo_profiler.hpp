// The state of one profiling run: settings, filters, plugins, record buffers,
// the current trace id and the per-thread bookkeeping.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/finder.hpp"
#include "plugins/plugin_processor.hpp"
#include "profiler/record_list.hpp"
#include "profiler/thread_slots.hpp"
#include "utils/compat.hpp"
#include "utils/error.hpp"
#include "utils/fork_generation.hpp"

namespace tavo {

enum class Event : unsigned char { kCall, kReturn };

inline std::string_view event_name(Event event) {
  return event == Event::kCall ? std::string_view("call") : std::string_view("return");
}

// Where the events come from: the profile function, or the monitoring API.
enum class EngineKind : unsigned char { kProfile, kMonitoring };

// What a record means to the buffers.
enum class RecordKind : unsigned char { kOrdinary, kStartTest, kEndTest };

// The records one event produced, in production order, kept in one reusable
// per-thread byte buffer.
struct EventRecords {
  struct Entry {
    std::size_t offset;
    std::size_t size;
    RecordKind kind;
  };
  ByteBuffer bytes;
  std::vector<Entry> entries;
  // How many entries, from the first, were buffered or dropped (so that an
  // event cut short knows how many of its records were lost).
  std::size_t handled = 0;

  void clear() {
    bytes.clear();
    entries.clear();
    handled = 0;
  }
  // Marks the bytes written since `offset` as one record.
  void add(std::size_t offset, RecordKind kind) {
    entries.push_back({offset, bytes.size() - offset, kind});
  }
};

// Records taken out of the buffers for one document, kept until the document
// has safely left so that they can be put back if it could not.
struct TakenRecords {
  RecordList frames_of_interest;
  std::unordered_map<std::uint64_t, RecordList> frames;
  std::uint64_t trace_generation = 0;
  std::size_t bytes = 0;  // of the records, counted against the budget
};

struct BuiltTrace {
  PyRef document;  // bytes
  std::string trace_id;
  TakenRecords taken;
};

// The code-object extra slot that caches per-code decisions. It holds a
// tagged integer, never a pointer, so it needs no free function:
// (serial << 4) | plugins_watch << 3 | needs_attrs_check << 2 | keep << 1 | 1.
extern Py_ssize_t code_extra_index;
inline constexpr std::uintptr_t kDecisionValid = 1;
inline constexpr std::uintptr_t kDecisionKeep = 2;
inline constexpr std::uintptr_t kDecisionAttrs = 4;
inline constexpr std::uintptr_t kDecisionPlugins = 8;
inline constexpr std::uintptr_t kDecisionBits = 0xf;

// The default limit on the bytes a trace's buffered records may take: beyond
// it records are dropped and counted.
inline constexpr std::size_t kDefaultBufferBudget = std::size_t{1} << 30;

class TavoProfiler {
 public:
  // Builds a profiler from the host profiler object; nothing survives a
  // failure.
  static Result<std::unique_ptr<TavoProfiler>> new_from_python(PyObject* host);
  ~TavoProfiler();

  // Whether the frame's code is recorded / watched by a plugin, decided once
  // per code object and cached in it.
  struct CodeDecision {
    bool keep_path;
    bool needs_attrs_check;
    bool plugins_watch;
    bool any() const { return keep_path || plugins_watch; }
  };
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

  // Handles one call or return event whose code `decision` says is recorded
  // or watched. `self` is the Python object that owns this profiler. Event
  // errors are reported and dropped; false, with the exception set, when
  // Python code run for the event raised an interrupt (an exception that is
  // not an `Exception`), which the profiled program must get.
  bool profile(PyObject* self, PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
               PyObject* arg, Event event);

  // The id of the trace being recorded now (a new one after each test
  // boundary when there is one trace per test, and in a forked child).
  std::string current_trace_id();

  // Starts a new trace in a forked child before it records or saves anything
  // (cheap when there was no fork).
  void check_fork() {
    if (fork_generation() != fork_generation_) [[unlikely]] {
      after_fork();
    }
  }

  Result<BuiltTrace> build_trace_inner();
  // Puts records taken for a document that never left back in front of the
  // buffers, unless a test boundary has started a new trace since.
  void put_back(TakenRecords&& taken);
  Status save_in_db();
  // `build_trace` for Python callers: the document's bytes, records restored
  // on failure.
  Result<PyRef> build_trace();

  int traverse(visitproc visit, void* arg) const;
  void clear_python_refs();

  std::uint64_t serial() const { return serial_; }
  EngineKind engine() const { return engine_; }
  // Records dropped (for any reason) since the current trace began.
  std::uint64_t dropped_records() const { return dropped_records_.load(std::memory_order_relaxed); }

  // The interpreter's unwind event: writes the "exception" record of the
  // frame whose return was just recorded (config "exceptions"; see
  // exception_record.hpp). `self` owns this profiler. With `thread_checked`,
  // the caller knows the thread is recorded (the monitoring engine). Event
  // errors are reported; false, with the exception set, for an interrupt the
  // program must get.
  bool record_exception(PyObject* self, PyObject* exception, bool thread_checked = false);

 private:
  TavoProfiler();

  // First sight of a code object for this profiler: decides and caches.
  CodeDecision decide_first(PyCodeObject* code);
  CodeDecision decide_uncached(PyCodeObject* code);

  // Ends an event cut short by an interrupt, which is set for the interpreter
  // to raise in the frame; false. With `keep_place`, the frame's records are
  // dropped but not its place on the call-frame stack.
  [[gnu::cold, gnu::noinline]] bool end_interrupted(PyError interrupt, PyObject* pending,
                                                    PyFrameObject* frame, Event event,
                                                    bool keep_place);
  void after_fork();
  void count_dropped(std::size_t count) {
    dropped_records_.fetch_add(count, std::memory_order_relaxed);
  }
  // Counts `size` more buffered bytes if the budget allows them.
  bool take_budget(std::size_t size);
  // Handles the event with C++ exceptions left to the caller. For an interrupt
  // met in the plugins, `keep_place` says whether the frame keeps its place on
  // the call-frame stack (see end_interrupted).
  Status handle_event(PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
                      PyObject* arg, Event event, EventRecords& records, bool& keep_place);
  Status process_frame(PyFrameObject* frame, PyObject* arg, Event event, std::string_view filename,
                       std::string_view name_text, EventRecords& records);
  // Event errors of the processors are reported; stops at an interrupt and
  // returns it.
  Status run_plugins(PyFrameObject* frame, PyObject* arg, Event event, std::string_view co_name,
                     std::string_view filename, EventRecords& records, PyObject* co_filename_obj,
                     PyObject* co_name_obj);
  Status write_plugin_record(PluginProcessor& processor, PyFrameObject* frame, PyObject* arg,
                             Event event, EventRecords& records);
  void update_call_frames(ThreadSlot& slot, Event event, PyFrameObject* frame,
                          const std::optional<FrameId>& frame_id);
  // `slot` is the calling thread's, when the caller already has it.
  Status push_frames(Event event, EventRecords& records, ThreadSlot* slot = nullptr);
  // Appends records [begin, end) of the event, in buffering order, to the
  // buffer of the thread with `native_id`.
  void push_frame_data(std::optional<std::uint64_t> native_id, EventRecords& records, bool reversed,
                       std::size_t begin, std::size_t end);
  void reset_trace();
  Result<const ThreadIdentity*> thread_identity(ThreadSlot& slot);
  // Reports an event error; an interrupt is not reported but returned, as is
  // one raised while reporting.
  Status log_error(PyError error, PyFrameObject* frame, Event event, PyObject* co_filename,
                   PyObject* co_name);

  std::uint64_t serial_;
  std::optional<std::uint64_t> main_thread_id_;
  std::string db_path_;
  std::string source_;
  double timestamp_ = 0;
  std::uint64_t sqlite_busy_timeout_ = 60;
  bool one_trace_per_test_ = false;
  bool threading_ = false;
  bool lightweight_repr_ = false;
  bool exceptions_ = false;  // whether record_exception writes records
  EngineKind engine_ = EngineKind::kProfile;
  std::size_t buffer_budget_ = kDefaultBufferBudget;
  std::uint64_t fork_generation_;
  Finders include_frames_;
  Finders ignore_frames_;

  // Lock order, for any operation that holds more than one: trace_id, then
  // frames_of_interest, then frames. The plugin lock guards only the
  // processors' per-frame state and is never held while Python code runs.
  std::mutex trace_id_mutex_;
  std::string trace_id_;
  std::uint64_t trace_generation_ = 0;  // bumped by every test-boundary reset
  std::mutex frames_of_interest_mutex_;
  RecordList frames_of_interest_;
  std::mutex frames_mutex_;
  std::unordered_map<std::uint64_t, RecordList> frames_;
  // Bytes of the buffered records of the trace, and the records dropped.
  std::atomic<std::size_t> buffered_bytes_{0};
  std::atomic<std::uint64_t> dropped_records_{0};
  std::mutex plugins_mutex_;
  PluginMap plugins_;

  ThreadSlots threads_;
  // The frame whose return event ended in an interrupt, or 0: the interpreter
  // raises the interrupt in that frame at once, and the frame's next return
  // event is not a second return. Frames of all threads share it, as no other
  // thread runs in between; read and written under the interpreter lock.
  std::uintptr_t interrupted_return_ = 0;
};

// Requests the code-object extra slot that caches per-code decisions; false
// with a Python error set on failure.
bool init_code_decision_cache();

}  // namespace tavo
