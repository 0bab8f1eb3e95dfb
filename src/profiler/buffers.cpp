// Buffering an event's records per trace and per thread, and cutting the
// stream into one trace per test.
#include "profiler/tavo_profiler.hpp"
#include "utils/gil_lock.hpp"

namespace tavo {

Status TavoProfiler::push_frames(Event event, EventRecords& records, ThreadSlot* slot) {
  const std::size_t count = records.entries.size();
  if (count == 0) {
    return Status::success();
  }
  // A return's records are buffered frame record first, so that an end marker
  // follows the return of its frame (as a start marker precedes its call).
  const bool reversed = event == Event::kReturn;
  Result<const ThreadIdentity*> identity = thread_identity(slot ? *slot : threads_.current());
  if (!identity.ok()) {
    count_dropped(count - records.handled);
    return identity.take_error();
  }
  const std::optional<std::uint64_t> native_id = identity.value()->native_id;
  if (!one_trace_per_test_) {
    push_frame_data(native_id, records, reversed, 0, count);
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
      push_frame_data(native_id, records, reversed, flushed, i + 1);
      flushed = i + 1;
      if (!result.interrupted()) {
        if (Status saved = save_in_db(); !saved.ok() && (result.ok() || saved.interrupted())) {
          result = std::move(saved);
        }
      }
    } else if (kind == RecordKind::kStartTest) {
      push_frame_data(native_id, records, reversed, flushed, i);
      flushed = i;
      reset_trace();
    }
  }
  push_frame_data(native_id, records, reversed, flushed, count);
  return result;
}

bool TavoProfiler::take_budget(std::size_t size) {
  const std::size_t before = buffered_bytes_.fetch_add(size, std::memory_order_relaxed);
  if (before + size <= buffer_budget_) {
    return true;
  }
  buffered_bytes_.fetch_sub(size, std::memory_order_relaxed);
  return false;
}

void TavoProfiler::push_frame_data(std::optional<std::uint64_t> native_id, EventRecords& records,
                                   bool reversed, std::size_t begin, std::size_t end) {
  const std::size_t count = records.entries.size();
  auto append_all = [&](RecordList& list) {
    for (std::size_t i = begin; i < end; ++i) {
      const EventRecords::Entry& entry = records.entries[reversed ? count - 1 - i : i];
      // Over the budget a record is dropped, never the program's memory.
      if (take_budget(entry.size)) {
        list.append(records.bytes.data() + entry.offset, entry.size);
      } else {
        budget_reached_.store(true, std::memory_order_relaxed);
        count_dropped(1);
      }
      ++records.handled;
    }
  };
  if (!native_id || !threading_ || (main_thread_id_ && *main_thread_id_ == *native_id)) {
    GilSafeLock lock(frames_of_interest_mutex_);
    append_all(frames_of_interest_);
    return;
  }
  // The thread gets its entry even for an empty batch, so it is listed in the
  // next document.
  GilSafeLock lock(frames_mutex_);
  append_all(frames_[*native_id]);
}

void TavoProfiler::reset_trace() {
  std::string trace_id = new_trace_id();
  GilSafeLock trace_lock(trace_id_mutex_);
  trace_id_ = std::move(trace_id);
  ++trace_generation_;
  GilSafeLock interest_lock(frames_of_interest_mutex_);
  frames_of_interest_ = RecordList();
  GilSafeLock frames_lock(frames_mutex_);
  frames_.clear();
  buffered_bytes_.store(0, std::memory_order_relaxed);
  budget_reached_.store(false, std::memory_order_relaxed);
  dropped_records_.store(0, std::memory_order_relaxed);
}

std::string TavoProfiler::current_trace_id() {
  check_fork();
  GilSafeLock trace_lock(trace_id_mutex_);
  return trace_id_;
}

}  // namespace tavo
