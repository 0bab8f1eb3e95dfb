// A native thread for work done beside the calling thread's.
//
// Every signal is blocked in it: the program's signals go to its own threads,
// as without tavo. Once joined, it is gone from the process's thread count,
// which the interpreter reads to warn of a fork in a process with threads.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>

namespace tavo {

class SideThread {
 public:
  SideThread() = default;
  ~SideThread() { join(); }
  SideThread(const SideThread&) = delete;
  SideThread& operator=(const SideThread&) = delete;

  // Runs task(arg) on a new thread; false, having run nothing, when no thread
  // could be started.
  bool start(void (*task)(void*), void* arg);
  // Waits until the task has ended and its thread is gone; does nothing when
  // no task runs, or in a child forked since the start (which has no such
  // thread).
  void join();

 private:
  static void* run(void* self);

  void (*task_)(void*) = nullptr;
  void* arg_ = nullptr;
  pthread_t thread_{};
  pid_t process_ = 0;         // the process that started it
  std::atomic<long> tid_{0};  // the thread's id in the kernel
  bool started_ = false;
};

// Waits, briefly, until the kernel has reaped thread `tid` of this process (0:
// none): a joined thread is still counted among the process's threads until
// then.
void wait_until_thread_gone(long tid);

}  // namespace tavo
