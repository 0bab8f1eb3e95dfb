#include "module/profiler_type.hpp"

#include <new>
#include <string_view>

#include "interop/cpp_barrier.hpp"
#include "interop/interned.hpp"
#include "sources/event_sink.hpp"
#include "sources/profile_hook.hpp"

namespace tavo {

PyTypeObject* profiler_type = nullptr;

namespace {

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
    resume_paused_threads(self);  // the next records fit again
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
    resume_paused_threads(self);  // the next records fit again
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

// The counts the buffers keep of what a trace lost, by the getter's closure.
PyObject* get_loss_count(PyObject* self, void* which) {
  const TraceBuffers& buffers = state_of(self).buffers();
  const std::string_view name = static_cast<const char*>(which);
  return PyLong_FromUnsignedLongLong(
      name == "shortened_values"         ? buffers.shortened_values()
      : name == "shortened_from_record"  ? buffers.shortened_from_record()
      : name == "uncounted_after_budget" ? (buffers.drops_uncounted() ? 1U : 0U)
                                         : buffers.budget_dropped_records());
}

PyObject* get_kept_record_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(state_of(self).kept_record_bytes());
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
    {"pause_past_budget", pause_past_budget, METH_O,
     "pause_past_budget($self, allowed, /)\n--\n\n"
     "With allowed, lets the profile function leave each thread that meets the trace's full "
     "buffer budget, until the trace is taken; without, puts it back on those threads and "
     "returns whether there were any."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef profiler_getset[] = {
    {"trace_id", get_trace_id, nullptr,
     "The id of the trace being recorded now (each test's own with one trace per test).", nullptr},
    {"dropped_records", get_dropped_records, nullptr,
     "Records dropped since the current trace began (errors, the buffer budget, memory).", nullptr},
    {"budget_dropped_records", get_loss_count, nullptr,
     "Of the dropped records, those dropped because the trace had reached its buffer budget.",
     const_cast<char*>("budget_dropped_records")},
    {"shortened_values", get_loss_count, nullptr,
     "Values shortened since the trace began, as its records neared the buffer budget.",
     const_cast<char*>("shortened_values")},
    {"shortened_from_record", get_loss_count, nullptr,
     "The number (from 1) of the trace's first record with a shortened value; 0 for none.",
     const_cast<char*>("shortened_from_record")},
    {"uncounted_after_budget", get_loss_count, nullptr,
     "1 when events past the buffer budget went uncounted (the engine stopped reporting them), "
     "else 0.",
     const_cast<char*>("uncounted_after_budget")},
    {"kept_record_bytes", get_kept_record_bytes, nullptr,
     "Memory that taken traces left for the next records (at most 2 MiB).", nullptr},
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

}  // namespace tavo
