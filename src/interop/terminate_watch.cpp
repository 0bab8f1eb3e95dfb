#include "interop/terminate_watch.hpp"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "interop/compat_state.hpp"
#include "interop/pyref.hpp"
#include "interop/side_thread.hpp"

namespace tavo {

namespace {

sem_t wake;  // posted by the signal handler, and to stop the thread
std::atomic<bool> stop_requested{false};
bool running = false;  // changed with the interpreter lock held, or in a forked child
pthread_t watcher;
std::atomic<long> watcher_tid{0};  // the thread's id in the kernel
// Set before the thread is created, cleared once it is gone: a thread not yet
// scheduled (a loaded machine can keep it from running for tens of
// milliseconds) is waited for as one that is.
std::atomic<bool> watcher_started{false};
PyObject* callback_object = nullptr;
PyObject* forking_frame = nullptr;  // the frame that called a fork, while paused for it

// The signals watched, in the order their saves go when several came; set
// while no thread watches them.
constexpr std::size_t kMostWatched = 4;
std::array<int, kMostWatched> watched_numbers{};
std::size_t watched_count = 0;

std::span<const int> watched() { return {watched_numbers.data(), watched_count}; }

// The watched signals that came and are not yet handled, one bit each.
std::atomic<unsigned> arrived{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "set from a signal handler");

unsigned bit_of(int signum) { return 1U << static_cast<unsigned>(signum); }

// Counts the signals after which the watching thread has asked the main thread
// to wait (or found the interpreter ending), for the signal handler to see.
std::atomic<std::uint64_t> holds_asked{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "read in a signal handler");
// How long the signal handler waits for that at most once the watching thread
// has woken: it may need a lock the interrupted thread holds.
constexpr long kHandlerWaitNs = 100'000'000;
// How long it waits for an idle watching thread to wake: that takes no lock,
// only the processor, which a loaded machine can keep from it for longer than
// the bound above (the main thread then ran on past the signal).
constexpr long kWakeWaitNs = 5'000'000'000;
// Whether the watching thread waits for a signal (or has not run yet), and
// how often it has woken.
std::atomic<bool> watcher_idle{false};
std::atomic<std::uint64_t> watcher_wakes{0};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

#if PY_VERSION_HEX < 0x030D0000
// 3.12 marks a call asked of the main thread only where the asking thread would
// run it: from the watching thread, the main thread sees it when it next gives up
// the interpreter lock (5 ms on). This, which the interpreter's own signal
// handler calls, makes the main thread look at its next check point.
extern "C" void _PyEval_SignalReceived(PyInterpreterState* interp);
PyInterpreterState* main_interpreter = nullptr;

void make_main_thread_look() {
  if (main_interpreter != nullptr && syscall(SYS_gettid) == getpid()) {
    _PyEval_SignalReceived(main_interpreter);
  }
}
#else
void make_main_thread_look() {}  // the asking thread marks the main thread's own state
#endif

// Without tavo the program ends at the signal: while tavo handles it, the main
// thread waits at its next check point (and the others where they call
// wait_while_ending()) instead of running the program's code whenever the save
// gives up the interpreter lock (its writes do). The wait is bounded, so that
// a save that needs a lock such a thread holds still ends.
std::mutex hold_mutex;
std::condition_variable hold_ended;
bool handling = false;              // guarded by hold_mutex
std::uint64_t handled_signals = 0;  // guarded by hold_mutex: counts the handlings begun
// The handling for which the calling thread waited its longest: it runs on until
// the next one, rather than waiting again at every line.
thread_local std::uint64_t waited_longest_for = 0;
constexpr auto kLongestHold = std::chrono::seconds(10);

// Whether the calling thread holds back one of the watched signals: tavo's
// own writes do, and the save must not wait for a write it would hold.
bool holds_back_watched() {
  sigset_t held;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &held) != 0) {
    return false;
  }
  for (const int signum : watched()) {
    if (sigismember(&held, signum) == 1) {
      return true;
    }
  }
  return false;
}

// A pending call, run by the main thread between two instructions.
int hold_main_thread(void*) {
  wait_while_ending();
  return 0;
}

void set_handling(bool now) {
  {
    const std::lock_guard lock(hold_mutex);
    handling = now;
    handled_signals += now ? 1 : 0;
  }
  if (!now) {
    hold_ended.notify_all();
  }
}

long monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return now.tv_sec * 1'000'000'000L + now.tv_nsec;
}

void on_signal(int signum) {
  const int saved = errno;
  const std::uint64_t asked = holds_asked.load();
  arrived.fetch_or(bit_of(signum));
  sem_post(&wake);  // async-signal-safe, unlike everything the callback does
  // The thread the signal came to (the main thread, for a signal the program
  // sends itself and most others) would run on while the watching thread
  // wakes: it waits here until the main thread is asked to stop at its next
  // check point, which is at once when this is the main thread.
  if (watcher_started.load()) {
    const std::uint64_t wakes = watcher_wakes.load();
    bool woke = !watcher_idle.load();
    long until = monotonic_ns() + (woke ? kHandlerWaitNs : kWakeWaitNs);
    const timespec pause{0, 20'000};
    while (holds_asked.load() == asked) {
      const long now = monotonic_ns();
      if (!woke && watcher_wakes.load() != wakes) {
        woke = true;
        until = now + kHandlerWaitNs;
      }
      if (now >= until) {
        break;
      }
      nanosleep(&pause, nullptr);
    }
    make_main_thread_look();
  }
  errno = saved;
}

bool handler_is_ours(int signum) {
  struct sigaction current{};
  return sigaction(signum, nullptr, &current) == 0 && current.sa_handler == on_signal;
}

bool any_handler_is_ours() {
  for (const int signum : watched()) {
    if (handler_is_ours(signum)) {
      return true;
    }
  }
  return false;
}

void restore_default_action(int signum) {
  struct sigaction default_action{};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signum, &default_action, nullptr);
}

[[noreturn]] void end_by(int signum) {
  restore_default_action(signum);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signum);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signum);
  _exit(128 + signum);  // only if the signal could not end the process
}

void on_fork_child() {
  // No watching thread in the child: the signals must not be swallowed there.
  running = false;
  stop_requested.store(false);
  watcher_idle.store(false);
  watcher_started.store(false);
  arrived.store(0);
  handling = false;  // the watching thread is paused around a fork: nobody holds the mutex
  for (const int signum : watched()) {
    if (handler_is_ours(signum)) {
      restore_default_action(signum);
    }
  }
}

// Handles one watched signal that came: the callback's save, then the end
// by the signal unless the callback says that another save ends the process.
void handle(int signum) {
  if (!handler_is_ours(signum) || compat::interpreter_finalizing()) {
    // The program chose another action meanwhile, or it is ending anyway.
    if (handler_is_ours(signum)) {
      end_by(signum);
    }
    return;
  }
  PyGILState_STATE gil = PyGILState_Ensure();
  int end = 1;
  {  // every reference goes before the interpreter lock does
    PyRef number = PyRef::steal(PyLong_FromLong(signum));
    PyRef result =
        PyRef::steal(number ? PyObject_CallOneArg(callback_object, number.get()) : nullptr);
    end = result ? PyObject_IsTrue(result.get()) : 1;
  }
  if (end != 0) {
    end_by(signum);  // still holding the interpreter lock: no Python code runs after
  }
  PyGILState_Release(gil);
}

void* watch_loop(void*) {
  watcher_tid.store(syscall(SYS_gettid));
  // The program's signals go to its own threads, as without tavo.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    watcher_idle.store(true);
    const int waited = sem_wait(&wake);
    watcher_idle.store(false);
    watcher_wakes.fetch_add(1);
    if (waited != 0) {
      if (errno == EINTR) {
        continue;
      }
      end_by(SIGTERM);
    }
    if (stop_requested.exchange(false)) {
      return nullptr;
    }
    const unsigned came = arrived.exchange(0);
    if (came == 0) {
      continue;
    }
    set_handling(true);
    if (!compat::interpreter_finalizing()) {
      (void)Py_AddPendingCall(hold_main_thread, nullptr);  // a full queue: it runs on
    }
    holds_asked.fetch_add(1);
    for (const int signum : watched()) {
      if ((came & bit_of(signum)) != 0) {
        handle(signum);
      }
    }
    set_handling(false);
  }
}

bool start_watcher() {
  if (!running) {
    watcher_idle.store(true);
    watcher_started.store(true);
    running = pthread_create(&watcher, nullptr, watch_loop, nullptr) == 0;
    watcher_started.store(running);
  }
  return running;
}

int start_watcher_now() {
  Py_CLEAR(forking_frame);
  if (any_handler_is_ours()) {
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

void wait_while_ending() {
  {
    const std::lock_guard lock(hold_mutex);
    if (!handling || waited_longest_for == handled_signals ||
        (running && pthread_equal(pthread_self(), watcher) != 0)) {
      return;
    }
  }
  if (holds_back_watched()) {
    return;
  }
  PyThreadState* state = PyEval_SaveThread();
  {
    std::unique_lock lock(hold_mutex);
    if (!hold_ended.wait_for(lock, kLongestHold, [] { return !handling; })) {
      waited_longest_for = handled_signals;
    }
  }
  PyEval_RestoreThread(state);
}

Result<bool> watch_terminate(PyObject* callback, std::span<const int> signums) {
  if (!PyCallable_Check(callback)) {
    return PyError::make(PyExc_TypeError, "the callback of the ending signals is not callable");
  }
  const bool valid = !signums.empty() && signums.size() <= kMostWatched &&
                     std::all_of(signums.begin(), signums.end(),
                                 [](int signum) { return signum > 0 && signum < 32; });
  if (!valid) {
    return PyError::make(PyExc_ValueError, "the ending signals are one to four signal numbers");
  }
  if (!std::equal(signums.begin(), signums.end(), watched().begin(), watched().end())) {
    if (running || any_handler_is_ours()) {
      return PyError::make(PyExc_ValueError,
                           "the ending signals cannot change while they are watched");
    }
    std::copy(signums.begin(), signums.end(), watched_numbers.begin());
    watched_count = signums.size();
  }
  static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
  (void)registered;
#if PY_VERSION_HEX < 0x030D0000
  main_interpreter = PyInterpreterState_Main();
#endif
  const bool watching = any_handler_is_ours();
  Py_XSETREF(callback_object, Py_NewRef(callback));
  // A semaphore in use (a paused watch's, or one a signal posted meanwhile) stays as it is.
  if (!watching && !running && sem_init(&wake, 0, 0) != 0) {
    return PyError::make(PyExc_OSError, "cannot start the watch of the ending signals");
  }
  bool any = watching;
  for (const int signum : watched()) {
    struct sigaction current{};
    if (sigaction(signum, nullptr, &current) != 0) {
      return PyError::make(PyExc_OSError, "cannot read a signal's action");
    }
    if (current.sa_handler == on_signal) {
      continue;
    }
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) {
      continue;  // the program's own choice stands
    }
    if (!start_watcher()) {
      return PyError::make(PyExc_OSError, "cannot start the watch of the ending signals");
    }
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the program's system calls go on undisturbed
    if (sigaction(signum, &action, nullptr) != 0) {
      return PyError::make(PyExc_OSError, "cannot set a signal's action");
    }
    any = true;
  }
  return any && start_watcher();
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
  // The thread may be waiting for the interpreter lock to handle a signal.
  PyThreadState* state = PyEval_SaveThread();
  pthread_join(watcher, nullptr);
  wait_until_thread_gone(watcher_tid.exchange(0));
  watcher_started.store(false);
  PyEval_RestoreThread(state);
  running = false;
}

}  // namespace tavo
