#include "module/profiler_type.hpp"

#include <new>

#include "sources/monitoring.hpp"
#include "utils/cpp_barrier.hpp"
#include "utils/interned.hpp"

namespace tavo {

namespace {

struct ProfilerObject {
  PyObject_HEAD TavoProfiler* state;
};

PyTypeObject* profiler_type = nullptr;

TavoProfiler& state_of(PyObject* self) { return *reinterpret_cast<ProfilerObject*>(self)->state; }

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void profiler_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<ProfilerObject*>(self);
  delete object->state;
  object->state = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

int profiler_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<ProfilerObject*>(self);
  return object->state ? object->state->traverse(visit, arg) : 0;
}

int profiler_clear(PyObject* self) {
  auto* object = reinterpret_cast<ProfilerObject*>(self);
  if (object->state) {
    object->state->clear_python_refs();
  }
  return 0;
}

PyObject* build_trace(PyObject* self, PyObject*) {
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* result = python_entry([&]() -> PyObject* {
    Result<PyRef> document = state_of(self).build_trace();
    if (!document.ok()) {
      document.take_error().restore();
      return nullptr;
    }
    return document.value().release();
  });
  PyGILState_Release(gil);
  return result;
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* result = python_entry([&]() -> PyObject* {
    Status saved = state_of(self).save_in_db();
    if (!saved.ok()) {
      saved.take_error().restore();
      return nullptr;
    }
    return Py_NewRef(Py_None);
  });
  PyGILState_Release(gil);
  return result;
}

PyObject* get_trace_id(PyObject* self, void*) {
  return python_entry([&]() -> PyObject* {
    const std::string trace_id = state_of(self).current_trace_id();
    return PyUnicode_FromStringAndSize(trace_id.data(), static_cast<Py_ssize_t>(trace_id.size()));
  });
}

PyObject* get_dropped_records(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).dropped_records());
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
  if (monitoring::installed_with(self)) {
    // The monitoring engine already gets the thread's events: it only needs
    // to know that they count.
    monitoring::record_this_thread();
    PyEval_SetProfile(nullptr, nullptr);
  } else {
    PyEval_SetProfile(profile_callback, self);
  }
  Py_RETURN_NONE;
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
  if (monitoring::installed_with(self)) {
    // The monitoring engine records this thread already.
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
// host for config "exceptions". Raises only an interrupt met while writing
// the record, which belongs to the program.
PyObject* exception_unwind(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    if (nargs == 3 && !state_of(self).record_exception(self, args[2])) {
      return nullptr;
    }
    return Py_NewRef(Py_None);
  });
}

PyMethodDef profiler_methods[] = {
    {"exception_unwind",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exception_unwind)), METH_FASTCALL,
     "exception_unwind($self, code, offset, exception, /)\n--\n\n"},
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler)),
     METH_VARARGS | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef profiler_getset[] = {
    {"trace_id", get_trace_id, nullptr,
     "The id of the trace being recorded now (each test's own with one trace per test).", nullptr},
    {"dropped_records", get_dropped_records, nullptr,
     "Records dropped since the current trace began (errors, the buffer budget, memory).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot profiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiler_clear)},
    {Py_tp_methods, profiler_methods},
    {Py_tp_getset, profiler_getset},
    {Py_tp_call, reinterpret_cast<void*>(profiler_call)},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "tavo._tavo.TavoProfiler",
    sizeof(ProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    profiler_slots,
};

bool ensure_type() {
  if (profiler_type == nullptr) {
    profiler_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&profiler_spec));
  }
  return profiler_type != nullptr;
}

bool is_profiler(PyObject* obj) {
  return profiler_type != nullptr && PyObject_TypeCheck(obj, profiler_type);
}

}  // namespace

PyObject* new_profiler_object(std::unique_ptr<TavoProfiler> state) {
  if (!ensure_type()) {
    return nullptr;
  }
  auto* object = PyObject_GC_New(ProfilerObject, profiler_type);
  if (object == nullptr) {
    return nullptr;
  }
  object->state = state.release();
  PyObject_GC_Track(object);
  return reinterpret_cast<PyObject*>(object);
}

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

[[gnu::noinline]] int handle_recorded_event(PyObject* obj, PyFrameObject* frame, PyCodeObject* code,
                                            TavoProfiler::CodeDecision decision, Event event,
                                            PyObject* arg) {
  return state_of(obj).profile(obj, frame, code, decision, arg, event) ? 0 : -1;
}

// Everything but the event-code test, kept out of line so that the events
// ignored by code (C calls, lines, exceptions) cost a compare and a return.
// Most events that get here belong to code that is neither recorded nor
// watched: they end after one cached decision, having created no object.
[[gnu::noinline]] int handle_event(PyObject* obj, PyFrameObject* frame, Event event,
                                   PyObject* arg) {
  if (obj == nullptr || frame == nullptr || !is_profiler(obj)) [[unlikely]] {
    return bad_profile_call(obj, frame);
  }
  PyCodeObject* code = PyFrame_GetCode(frame);
  Py_DECREF(code);  // the frame holds its code for the whole event
  const TavoProfiler::CodeDecision decision = state_of(obj).decide(code);
  if (!decision.any()) {
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
  return 0;
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

}  // namespace tavo
