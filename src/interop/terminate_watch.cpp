#include "interop/terminate_watch.hpp"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "interop/compat_state.hpp"

namespace tavo {

namespace {

sem_t wake;                         // posted by the signal handler
std::atomic<bool> watching{false};  // the handler is installed and its thread runs
PyObject* callback_object = nullptr;

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
  if (watching.exchange(false) && handler_is_ours()) {
    restore_default_action();
  }
}

void watch_loop() {
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

}  // namespace

Result<bool> watch_terminate(PyObject* callback) {
  if (!PyCallable_Check(callback)) {
    return PyError::make(PyExc_TypeError, "the SIGTERM callback is not callable");
  }
  static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
  (void)registered;
  if (watching.load() && handler_is_ours()) {
    Py_XSETREF(callback_object, Py_NewRef(callback));
    return true;
  }
  struct sigaction current{};
  if (sigaction(SIGTERM, nullptr, &current) != 0) {
    return PyError::make(PyExc_OSError, "cannot read SIGTERM's action");
  }
  if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) {
    return false;  // the program's own choice stands
  }
  Py_XSETREF(callback_object, Py_NewRef(callback));
  if (sem_init(&wake, 0, 0) != 0) {
    return PyError::make(PyExc_OSError, "cannot make the SIGTERM semaphore");
  }
  std::thread(watch_loop).detach();
  watching.store(true);
  struct sigaction action{};
  action.sa_handler = on_sigterm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the program's system calls go on undisturbed
  if (sigaction(SIGTERM, &action, nullptr) != 0) {
    return PyError::make(PyExc_OSError, "cannot set SIGTERM's action");
  }
  return true;
}

}  // namespace tavo
