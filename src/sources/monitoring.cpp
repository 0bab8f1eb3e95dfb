#include "sources/monitoring.hpp"

#include <cstdint>
#include <initializer_list>

#include "interop/cpp_barrier.hpp"
#include "interop/event_error.hpp"
#include "interop/interned.hpp"
#include "interop/pending_signals.hpp"
#include "interop/program_exception.hpp"
#include "interop/pyref.hpp"
#include "sources/event_sink.hpp"

namespace tavo::monitoring {

namespace {

// The tool ids tried before sys.monitoring.PROFILER_ID: the two the
// interpreter names for no kind of tool. The profilers' own id is left to the
// program while one of them is free: the standard library's profiler asks for
// it, and would be refused under tavo.
constexpr int kSpareToolIds[] = {4, 3};

// The installed engine. Read and written under the interpreter lock only.
struct Engine {
  PyObject* object = nullptr;  // the TavoProfiler object, owned
  TavoProfiler* state = nullptr;
  PyObject* disable = nullptr;  // sys.monitoring.DISABLE, owned
  int tool = -1;
  std::uint64_t serial = 0;  // the profiler's serial; 0 when none is installed
  // What events of recorded code past the trace's budget get, from the first
  // such event until the buffers are emptied: switched off (and on again at
  // the end), or only counted while another tool uses sys.monitoring, whose
  // switched-off events must stay off.
  enum class PastBudget : unsigned char { kUndecided, kSwitchedOff, kCounted };
  PastBudget past_budget = PastBudget::kUndecided;
};
Engine engine;

// The serial of the profiler that records the calling thread: events of any
// other thread are ignored at the cost of one comparison.
thread_local std::uint64_t thread_serial = 0;

PyObject* none() { return Py_NewRef(Py_None); }

// Whether tavo's is the only tool using sys.monitoring (an error is cleared:
// the events are then counted, as with another tool).
bool only_tool() {
  PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
  for (int tool = 0; monitoring != nullptr && tool < 6; ++tool) {
    PyRef holder = tool == engine.tool
                       ? PyRef()
                       : PyRef::steal(PyObject_CallMethod(monitoring, "get_tool", "i", tool));
    if (tool != engine.tool && (!holder || holder.get() != Py_None)) {
      PyErr_Clear();
      return false;
    }
  }
  return monitoring != nullptr;
}

// Switches back on the events answered with DISABLE, once the buffers that
// reached their budget were emptied. Left-out code answers DISABLE again at its
// next event, at the cost of one decision.
void switch_events_back_on(PyObject* code_obj) {
  PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
  PyRef restarted = monitoring == nullptr
                        ? PyRef()
                        : PyRef::steal(PyObject_CallMethod(monitoring, "restart_events", nullptr));
  if (restarted) {
    return;
  }
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, "sys.monitoring is gone");
  }
  // Recorded code then stays unreported: said once, as any event error.
  auto* code = reinterpret_cast<PyCodeObject*>(code_obj);
  Status reported = report_event_error(PyError::fetch(), PyEval_GetFrame(), names().call,
                                       code->co_filename, code->co_name);
  if (!reported.ok()) {
    hand_back_to_program(reported.take_error());
  }
}

// One event of `code`. Left-out code answers DISABLE to a local event, so the
// interpreter stops reporting that event of the code object; events that
// cannot be disabled (unwind, throw) cost one cached decision. Past the
// trace's budget recorded code answers DISABLE too: its events could only be
// counted, and the interpreter's call of this function alone is most of the
// cost of an event.
template <bool kLocal>
PyObject* on_event(PyObject* code_obj, PyObject* arg, Event event) {
  TavoProfiler* state = engine.state;
  if (state == nullptr || !PyCode_Check(code_obj)) [[unlikely]] {
    return none();
  }
  auto* code = reinterpret_cast<PyCodeObject*>(code_obj);
  const CodeDecision decision = state->decide(code);
  if (!decision.any()) {
    // Taken first: a signal handler may stop the engine.
    PyObject* result = kLocal ? Py_NewRef(engine.disable) : none();
    run_pending_signal_handlers();
    return result;
  }
  if (thread_serial != engine.serial) {
    return none();
  }
  if (engine.past_budget != Engine::PastBudget::kUndecided && !state->budget_reached())
      [[unlikely]] {
    const bool switched_off = engine.past_budget == Engine::PastBudget::kSwitchedOff;
    engine.past_budget = Engine::PastBudget::kUndecided;
    if (switched_off) {
      switch_events_back_on(code_obj);
    }
  }
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) [[unlikely]] {
    return none();
  }
  // profile() keeps the object alive for the event, whatever the event's
  // Python code does to the engine.
  state->profile(engine.object, frame, code, decision, arg, event);
  if (kLocal && decision.keep_path() && !decision.plugins_watch() && engine.state == state &&
      state->budget_reached()) [[unlikely]] {
    if (engine.past_budget == Engine::PastBudget::kUndecided) {
      engine.past_budget =
          only_tool() ? Engine::PastBudget::kSwitchedOff : Engine::PastBudget::kCounted;
    }
    if (engine.past_budget == Engine::PastBudget::kSwitchedOff) {
      state->note_drops_uncounted();
      return Py_NewRef(engine.disable);
    }
  }
  return none();
}

// (code, offset): a function, generator or coroutine starting or resuming.
PyObject* on_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry(
      [&] { return nargs < 2 ? none() : on_event<true>(args[0], Py_None, Event::kCall); });
}

// (code, offset, value): a return or a yield, with its value.
PyObject* on_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry(
      [&] { return nargs < 3 ? none() : on_event<true>(args[0], args[2], Event::kReturn); });
}

// (code, offset, exception): a generator or coroutine resumed by throw(), a
// call whose argument is what the profile function gets on this version: the
// exception up to 3.12, None since 3.13.
PyObject* on_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x030D0000
  constexpr bool kThrowArg = false;
#else
  constexpr bool kThrowArg = true;
#endif
  return python_entry([&] {
    return nargs < 3 ? none()
                     : on_event<false>(args[0], kThrowArg ? args[2] : Py_None, Event::kCall);
  });
}

// (code, offset, exception): a frame left by an exception, a return whose
// value is None, followed by the exception record when the profiler writes
// them.
PyObject* on_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    if (nargs < 3) {
      return none();
    }
    PyRef result = PyRef::steal(on_event<false>(args[0], Py_None, Event::kReturn));
    // Read again: the event's Python code may have stopped the engine. Only
    // recorded code has exception records, and asking costs a cached decision
    // rather than a frame object.
    TavoProfiler* state = engine.state;
    if (state != nullptr && thread_serial == engine.serial && PyCode_Check(args[0]) &&
        state->decide(reinterpret_cast<PyCodeObject*>(args[0])).keep_path()) {
      state->record_exception(args[2]);
    }
    return result.release();
  });
}

PyMethodDef callback_defs[] = {
    {"tavo_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_start)),
     METH_FASTCALL, nullptr},
    {"tavo_return", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_return)),
     METH_FASTCALL, nullptr},
    {"tavo_throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_throw)),
     METH_FASTCALL, nullptr},
    {"tavo_unwind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_unwind)),
     METH_FASTCALL, nullptr},
};

// The events each callback takes, by their names in sys.monitoring.events.
struct Binding {
  PyMethodDef* def;
  std::initializer_list<const char*> events;
};
const Binding bindings[] = {
    {&callback_defs[0], {"PY_START", "PY_RESUME"}},
    {&callback_defs[1], {"PY_RETURN", "PY_YIELD"}},
    {&callback_defs[2], {"PY_THROW"}},
    {&callback_defs[3], {"PY_UNWIND"}},
};

PyRef call(PyObject* monitoring, const char* name, const char* format, auto... args) {
  return PyRef::steal(PyObject_CallMethod(monitoring, name, format, args...));
}

PyRef monitoring_module() {
  PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
  if (monitoring == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the monitoring engine needs sys.monitoring (CPython 3.12 or newer), which "
                    "this interpreter lacks; use the \"profile\" engine");
    return PyRef();
  }
  return PyRef::borrow(monitoring);
}

// Claims the first free spare tool id, else the profilers' one, or says who
// holds them.
int claim_tool(PyObject* monitoring) {
  PyRef holders = PyRef::steal(PyList_New(0));
  PyRef profiler_id = PyRef::steal(PyObject_GetAttrString(monitoring, "PROFILER_ID"));
  const long first = profiler_id ? PyLong_AsLong(profiler_id.get()) : -1;
  if (!holders || (first == -1 && PyErr_Occurred())) {
    return -1;
  }
  const int tools[] = {kSpareToolIds[0], kSpareToolIds[1], static_cast<int>(first)};
  for (const int tool : tools) {
    PyRef holder = call(monitoring, "get_tool", "i", tool);
    if (!holder) {
      return -1;
    }
    if (holder.get() == Py_None) {
      return call(monitoring, "use_tool_id", "is", tool, "tavo") ? tool : -1;
    }
    if (PyList_Append(holders.get(), holder.get()) < 0) {
      return -1;
    }
  }
  PyErr_Format(PyExc_RuntimeError,
               "the monitoring engine needs sys.monitoring tool id 4, 3 or %ld (PROFILER_ID), "
               "and all are in use (by %R); stop one of those tools or use the \"profile\" engine",
               first, holders.get());
  return -1;
}

// Every event of `tool`, and its callbacks, off; the id freed.
bool release_tool(PyObject* monitoring, int tool) {
  PyRef events = PyRef::steal(PyObject_GetAttrString(monitoring, "events"));
  bool ok = static_cast<bool>(events) && call(monitoring, "set_events", "ii", tool, 0);
  for (const Binding& binding : bindings) {
    for (const char* name : binding.events) {
      PyRef event = ok ? PyRef::steal(PyObject_GetAttrString(events.get(), name)) : PyRef();
      ok = ok && event && call(monitoring, "register_callback", "iOO", tool, event.get(), Py_None);
    }
  }
  // The id is freed even when the above failed, with that error kept.
  PyObject* pending = PyErr_GetRaisedException();
  ok = static_cast<bool>(call(monitoring, "free_tool_id", "i", tool)) && ok;
  if (pending != nullptr) {
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }
  return ok;
}

// Registers the callbacks on `tool` and turns their events on; the events'
// mask is returned through `mask`.
bool start_events(PyObject* monitoring, int tool) {
  PyRef events = PyRef::steal(PyObject_GetAttrString(monitoring, "events"));
  if (!events) {
    return false;
  }
  long mask = 0;
  for (const Binding& binding : bindings) {
    PyRef callback = PyRef::steal(PyCFunction_New(binding.def, nullptr));
    if (!callback) {
      return false;
    }
    for (const char* name : binding.events) {
      PyRef event = PyRef::steal(PyObject_GetAttrString(events.get(), name));
      const long bit = event ? PyLong_AsLong(event.get()) : -1;
      if (bit == -1 && PyErr_Occurred()) {
        return false;
      }
      if (!call(monitoring, "register_callback", "iOO", tool, event.get(), callback.get())) {
        return false;
      }
      mask |= bit;
    }
  }
  // Code objects switched off for an earlier profiler may be recorded by this
  // one, whose filters can differ.
  return call(monitoring, "restart_events", nullptr) &&
         call(monitoring, "set_events", "il", tool, mask);
}

}  // namespace

bool install(PyObject* object) {
  if (!is_profiler(object)) {
    PyErr_SetString(PyExc_TypeError, "not a TavoProfiler object");
    return false;
  }
  TavoProfiler& state = state_of(object);
  if (!uninstall()) {
    return false;
  }
  PyRef monitoring = monitoring_module();
  if (!monitoring) {
    return false;
  }
  PyRef disable = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "DISABLE"));
  if (!disable) {
    return false;
  }
  const int tool = claim_tool(monitoring.get());
  if (tool < 0) {
    return false;
  }
  // Set before the first event can come.
  engine = Engine{Py_NewRef(object), &state, disable.release(), tool, state.serial()};
  thread_serial = engine.serial;
  if (!start_events(monitoring.get(), tool)) {
    PyObject* error = PyErr_GetRaisedException();
    uninstall();
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    return false;
  }
  return true;
}

bool uninstall() {
  if (engine.object == nullptr) {
    return true;
  }
  const Engine stopped = engine;
  engine = Engine{};
  PyRef monitoring = monitoring_module();
  const bool ok = monitoring && release_tool(monitoring.get(), stopped.tool);
  // Released last: freeing the profiler can run arbitrary code.
  Py_DECREF(stopped.disable);
  Py_DECREF(stopped.object);
  return ok;
}

bool record_thread_for(PyObject* profiler) {
  if (profiler == nullptr || engine.object != profiler) {
    return false;
  }
  thread_serial = engine.serial;
  return true;
}

}  // namespace tavo::monitoring
