// The trace buffers: the records of the trace being recorded, per thread,
// with their locks, the byte budget and the count of dropped records.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "buffers/chunk_pool.hpp"
#include "buffers/event_records.hpp"
#include "buffers/record_list.hpp"

namespace tavo {

// The default limit on the bytes a trace's buffered records may take: beyond
// it records are dropped and counted. A document is stored whole, and SQLite
// refuses a value over 1e9 bytes.
inline constexpr std::size_t kDefaultBufferBudget = std::size_t{256} << 20;

// The steps by which the values of later records shrink as the buffered
// records near the budget (see TraceBuffers::value_step): 0 below half of it,
// then one more at each further eighth, up to kLastValueStep.
inline constexpr int kLastValueStep = 4;

// Why records were dropped.
enum class DropCause { kError, kBudget };

// Records taken out of the buffers for one document, kept until the document
// has safely left so that they can be put back if it could not.
struct TakenRecords {
  RecordList frames_of_interest;
  std::unordered_map<std::uint64_t, RecordList> frames;
  std::uint64_t trace_generation = 0;
  std::size_t bytes = 0;  // of the records, counted against the budget
  std::uint64_t records = 0;
};

class TraceBuffers {
 public:
  struct Settings {
    std::size_t budget = kDefaultBufferBudget;
    // Whether threads other than the main one get buffers of their own.
    bool threading = false;
    std::optional<std::uint64_t> main_thread_id;
    std::string trace_id;
  };
  void configure(Settings settings);

  // Appends records [begin, end) of the event, in buffering order (reversed:
  // last first), to the buffer of the thread with `native_id`.
  void append(std::optional<std::uint64_t> native_id, EventRecords& records, bool reversed,
              std::size_t begin, std::size_t end);
  // Takes every buffered record, and the id of the trace they belong to.
  void take(std::string& trace_id, TakenRecords& taken);
  // Puts records taken for a document that never left back in front of the
  // buffers, unless a test boundary has started a new trace since.
  void put_back(TakenRecords&& taken);
  // Starts a new trace: a new id, empty buffers, nothing dropped.
  void reset_trace();
  std::string trace_id();
  // Bytes of record memory kept for reuse (see ChunkPool).
  std::size_t kept_bytes() { return pool_.kept_bytes(); }

  void count_dropped(std::size_t count, DropCause cause = DropCause::kError) {
    dropped_records_.fetch_add(count, std::memory_order_relaxed);
    if (cause == DropCause::kBudget) {
      budget_dropped_.fetch_add(count, std::memory_order_relaxed);
    }
  }
  // Records dropped (for any reason) since the current trace began.
  std::uint64_t dropped_records() const { return dropped_records_.load(std::memory_order_relaxed); }
  // Of those, the records dropped because the buffered records had reached the budget.
  std::uint64_t budget_dropped_records() const {
    return budget_dropped_.load(std::memory_order_relaxed);
  }
  std::size_t budget() const { return budget_; }

  // How much the values of a record made now shrink: 0 while the buffered
  // records take less than half of the budget, then 1 to kLastValueStep, one
  // more at each further eighth, so that the trace keeps its calls and their
  // times, with less of their values, before any record is dropped.
  int value_step() const {
    const std::size_t used = buffered_bytes_.load(std::memory_order_relaxed);
    if (used < budget_ / 2) [[likely]] {
      return 0;
    }
    const std::size_t eighth = std::max<std::size_t>(budget_ / 8, 1);
    return static_cast<int>(
        std::min<std::size_t>(kLastValueStep, 1 + (used - budget_ / 2) / eighth));
  }
  // Counts `count` values shortened by a step above 0; the first since the
  // trace began notes the number of the record being made.
  void count_shortened(std::size_t count);
  // Values shortened since the trace began, and the number (from 1) of the
  // first record that holds one; 0 for none.
  std::uint64_t shortened_values() const {
    return shortened_values_.load(std::memory_order_relaxed);
  }
  std::uint64_t shortened_from_record() const {
    return shortened_from_.load(std::memory_order_relaxed);
  }
  // Whether a record was dropped for the budget since the buffers were last
  // emptied: later frame records are then dropped without being made, as
  // encoding their values can cost far more than the event.
  bool budget_reached() const { return budget_reached_.load(std::memory_order_relaxed); }
  // Set when the engine stopped reporting the trace's events past the budget:
  // the records dropped after that were not counted, so the count is a floor.
  void note_drops_uncounted() { drops_uncounted_.store(true, std::memory_order_relaxed); }
  bool drops_uncounted() const { return drops_uncounted_.load(std::memory_order_relaxed); }

  std::optional<std::uint64_t> main_thread_id() const { return main_thread_id_; }
  // In a forked child, where the forking thread is the main one.
  void set_main_thread_id(std::optional<std::uint64_t> id) { main_thread_id_ = id; }
  // In a forked child: a thread of the parent that does not exist here may
  // have held a lock at the fork, so the locks are made anew, never unlocked
  // or waited for.
  void remake_locks();

 private:
  // Bytes past the budget that a test's start and end records may take.
  static constexpr std::size_t kTestMarkReserve = 64 * 1024;

  // Counts `size` more buffered bytes if they stay within `limit`.
  bool take_budget(std::size_t size, std::size_t limit);

  std::size_t budget_ = kDefaultBufferBudget;
  bool threading_ = false;
  std::optional<std::uint64_t> main_thread_id_;

  // Before the lists, which give their chunks back to it when destroyed.
  ChunkPool pool_;
  // Lock order, for any operation that holds more than one: trace_id, then
  // frames_of_interest, then frames (then the pool's own).
  std::mutex trace_id_mutex_;
  std::string trace_id_;
  std::uint64_t trace_generation_ = 0;  // bumped by every test-boundary reset
  std::mutex frames_of_interest_mutex_;
  RecordList frames_of_interest_{&pool_};
  std::mutex frames_mutex_;
  std::unordered_map<std::uint64_t, RecordList> frames_;
  // Bytes of the buffered records of the trace, and the records dropped.
  std::atomic<std::size_t> buffered_bytes_{0};
  std::atomic<std::uint64_t> dropped_records_{0};
  std::atomic<std::uint64_t> budget_dropped_{0};
  std::atomic<bool> budget_reached_{false};
  std::atomic<bool> drops_uncounted_{false};
  // Records of the trace already taken for documents, for numbering records.
  std::atomic<std::uint64_t> taken_records_{0};
  std::atomic<std::uint64_t> shortened_values_{0};
  std::atomic<std::uint64_t> shortened_from_{0};
};

}  // namespace tavo
