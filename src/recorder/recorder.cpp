// Handling one call or return event: plugins, the frame filter, the frame
// record, the call-frame bookkeeping and the buffering.
#include "recorder/recorder.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "filters/frame_filter.hpp"
#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/cpp_barrier.hpp"
#include "interop/event_error.hpp"
#include "interop/interned.hpp"
#include "interop/pending_signals.hpp"
#include "interop/program_exception.hpp"
#include "interop/thread_switch.hpp"
#include "record/ids.hpp"
#include "recorder/frame_record.hpp"

namespace tavo {

namespace {

// Scratch space for the records of one event, reused across events so that
// the hot path does not allocate. An event never starts inside another on the
// same thread (the interpreter does not profile code run by a profile
// function), but a nested use would get a private buffer rather than clobber
// this one.
struct EventScratch {
  EventRecords records;
  bool in_use = false;
};
thread_local EventScratch scratch;

thread_local bool thread_left_out = false;

// Scratch that grew for one huge record is not kept for the thread's life.
constexpr std::size_t kScratchKeep = 1 << 20;

class ScratchLease {
 public:
  ScratchLease() : shared_(&scratch) {
    if (!shared_->in_use) {
      shared_->in_use = true;
      records_ = &shared_->records;
    } else {
      records_ = &own_;
    }
    records_->clear();
  }
  ~ScratchLease() {
    if (records_ == &shared_->records) {
      if (records_->bytes.capacity() > kScratchKeep) {
        records_->bytes = ByteBuffer();
      }
      records_->clear();
      shared_->in_use = false;
    }
  }
  EventRecords& records() { return *records_; }

 private:
  // The thread's scratch, looked up once: each thread-local access is a call.
  EventScratch* shared_;
  EventRecords own_;
  EventRecords* records_;
};

}  // namespace

void leave_out_thread_events(bool left_out) { thread_left_out = left_out; }

void Recorder::profile(PyObject* self, PyFrameObject* frame, PyCodeObject* code,
                       CodeDecision decision, PyObject* arg, Event event) {
  // Once the interpreter shuts down, or while this thread's state is being
  // torn down, the objects a record reads may be half gone: nothing is
  // recorded.
  PyThreadState* tstate = PyThreadState_Get();
  if (compat::interpreter_finalizing() || compat::thread_tearing_down(tstate) || thread_left_out)
      [[unlikely]] {
    return;
  }
  check_fork();
  if (buffers_.budget_reached() && !decision.plugins_watch()) [[unlikely]] {
    if (decision.keep_path() && !(decision.needs_attrs_check() && attrs_filter(frame))) {
      drop_over_budget(frame, event);
      let_waiting_thread_run(tstate);
    }
    // As short as an event of left-out code, and asked as cheaply.
    if constexpr (kPendingSignalsCheapToAsk) {
      run_pending_signal_handlers();
    }
    return;
  }
  // Plugin callables, the serializer and the store run Python code that could
  // drop the last other reference to this profiler.
  PyRef keep_alive = PyRef::borrow(self);
  PyObject* pending = compat::take_raised_exception(tstate);
  if (arg == nullptr) {
    arg = Py_None;
  }
  if (ThreadSlot& slot = threads_.current(); slot.unwatched_drops != unwatched_drops_)
      [[unlikely]] {
    resync_call_frames(slot, frame, event);
  }
  {
    ScratchLease lease;
    EventRecords& records = lease.records();
    Status result = Status::success();
    bool keep_place = false;
    try {
      result = handle_event(frame, code, decision, arg, event, records, keep_place);
    } catch (const std::exception& exc) {
      // The records of the event not yet buffered are lost, or the one being
      // made when there are none.
      result = error_from_cpp_exception(exc);
      const std::size_t lost = records.entries.size() - records.handled;
      buffers_.count_dropped(lost > 0 ? lost : 1);
    }
    if (!result.ok()) [[unlikely]] {
      if (!result.interrupted()) {
        // An event error: reported, unless reporting itself met an interrupt.
        result = log_error(result.take_error(), frame, event, code->co_filename, code->co_name);
        keep_place = false;
      }
      if (!result.ok()) {
        end_interrupted(result.take_error(), frame, event, keep_place);
      }
    }
  }
  run_pending_signal_handlers();
  compat::restore_raised_exception(tstate, pending);
  let_waiting_thread_run(tstate);
}

void Recorder::drop_over_budget(PyFrameObject* frame, Event event) {
  // Only counted: no id, record, clock read or value is made, and the frame
  // stacks are made again when recording resumes.
  ++unwatched_drops_;
  if (event == Event::kReturn && settings_.exceptions) {
    // The exception record that may follow is dropped with its return.
    ThreadSlot& slot = threads_.current();
    slot.last_return_address = reinterpret_cast<std::uintptr_t>(frame);
    slot.last_return_id = dropped_call_id();
  }
  buffers_.count_dropped(1, DropCause::kBudget);
}

void Recorder::resync_call_frames(ThreadSlot& slot, PyFrameObject* frame, Event event) {
  const bool fresh = slot.unwatched_drops == ThreadSlot::kFresh;
  slot.unwatched_drops = unwatched_drops_;
  if (fresh) {
    return;  // nothing was recorded on this thread yet
  }
  // The running frames, innermost first; the event's own frame is pushed by
  // the event itself at a call.
  std::vector<PyRef> running;
  PyRef current = event == Event::kCall
                      ? PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)))
                      : PyRef::borrow(reinterpret_cast<PyObject*>(frame));
  while (current) {
    auto* back = PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(current.get()));
    running.push_back(std::move(current));
    current = PyRef::steal(reinterpret_cast<PyObject*>(back));
  }
  // The old entries hold their frames alive, so an address found among them
  // is still that frame's; any other id in the map is a frame's that ended
  // meanwhile (another frame may have its address now).
  std::vector<CallFrame> resynced;
  std::vector<std::uintptr_t> kept_ids;
  for (auto it = running.rbegin(); it != running.rend(); ++it) {
    auto* running_frame = reinterpret_cast<PyFrameObject*>(it->get());
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(running_frame)));
    const CodeDecision decision = decider_.decide(reinterpret_cast<PyCodeObject*>(code.get()));
    if (!decision.keep_path() || (decision.needs_attrs_check() && attrs_filter(running_frame))) {
      continue;
    }
    auto old = std::find_if(slot.call_frames.begin(), slot.call_frames.end(),
                            [&](const CallFrame& entry) { return entry.frame.get() == it->get(); });
    if (old != slot.call_frames.end()) {
      kept_ids.push_back(reinterpret_cast<std::uintptr_t>(it->get()));
    }
    resynced.push_back(
        CallFrame{it->clone(), old != slot.call_frames.end() ? old->id : dropped_call_id()});
  }
  for (auto& [address, id] : slot.frame_ids) {
    if (std::find(kept_ids.begin(), kept_ids.end(), address) == kept_ids.end()) {
      id.reset();
    }
  }
  // Released after the swap: freeing a frame can run arbitrary code.
  std::swap(slot.call_frames, resynced);
}

void Recorder::end_interrupted(PyError interrupt, PyFrameObject* frame, Event event,
                               bool keep_place) {
  if (keep_place) {
    ThreadSlot& slot = threads_.current();
    std::optional<FrameId> frame_id;
    if (event == Event::kCall) {
      frame_id = new_frame_id();
      slot.frame_ids.insert_or_assign(reinterpret_cast<std::uintptr_t>(frame), *frame_id);
    }
    update_call_frames(slot, event, frame, frame_id);
  }
  hand_back_to_program(std::move(interrupt));
}

Status Recorder::handle_event(PyFrameObject* frame, PyCodeObject* code, CodeDecision decision,
                              PyObject* arg, Event event, EventRecords& records, bool& keep_place) {
  std::string filename_storage;
  std::string name_storage;
  std::string_view filename = utf8_view(code->co_filename, filename_storage);
  std::string_view name = utf8_view(code->co_name, name_storage);
  const bool keep = decision.keep_path() && !(decision.needs_attrs_check() && attrs_filter(frame));
  if (decision.plugins_watch()) {
    // Event errors are reported there; what comes back is an interrupt.
    const PluginEvent plugin_event{frame,        arg, event, name, filename, code->co_filename,
                                   code->co_name};
    if (Status plugins = plugins_.run(plugin_event, threads_.current().call_frames, records);
        !plugins.ok()) [[unlikely]] {
      keep_place = keep;
      return plugins;
    }
  }
  return keep ? process_frame(frame, code, arg, event, filename, name, records)
              : push_frames(event, records);
}

Status Recorder::process_frame(PyFrameObject* frame, PyCodeObject* code, PyObject* arg, Event event,
                               std::string_view filename, std::string_view name_text,
                               EventRecords& records) {
  ThreadSlot& slot = threads_.current();
  const auto address = reinterpret_cast<std::uintptr_t>(frame);

  // The frame id and the call-frame stack are kept up to date whether or not
  // the record can be made: a dropped record must not leave a stale frame on
  // the stack or pop the caller's, or every later call site of the thread
  // would be wrong. An id is forgotten at its frame's return, so that a later
  // frame at the same address never gets it; a generator or coroutine gets a
  // new id at each resume (a call event) anyway.
  // One clock reading for the event's id and its record's timestamp.
  const timespec now = wall_clock();
  std::optional<FrameId> frame_id;
  if (event == Event::kCall) {
    frame_id = new_frame_id(now);
    slot.frame_ids.insert_or_assign(address, frame_id);
  } else {
    frame_id = take_frame_id(slot.frame_ids, address);
    if (settings_.exceptions) {
      slot.last_return_address = address;
      slot.last_return_id = frame_id;
    }
  }
  const std::optional<CallSite> call_site =
      user_code_call_site(slot.call_frames, frame_id, reinterpret_cast<PyObject*>(frame));

  Status built = Status::success();
  Result<const ThreadIdentity*> identity = thread_identity(slot);
  if (!identity.ok()) {
    built = identity.take_error();
  } else if (buffers_.budget_reached() && records.entries.size() == records.handled) {
    // Dropped unmade; an event that brings other records (a test's start
    // marker, which empties the buffers) makes its own as usual.
    buffers_.count_dropped(1, DropCause::kBudget);
  } else {
    const std::size_t offset = records.bytes.size();
    std::uint64_t shortened = 0;
    // Caught here, so that the call-frame stack is kept right below.
    built = catch_cpp([&] {
      return write_frame_record(
          records.bytes,
          FrameRecordInput{frame, CodeFacts::of(code), arg, filename, name_text, event_name(event),
                           frame_id, *identity.value(), call_site, timestamp_from(now),
                           settings_.lightweight_repr, buffers_.value_step(), &shortened});
    });
    if (built.ok()) {
      records.add(offset, RecordKind::kOrdinary);
      if (shortened > 0) [[unlikely]] {
        buffers_.count_shortened(shortened);
      }
    }
  }
  update_call_frames(slot, event, frame, frame_id);
  if (!built.ok()) {
    // The frame record and the plugin records made before it.
    buffers_.count_dropped(1 + records.entries.size() - records.handled);
    return built;
  }
  return push_frames(event, records, &slot);
}

Result<const ThreadIdentity*> Recorder::thread_identity(ThreadSlot& slot) {
  if (!slot.identity) {
    Result<ThreadIdentity> identity = current_thread();
    if (!identity.ok()) {
      return identity.take_error();
    }
    slot.identity = identity.take_value();
  }
  return &*slot.identity;
}

void Recorder::update_call_frames(ThreadSlot& slot, Event event, PyFrameObject* frame,
                                  const std::optional<FrameId>& frame_id) {
  if (event == Event::kCall) {
    if (frame_id) {
      slot.call_frames.push_back(
          CallFrame{PyRef::borrow(reinterpret_cast<PyObject*>(frame)), *frame_id});
    }
    return;
  }
  // A return pops its own frame. A frame can return without its call having
  // been handed over (an interrupt raised at its entry, before the call
  // event, or a frame that began before profiling did): the stack then stays
  // as it is, rather than losing the caller's entry.
  std::vector<CallFrame>& frames = slot.call_frames;
  const auto is_own = [frame](const CallFrame& entry) {
    return entry.frame.get() == reinterpret_cast<PyObject*>(frame);
  };
  if (!frames.empty() && is_own(frames.back())) [[likely]] {
    // Released after the pop: freeing a frame can run arbitrary code.
    CallFrame top = std::move(frames.back());
    frames.pop_back();
    return;
  }
  // Entries above its own are of frames whose returns were not handed over.
  auto own = std::find_if(frames.rbegin(), frames.rend(), is_own);
  if (own != frames.rend()) {
    std::vector<CallFrame> popped(std::make_move_iterator(own.base() - 1),
                                  std::make_move_iterator(frames.end()));
    frames.erase(own.base() - 1, frames.end());
  }
}

Status Recorder::push_frames(Event event, EventRecords& records, ThreadSlot* slot) {
  const std::size_t count = records.entries.size();
  if (count == 0) {
    return Status::success();
  }
  // A return's records are buffered frame record first, so that an end marker
  // follows the return of its frame (as a start marker precedes its call).
  const bool reversed = event == Event::kReturn;
  Result<const ThreadIdentity*> identity = thread_identity(slot ? *slot : threads_.current());
  if (!identity.ok()) {
    buffers_.count_dropped(count - records.handled);
    return identity.take_error();
  }
  const std::optional<std::uint64_t> native_id = identity.value()->native_id;
  if (!settings_.one_trace_per_test) {
    buffers_.append(native_id, records, reversed, 0, count);
    return Status::success();
  }
  // A failed save does not stop the records that follow its marker: the
  // first failure is returned once they are all buffered. After an interrupt
  // no more Python code runs for the event.
  Status result = Status::success();
  std::size_t flushed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const RecordKind kind = records.entries[reversed ? count - 1 - i : i].kind;
    if (kind == RecordKind::kEndTest) {
      buffers_.append(native_id, records, reversed, flushed, i + 1);
      flushed = i + 1;
      if (!result.interrupted()) {
        if (Status saved = saver_.save(); !saved.ok() && (result.ok() || saved.interrupted())) {
          result = std::move(saved);
        }
      }
    } else if (kind == RecordKind::kStartTest) {
      buffers_.append(native_id, records, reversed, flushed, i);
      flushed = i;
      buffers_.reset_trace();
    }
  }
  buffers_.append(native_id, records, reversed, flushed, count);
  return result;
}

Status Recorder::log_error(PyError error, PyFrameObject* frame, Event event, PyObject* co_filename,
                           PyObject* co_name) {
  return report_event_error(std::move(error), frame,
                            event == Event::kCall ? names().call : names().event_return,
                            co_filename, co_name);
}

}  // namespace tavo
