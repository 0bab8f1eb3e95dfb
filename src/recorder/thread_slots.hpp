// Per-thread state of one profiler: each interpreter thread gets a slot of
// its own, reached without a lock by that thread alone.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "interop/thread_identity.hpp"
#include "plugins/plugin_processor.hpp"
#include "record/call_site.hpp"

namespace tavo {

struct ThreadSlot {
  // The recorded frames of this thread that have not returned, oldest first.
  std::vector<CallFrame> call_frames;
  // Frame ids handed out at recorded calls, looked up at their returns.
  FrameIdMap frame_ids;
  // The frame whose return was recorded last, and its id: an exception record
  // (config "exceptions") comes for it right after that return.
  std::uintptr_t last_return_address = 0;
  std::optional<FrameId> last_return_id;
  // The thread's identity, looked up once.
  std::optional<ThreadIdentity> identity;
  // The recorder's count of events dropped unwatched when `call_frames` was
  // last known right (see Recorder::resync_call_frames); kFresh for a slot
  // that has seen no event.
  static constexpr std::uint64_t kFresh = ~std::uint64_t{0};
  std::uint64_t unwatched_drops = kFresh;
  // Set by the thread's exit, with no interpreter lock; the profiler then
  // reclaims the slot under the interpreter lock.
  std::atomic<bool> thread_exited{false};
};

// The slots of one profiler. Every method runs with the interpreter lock
// held, which is what serialises changes to the list of slots (made once per
// thread, never on the event path of a known thread).
class ThreadSlots {
 public:
  explicit ThreadSlots(std::uint64_t profiler_serial) : serial_(profiler_serial) {}
  ThreadSlots(const ThreadSlots&) = delete;
  ThreadSlots& operator=(const ThreadSlots&) = delete;
  ~ThreadSlots();

  // The calling thread's slot, created empty on its first use.
  ThreadSlot& current() {
    if (fast_cache.serial == serial_) {
      return *fast_cache.slot;
    }
    return current_slow();
  }

  // Drops every frame reference the slots hold (the profiler is going away or
  // the collector breaks a cycle).
  void clear_python_refs();
  // In a forked child: forgets the slots of every thread but the calling one
  // (none of them exists here) and the calling thread's identity (its native
  // id changed).
  void keep_only_current();
  int traverse(visitproc visit, void* arg) const;

 private:
  struct FastCache {
    std::uint64_t serial = 0;
    ThreadSlot* slot = nullptr;
  };
  static thread_local FastCache fast_cache;

  ThreadSlot& current_slow();
  void reclaim_exited();

  std::uint64_t serial_;
  std::vector<std::shared_ptr<ThreadSlot>> slots_;
};

}  // namespace tavo
