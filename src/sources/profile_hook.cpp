// The profile-hook event source: the C profile function the interpreter calls
// for every call and return of the threads it is installed on.
#include "sources/profile_hook.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "interop/convert.hpp"
#include "interop/cpp_barrier.hpp"
#include "interop/frame_internals.hpp"
#include "interop/interned.hpp"
#include "interop/pending_signals.hpp"
#include "interop/profile_functions.hpp"
#include "interop/profile_handover.hpp"
#include "sources/event_sink.hpp"
#include "sources/monitoring.hpp"

namespace tavo {

namespace {

[[gnu::noinline, gnu::cold]] int bad_profile_call(PyObject* obj, PyFrameObject* frame) {
  if (obj == nullptr || frame == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return -1;
  }
  conversion_error(obj, "TavoProfiler").restore();
  return -1;
}

// The serial of the profiler whose function may leave a thread past its
// trace's budget (0: none), and the threads it left. The interpreter lock
// guards both. A thread is known by its state's id too: a thread that ended
// leaves its state's address to the next one, which tavo may not record.
std::uint64_t pausing_serial = 0;
struct PausedThread {
  PyThreadState* state;
  std::uint64_t id;
};
std::vector<PausedThread> paused_threads;

// Past the budget the events of recorded code could only be counted, and the
// interpreter's call of the profile function is most of their cost: where the
// host allows it, the function leaves the thread until the host puts it back,
// before the event that ends the trace.
[[gnu::noinline, gnu::cold]] void pause_past_budget(PyObject* obj, TavoProfiler& state) {
  PyThreadState* tstate = PyThreadState_Get();
  if (pausing_serial != state.serial() || tstate->c_profilefunc != profile_callback ||
      tstate->c_profileobj != obj) {
    return;
  }
  try {
    paused_threads.push_back({tstate, tstate->id});
  } catch (const std::bad_alloc&) {
    return;  // the events go on being counted
  }
  if (set_profile_function(tstate, nullptr, nullptr)) {
    state.note_drops_uncounted();
  } else {
    paused_threads.pop_back();
  }
}

[[gnu::noinline]] int handle_recorded_event(PyObject* obj, PyFrameObject* frame, PyCodeObject* code,
                                            CodeDecision decision, Event event, PyObject* arg) {
  TavoProfiler& state = state_of(obj);
  state.profile(obj, frame, code, decision, arg, event);
  if (state.budget_reached() && decision.keep_path() && !decision.plugins_watch()) [[unlikely]] {
    pause_past_budget(obj, state);
  }
  return 0;
}

// The first event of a code object for this profiler, or an event handed over
// with arguments that need checking.
[[gnu::noinline]] int handle_event_slowly(PyObject* obj, PyFrameObject* frame, Event event,
                                          PyObject* arg) {
  obj = profile_object_behind(obj);
  if (obj == nullptr || frame == nullptr || !is_profiler(obj)) {
    return bad_profile_call(obj, frame);
  }
  PyCodeObject* code = compat::frame_code(frame);
  const CodeDecision decision = state_of(obj).decide(code);
  if (!decision.any()) {
    return 0;
  }
  return handle_recorded_event(obj, frame, code, decision, event, arg);
}

// Everything but the event-code test, kept out of line so that the events
// ignored by code (C calls, lines, exceptions) cost a compare and a return.
// Most events that get here belong to code that is neither recorded nor
// watched: they end after one cached decision, having created no object and
// made no call, so that this stays a leaf that saves no register.
[[gnu::noinline]] int handle_event(PyObject* obj, PyFrameObject* frame, Event event,
                                   PyObject* arg) {
  if (obj == nullptr || frame == nullptr || Py_TYPE(obj) != profiler_type) [[unlikely]] {
    return handle_event_slowly(obj, frame, event, arg);
  }
  PyCodeObject* code = compat::frame_code(frame);
  const CodeDecision decision = state_of(obj).cached_decision(code);
  if (!decision.known()) [[unlikely]] {
    return handle_event_slowly(obj, frame, event, arg);
  }
  if (!decision.any()) [[likely]] {
    if constexpr (kPendingSignalsCheapToAsk) {
      run_pending_signal_handlers();
    }
    return 0;
  }
  return handle_recorded_event(obj, frame, code, decision, event, arg);
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  if (what == PyTrace_CALL) {
    return handle_event(obj, frame, Event::kCall, arg);
  }
  if (what == PyTrace_RETURN) {
    return handle_event(obj, frame, Event::kReturn, arg);
  }
  if (what >= PyTrace_C_CALL && is_profile_setter(arg)) [[unlikely]] {
    on_profile_setter(obj, frame, what);
  }
  return 0;
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

PyObject* register_noop_profiler(PyObject*, PyObject*) {
  // It replaces whichever engine records, as registering a profiler does.
  if (!monitoring::uninstall()) {
    return nullptr;
  }
  PyEval_SetProfile(noop_profile, nullptr);
  Py_RETURN_NONE;
}

bool pause_past_budget_while(PyObject* profiler, bool allowed) {
  const std::uint64_t serial = state_of(profiler).serial();
  if (allowed) {
    if (pausing_serial != serial) {
      paused_threads.clear();
    }
    pausing_serial = serial;
    return false;
  }
  if (pausing_serial != serial) {
    return false;
  }
  pausing_serial = 0;
  return resume_paused_threads(profiler);
}

bool resume_paused_threads(PyObject* profiler) {
  if (pausing_serial != 0 && pausing_serial != state_of(profiler).serial()) {
    return false;
  }
  std::vector<PausedThread> paused;
  std::swap(paused, paused_threads);
  bool resumed = false;
  // Only threads still running; one that set a profile function of its own
  // meanwhile keeps it.
  for (PyThreadState* state = PyInterpreterState_ThreadHead(PyThreadState_Get()->interp);
       state != nullptr; state = PyThreadState_Next(state)) {
    const auto is_this = [state](const PausedThread& t) {
      return t.state == state && t.id == state->id;
    };
    if (state->c_profilefunc == nullptr &&
        std::find_if(paused.begin(), paused.end(), is_this) != paused.end() &&
        set_profile_function(state, profile_callback, profiler)) {
      resumed = true;
    }
  }
  return resumed;
}

void install_profile_hook(PyObject* profiler) {
  find_profile_setters();
  PyEval_SetProfile(profile_callback, profiler);
}

void uninstall_profile_hook() {
  // The Python-level form holds the profiler object: code that saved
  // sys.getprofile() and put it back installed that.
  remove_profile_functions([](Py_tracefunc function, PyObject* object) {
    return function == profile_callback || function == noop_profile ||
           (object != nullptr && is_profiler(profile_object_behind(object)));
  });
}

bool hook_threading(PyObject* host, PyObject* profiler) {
  const InternedNames& n = names();
  PyRef config = PyRef::steal(PyObject_GetAttr(host, n.config));
  if (!config) {
    return false;
  }
  PyRef flag = PyRef::steal(PyObject_GetItem(config.get(), n.threading));
  if (!flag) {
    PyErr_Clear();
    return true;
  }
  Result<bool> threading_on = to_bool(flag.get());
  if (!threading_on.ok() || !threading_on.value()) {
    return true;
  }
  PyRef threading = PyRef::steal(PyImport_Import(n.module_threading));
  if (!threading) {
    return false;
  }
  PyRef hook = PyRef::steal(PyObject_GetAttr(profiler, n.register_threading_profiler));
  if (!hook) {
    return false;
  }
  PyRef result = PyRef::steal(PyObject_CallMethodOneArg(threading.get(), n.setprofile, hook.get()));
  return static_cast<bool>(result);
}

PyObject* register_threading_profiler(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"_frame", "_event", "_arg", nullptr};
  PyObject* frame = nullptr;
  PyObject* event = nullptr;
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:register_threading_profiler",
                                   const_cast<char**>(keywords), &frame, &event, &arg)) {
    return nullptr;
  }
  if (monitoring::record_thread_for(self)) {
    // The monitoring engine gets the thread's events already: it only needs
    // to know that they count.
    PyEval_SetProfile(nullptr, nullptr);
  } else {
    PyEval_SetProfile(profile_callback, self);
  }
  Py_RETURN_NONE;
}

PyObject* pause_past_budget(PyObject* self, PyObject* allowed) {
  const int flag = PyObject_IsTrue(allowed);
  if (flag < 0) {
    return nullptr;
  }
  return PyBool_FromLong(pause_past_budget_while(self, flag != 0) ? 1 : 0);
}

// `sys.getprofile()` shows this object, and code that saves the profile
// function and later puts it back with `sys.setprofile()` installs it as a
// Python profile function. Calling it then reinstalls the native one for the
// thread and handles the event that made the call, so profiling goes on.
PyObject* profiler_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"frame", "event", "arg", nullptr};
  PyObject* frame = nullptr;
  PyObject* event = nullptr;
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OUO:TavoProfiler", const_cast<char**>(keywords),
                                   &frame, &event, &arg)) {
    return nullptr;
  }
  if (monitoring::record_thread_for(self)) {
    // The monitoring engine records this thread: no profile function too.
    PyEval_SetProfile(nullptr, nullptr);
    Py_RETURN_NONE;
  }
  PyEval_SetProfile(profile_callback, self);
  int what = -1;
  if (PyUnicode_CompareWithASCIIString(event, "call") == 0) {
    what = PyTrace_CALL;
  } else if (PyUnicode_CompareWithASCIIString(event, "return") == 0) {
    what = PyTrace_RETURN;
  }
  if (what >= 0 && PyFrame_Check(frame) &&
      profile_callback(self, reinterpret_cast<PyFrameObject*>(frame), what, arg) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The interpreter's unwind event (code, offset, exception), registered by the
// host for config "exceptions". Never raises: that would replace the
// exception unwinding.
PyObject* exception_unwind(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    // The unwind event comes for every thread: only threads that profile with
    // this object count.
    if (nargs != 3 || PyThreadState_Get()->c_profileobj != self) {
      return Py_NewRef(Py_None);
    }
    state_of(self).record_exception(args[2]);
    return Py_NewRef(Py_None);
  });
}

}  // namespace tavo
