#include "interop/side_thread.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace tavo {

bool SideThread::start(void (*task)(void*), void* arg) {
  if (started_) {
    return false;
  }
  task_ = task;
  arg_ = arg;
  // Blocked here, so that the new thread starts with every signal blocked.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  process_ = getpid();
  started_ = pthread_create(&thread_, nullptr, run, this) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started_;
}

void SideThread::join() {
  if (!started_) {
    return;
  }
  if (process_ != getpid()) {
    started_ = false;
    return;
  }
  pthread_join(thread_, nullptr);
  started_ = false;
  wait_until_thread_gone(tid_.exchange(0));
}

void* SideThread::run(void* self) {
  auto* side = static_cast<SideThread*>(self);
  side->tid_.store(syscall(SYS_gettid));
  side->task_(side->arg_);
  return nullptr;
}

void wait_until_thread_gone(long tid) {
  char path[64];
  if (tid == 0 || std::snprintf(path, sizeof path, "/proc/self/task/%ld", tid) < 0) {
    return;
  }
  for (int tries = 0; tries < 2000 && access(path, F_OK) == 0; ++tries) {
    usleep(10);
  }
}

}  // namespace tavo
