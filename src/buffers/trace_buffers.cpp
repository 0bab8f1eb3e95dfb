// Buffering records per trace and per thread, and handing them to documents.
#include "buffers/trace_buffers.hpp"

#include <memory>
#include <utility>

#include "interop/gil_lock.hpp"
#include "record/ids.hpp"

namespace tavo {

void TraceBuffers::configure(Settings settings) {
  budget_ = settings.budget;
  threading_ = settings.threading;
  main_thread_id_ = settings.main_thread_id;
  trace_id_ = std::move(settings.trace_id);
}

bool TraceBuffers::take_budget(std::size_t size, std::size_t limit) {
  const std::size_t before = buffered_bytes_.fetch_add(size, std::memory_order_relaxed);
  if (before + size <= limit) {
    return true;
  }
  buffered_bytes_.fetch_sub(size, std::memory_order_relaxed);
  return false;
}

void TraceBuffers::append(std::optional<std::uint64_t> native_id, EventRecords& records,
                          bool reversed, std::size_t begin, std::size_t end) {
  const std::size_t count = records.entries.size();
  auto append_all = [&](RecordList& list) {
    for (std::size_t i = begin; i < end; ++i) {
      const EventRecords::Entry& entry = records.entries[reversed ? count - 1 - i : i];
      // Over the budget a record is dropped, never the program's memory; but
      // a test's start and end (two small records a trace) have a reserve
      // past it, so that the trace still says which test it is and when it
      // ended.
      const std::size_t limit = entry.kind == RecordKind::kOrdinary
                                    ? budget_
                                    : budget_ + std::min(kTestMarkReserve, SIZE_MAX - budget_);
      if (take_budget(entry.size, limit)) {
        list.append(records.bytes.data() + entry.offset, entry.size);
      } else {
        budget_reached_.store(true, std::memory_order_relaxed);
        count_dropped(1, DropCause::kBudget);
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
  append_all(frames_.try_emplace(*native_id, &pool_).first->second);
}

void TraceBuffers::take(std::string& trace_id, TakenRecords& taken) {
  GilSafeLock trace_lock(trace_id_mutex_);
  trace_id = trace_id_;
  taken.trace_generation = trace_generation_;
  GilSafeLock interest_lock(frames_of_interest_mutex_);
  taken.frames_of_interest = std::exchange(frames_of_interest_, RecordList(&pool_));
  GilSafeLock frames_lock(frames_mutex_);
  taken.frames = std::exchange(frames_, {});
  taken.bytes = buffered_bytes_.exchange(0, std::memory_order_relaxed);
  taken.records = taken.frames_of_interest.count();
  for (const auto& [thread_id, list] : taken.frames) {
    taken.records += list.count();
  }
  taken_records_.fetch_add(taken.records, std::memory_order_relaxed);
  budget_reached_.store(false, std::memory_order_relaxed);
}

void TraceBuffers::count_shortened(std::size_t count) {
  if (shortened_values_.fetch_add(count, std::memory_order_relaxed) != 0) {
    return;
  }
  std::uint64_t records = taken_records_.load(std::memory_order_relaxed);
  {
    GilSafeLock interest_lock(frames_of_interest_mutex_);
    records += frames_of_interest_.count();
    GilSafeLock frames_lock(frames_mutex_);
    for (const auto& [thread_id, list] : frames_) {
      records += list.count();
    }
  }
  shortened_from_.store(records + dropped_records() + 1, std::memory_order_relaxed);
}

void TraceBuffers::put_back(TakenRecords&& taken) {
  GilSafeLock trace_lock(trace_id_mutex_);
  if (taken.trace_generation != trace_generation_) {
    return;  // a new test's trace has begun; these records belong to none
  }
  GilSafeLock interest_lock(frames_of_interest_mutex_);
  frames_of_interest_.prepend(std::move(taken.frames_of_interest));
  GilSafeLock frames_lock(frames_mutex_);
  for (auto& [thread_id, list] : taken.frames) {
    frames_.try_emplace(thread_id, &pool_).first->second.prepend(std::move(list));
  }
  buffered_bytes_.fetch_add(taken.bytes, std::memory_order_relaxed);
  taken_records_.fetch_sub(taken.records, std::memory_order_relaxed);
}

void TraceBuffers::reset_trace() {
  std::string trace_id = new_trace_id();
  GilSafeLock trace_lock(trace_id_mutex_);
  trace_id_ = std::move(trace_id);
  ++trace_generation_;
  GilSafeLock interest_lock(frames_of_interest_mutex_);
  frames_of_interest_ = RecordList(&pool_);
  GilSafeLock frames_lock(frames_mutex_);
  frames_.clear();
  buffered_bytes_.store(0, std::memory_order_relaxed);
  budget_reached_.store(false, std::memory_order_relaxed);
  dropped_records_.store(0, std::memory_order_relaxed);
  budget_dropped_.store(0, std::memory_order_relaxed);
  drops_uncounted_.store(false, std::memory_order_relaxed);
  taken_records_.store(0, std::memory_order_relaxed);
  shortened_values_.store(0, std::memory_order_relaxed);
  shortened_from_.store(0, std::memory_order_relaxed);
}

std::string TraceBuffers::trace_id() {
  GilSafeLock trace_lock(trace_id_mutex_);
  return trace_id_;
}

void TraceBuffers::remake_locks() {
  std::construct_at(&trace_id_mutex_);
  std::construct_at(&frames_of_interest_mutex_);
  std::construct_at(&frames_mutex_);
  pool_.remake_lock();
}

}  // namespace tavo
