// Mutex locking for threads that hold the interpreter lock.
#pragma once

#include <Python.h>

#include <mutex>

namespace tavo {

// Locks `mutex` without ever waiting for it while holding the interpreter
// lock: the holder may itself be waiting for the interpreter lock (it ran
// Python code that let this thread in), so a blocking wait here could
// deadlock both. Nor is the mutex ever held while waiting for the interpreter
// lock: a thread can be ended there (at interpreter exit) or be absent from a
// forked child, and must not leave the mutex locked behind it. Uncontended,
// this is one try_lock.
class GilSafeLock {
 public:
  explicit GilSafeLock(std::mutex& mutex) : mutex_(mutex) {
    while (!mutex_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS {
        // Waits for the holder to finish, then lets go again.
        std::lock_guard<std::mutex> wait(mutex_);
      }
      Py_END_ALLOW_THREADS
    }
  }
  ~GilSafeLock() { mutex_.unlock(); }
  GilSafeLock(const GilSafeLock&) = delete;
  GilSafeLock& operator=(const GilSafeLock&) = delete;

 private:
  std::mutex& mutex_;
};

}  // namespace tavo
