// A forked child's profiler: a trace of its own from its first event on.
//
// The child inherits the parent's buffered records, trace id and per-thread
// state, and only the thread that forked. Saving what it inherited would store
// the parent's records a second time under the parent's trace id, so the child
// starts a new trace before it records or saves anything.
#include "interop/thread_identity.hpp"
#include "recorder/recorder.hpp"

namespace tavo {

void Recorder::after_fork() {
  fork_generation_ = fork_generation();
  // A thread of the parent that does not exist here may have held a lock at
  // the fork (while waiting for it without the interpreter lock; the data the
  // locks guard is only changed with the interpreter lock, which the forking
  // thread held). The locks are made anew, never unlocked or waited for.
  buffers_.remake_locks();
  plugins_.remake_lock();
  threads_.keep_only_current();
  // The ids of the other threads' frames would never be forgotten here.
  plugins_.forget_frames();
  // The forking thread is the child's main thread, with a new native id.
  Result<std::optional<std::uint64_t>> main_id = main_thread_native_id();
  // On failure the parent's id stays: the thread's records then go under its
  // own id rather than the main thread's.
  if (main_id.ok()) {
    buffers_.set_main_thread_id(main_id.value());
  }
  buffers_.reset_trace();
}

}  // namespace tavo
