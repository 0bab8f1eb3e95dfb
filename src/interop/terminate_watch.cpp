#include "interop/terminate_watch.hpp"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "interop/compat_state.hpp"
#include "interop/side_thread.hpp"

namespace tavo {

namespace {

sem_t wake;  // posted by the signal handler, and to stop the thread
std::atomic<bool> stop_requested{false};
bool running = false;  // changed with the interpreter lock held, or in a forked child
pthread_t watcher;
std::atomic<long> watcher_tid{0};  // the thread's id in the kernel
PyObject* callback_object = nullptr;
PyObject* forking_frame = nullptr;  // the frame that called a fork, while paused for it

void on_sigterm(int) {
  const int saved = errno;
  sem_post(&wake);  // async-signal-safe, unlike everything the callback does
  errno = saved;
}

bool handler_is_ours() {
  struct sigaction current{};
  return sigaction(SIGTERM, nullptr, &current) == 0 && current.sa_handler == on_sigterm;
}

void restore_default_action() {
  struct sigaction default_action{};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(SIGTERM, &default_action, nullptr);
}

[[noreturn]] void end_by_sigterm() {
  restore_default_action();
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
  raise(SIGTERM);
  _exit(128 + SIGTERM);  // only if the signal could not end the process
}

void on_fork_child() {
  // No watching thread in the child: SIGTERM must not be swallowed there.
  running = false;
  stop_requested.store(false);
  if (handler_is_ours()) {
    restore_default_action();
  }
}

void* watch_loop(void*) {
  watcher_tid.store(syscall(SYS_gettid));
  // The program's signals go to its own threads, as without tavo.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    if (sem_wait(&wake) != 0) {
      if (errno == EINTR) {
        continue;
      }
      end_by_sigterm();
    }
    if (stop_requested.exchange(false)) {
      return nullptr;
    }
    if (!handler_is_ours() || compat::interpreter_finalizing()) {
      // The program chose another action meanwhile, or it is ending anyway.
      if (handler_is_ours()) {
        end_by_sigterm();
      }
      continue;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = PyObject_CallNoArgs(callback_object);
    const int end = result == nullptr ? 1 : PyObject_IsTrue(result);
    Py_XDECREF(result);
    if (end != 0) {
      end_by_sigterm();  // still holding the interpreter lock: no Python code runs after
    }
    PyGILState_Release(gil);
  }
}

bool start_watcher() {
  if (!running && pthread_create(&watcher, nullptr, watch_loop, nullptr) == 0) {
    running = true;
  }
  return running;
}

int start_watcher_now() {
  Py_CLEAR(forking_frame);
  if (handler_is_ours()) {
    (void)start_watcher();
  }
  return 0;
}

// Whether `frame` or one of its callers is `target`.
bool in_chain(PyFrameObject* frame, PyObject* target) {
  PyRef current = PyRef::borrow(reinterpret_cast<PyObject*>(frame));
  while (current) {
    if (current.get() == target) {
      return true;
    }
    current = PyRef::steal(reinterpret_cast<PyObject*>(
        PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(current.get()))));
  }
  return false;
}

// A pending call, run by the main thread between two instructions. CPython
// 3.13 counts the threads for its warning after the parent's fork hooks have
// run: the thread starts once the fork has returned to its caller's frame (or
// that frame is gone), not while a hook runs.
int start_watcher_again(void*) {
  PyFrameObject* current = PyEval_GetFrame();
  if (forking_frame != nullptr && current != nullptr &&
      reinterpret_cast<PyObject*>(current) != forking_frame && in_chain(current, forking_frame)) {
    return Py_AddPendingCall(start_watcher_again, nullptr) == 0 ? 0 : start_watcher_now();
  }
  return start_watcher_now();
}

}  // namespace

Result<bool> watch_terminate(PyObject* callback) {
  if (!PyCallable_Check(callback)) {
    return PyError::make(PyExc_TypeError, "the SIGTERM callback is not callable");
  }
  static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
  (void)registered;
  if (handler_is_ours()) {
    Py_XSETREF(callback_object, Py_NewRef(callback));
    return start_watcher();
  }
  struct sigaction current{};
  if (sigaction(SIGTERM, nullptr, &current) != 0) {
    return PyError::make(PyExc_OSError, "cannot read SIGTERM's action");
  }
  if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) {
    return false;  // the program's own choice stands
  }
  Py_XSETREF(callback_object, Py_NewRef(callback));
  if (sem_init(&wake, 0, 0) != 0 || !start_watcher()) {
    return PyError::make(PyExc_OSError, "cannot start the SIGTERM watch");
  }
  struct sigaction action{};
  action.sa_handler = on_sigterm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the program's system calls go on undisturbed
  if (sigaction(SIGTERM, &action, nullptr) != 0) {
    return PyError::make(PyExc_OSError, "cannot set SIGTERM's action");
  }
  return true;
}

void pause_terminate_watch(bool paused) {
  if (!paused) {
    if (Py_AddPendingCall(start_watcher_again, nullptr) != 0) {
      start_watcher_now();
    }
    return;
  }
  if (!running) {
    return;
  }
  // Called from a fork hook: the frame before it called the fork.
  PyFrameObject* hook = PyEval_GetFrame();
  Py_XSETREF(forking_frame,
             hook == nullptr ? nullptr : reinterpret_cast<PyObject*>(PyFrame_GetBack(hook)));
  stop_requested.store(true);
  sem_post(&wake);
  // The thread may be waiting for the interpreter lock to handle a SIGTERM.
  PyThreadState* state = PyEval_SaveThread();
  pthread_join(watcher, nullptr);
  wait_until_thread_gone(watcher_tid.exchange(0));
  PyEval_RestoreThread(state);
  running = false;
}

}  // namespace tavo
