// A forked child's profiler: a trace of its own from its first event on.
//
// The child inherits the parent's buffered records, trace id and per-thread
// state, and only the thread that forked. Saving what it inherited would store
// the parent's records a second time under the parent's trace id, so the child
// starts a new trace before it records or saves anything.
#include <memory>

#include "profiler/tavo_profiler.hpp"
#include "interop/gil_lock.hpp"
#include "interop/thread_identity.hpp"

namespace tavo {

void TavoProfiler::after_fork() {
  fork_generation_ = fork_generation();
  // A thread of the parent that does not exist here may have held a lock at
  // the fork (while waiting for it without the interpreter lock; the data the
  // locks guard is only changed with the interpreter lock, which the forking
  // thread held). The locks are made anew, never unlocked or waited for.
  std::construct_at(&trace_id_mutex_);
  std::construct_at(&frames_of_interest_mutex_);
  std::construct_at(&frames_mutex_);
  std::construct_at(&plugins_mutex_);
  threads_.keep_only_current();
  {
    // The ids of the other threads' frames would never be forgotten here.
    GilSafeLock lock(plugins_mutex_);
    for (auto& [name, processors] : plugins_) {
      for (PluginProcessor& processor : processors) {
        processor.plugin_frame_ids.clear();
      }
    }
  }
  // The forking thread is the child's main thread, with a new native id.
  Result<std::optional<std::uint64_t>> main_id = main_thread_native_id();
  // On failure the parent's id stays: the thread's records then go under its
  // own id rather than the main thread's.
  if (main_id.ok()) {
    main_thread_id_ = main_id.value();
  }
  reset_trace();
}

}  // namespace tavo
