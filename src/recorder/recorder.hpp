// The frame recorder: turns a call or return event into records (the frame
// record, the plugins' records, the exception record), keeps each thread's
// call-frame bookkeeping, and buffers the records.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "buffers/event_records.hpp"
#include "buffers/trace_buffers.hpp"
#include "filters/code_decision.hpp"
#include "interop/error.hpp"
#include "interop/fork_generation.hpp"
#include "plugins/plugin_processing.hpp"
#include "record/event.hpp"
#include "recorder/thread_slots.hpp"
#include "saving/trace_saver.hpp"

namespace tavo {

// While set, every event of the calling thread is left out, by every profiler.
// The pytest plugin sets it while the garbage collector runs finalizers: a
// generator closed there was made by an earlier test, not the running one.
void leave_out_thread_events(bool left_out);

class Recorder {
 public:
  struct Settings {
    bool one_trace_per_test = false;
    bool lightweight_repr = false;
    bool exceptions = false;  // whether record_exception writes records
  };

  Recorder(std::uint64_t profiler_serial, CodeDecider& decider, PluginProcessing& plugins,
           TraceBuffers& buffers, TraceSaver& saver)
      : decider_(decider),
        plugins_(plugins),
        buffers_(buffers),
        saver_(saver),
        threads_(profiler_serial),
        fork_generation_(fork_generation()) {}
  void configure(Settings settings) { settings_ = settings; }

  // Handles one call or return event whose code `decision` says is recorded
  // or watched. `self` is the Python object that owns the profiler. Event
  // errors are reported and dropped; an exception of the program met by
  // Python code run for the event (an interrupt, a signal handler's) is
  // handed back to it (see interop/program_exception.hpp). Never raises.
  void profile(PyObject* self, PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
               PyObject* arg, Event event);

  // An exception unwinding the calling thread's current frame: writes the
  // "exception" record of that frame if its return was just recorded (config
  // "exceptions"; see exception_record.hpp). Errors are handled as by
  // `profile`; never raises, and the unwinding exception stays as it is.
  void record_exception(PyObject* exception);

  // Starts a new trace in a forked child before it records or saves anything
  // (cheap when there was no fork).
  void check_fork() {
    if (fork_generation() != fork_generation_) [[unlikely]] {
      after_fork();
    }
  }

  // The source stopped reporting this profiler's events on some thread: each
  // thread makes its call-frame stack again when it next records.
  void note_events_unseen() { ++unwatched_drops_; }

  ThreadSlots& threads() { return threads_; }
  const ThreadSlots& threads() const { return threads_; }

 private:
  void after_fork();
  // An event of recorded code once the trace's buffered records have reached
  // their budget: the record it would make is counted as dropped, at the
  // least cost (see TraceBuffers::budget_reached). The call-frame bookkeeping
  // is left behind, to be made again by resync_call_frames: an engine may stop
  // reporting these events altogether until recording resumes.
  void drop_over_budget(PyFrameObject* frame, Event event);
  // Makes the thread's call-frame stack again from its running frames, when
  // events were dropped unwatched since it was last right: a recorded frame
  // still running keeps its id, one that began meanwhile gets the dropped-call
  // id, and the ids of frames that ended meanwhile are forgotten. `frame` is
  // the event's own, not yet on the stack at a call.
  [[gnu::cold, gnu::noinline]] void resync_call_frames(ThreadSlot& slot, PyFrameObject* frame,
                                                       Event event);
  // Ends an event cut short by an exception of the program, which is handed
  // back to it. With `keep_place`, the frame's records are dropped but not its
  // place on the call-frame stack.
  [[gnu::cold, gnu::noinline]] void end_interrupted(PyError interrupt, PyFrameObject* frame,
                                                    Event event, bool keep_place);
  // Handles the event with C++ exceptions left to the caller. For an interrupt
  // met in the plugins, `keep_place` says whether the frame keeps its place on
  // the call-frame stack (see end_interrupted).
  Status handle_event(PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
                      PyObject* arg, Event event, EventRecords& records, bool& keep_place);
  Status process_frame(PyFrameObject* frame, PyCodeObject* code, PyObject* arg, Event event,
                       std::string_view filename, std::string_view name_text,
                       EventRecords& records);
  void update_call_frames(ThreadSlot& slot, Event event, PyFrameObject* frame,
                          const std::optional<FrameId>& frame_id);
  // Buffers the event's records; at a test boundary (one trace per test) the
  // trace ends there: saved at an end marker, a new one begun at a start
  // marker. `slot` is the calling thread's, when the caller already has it.
  Status push_frames(Event event, EventRecords& records, ThreadSlot* slot = nullptr);
  Result<const ThreadIdentity*> thread_identity(ThreadSlot& slot);
  // Reports an event error; an interrupt is not reported but returned, as is
  // one raised while reporting.
  Status log_error(PyError error, PyFrameObject* frame, Event event, PyObject* co_filename,
                   PyObject* co_name);

  CodeDecider& decider_;
  PluginProcessing& plugins_;
  TraceBuffers& buffers_;
  TraceSaver& saver_;
  Settings settings_;
  ThreadSlots threads_;
  std::uint64_t fork_generation_;
  // Events dropped over the budget without bookkeeping, ever: a thread whose
  // slot saw a different count resyncs its call frames.
  std::uint64_t unwatched_drops_ = 0;
};

}  // namespace tavo
