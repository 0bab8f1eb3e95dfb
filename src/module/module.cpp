// The module entry point and its functions.
#include <Python.h>

#include <vector>

#include "filters/code_decision.hpp"
#include "interop/convert.hpp"
#include "interop/cpp_barrier.hpp"
#include "interop/fork_generation.hpp"
#include "interop/interned.hpp"
#include "interop/interpreter_check.hpp"
#include "interop/log_warning.hpp"
#include "interop/program_stack.hpp"
#include "interop/terminate_watch.hpp"
#include "module/describe.hpp"
#include "module/document_encoding.hpp"
#include "module/packing.hpp"
#include "module/profiler_type.hpp"
#include "record/code_facts.hpp"
#include "record/entropy.hpp"
#include "recorder/recorder.hpp"
#include "saving/stored_document.hpp"
#include "sources/monitoring.hpp"
#include "sources/profile_hook.hpp"
#include "values/value_functions.hpp"

namespace tavo {

namespace {

PyObject* module_object = nullptr;
int64_t module_interpreter = -1;

PyObject* register_profiler_inner(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"profiler", nullptr};
  PyObject* host = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:register_profiler",
                                   const_cast<char**>(keywords), &host)) {
    return nullptr;
  }
  PyRef host_ref = PyRef::borrow(host);
  if (!PyCallable_Check(host)) {
    PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
    return nullptr;
  }
  Result<std::unique_ptr<TavoProfiler>> state = TavoProfiler::new_from_python(host);
  if (!state.ok()) {
    state.take_error().restore();
    return nullptr;
  }
  const EngineKind engine = state.value()->engine();
  PyRef profiler = PyRef::steal(new_profiler_object(state.take_value()));
  if (!profiler) {
    return nullptr;
  }
  if (PyObject_SetAttr(host, names().rust_profiler, profiler.get()) < 0) {
    return nullptr;
  }
  // One engine at a time: the one installed before stops here.
  if (engine == EngineKind::kMonitoring) {
    uninstall_profile_hook();
    if (!monitoring::install(profiler.get())) {
      return nullptr;
    }
  } else {
    if (!monitoring::uninstall()) {
      return nullptr;
    }
    install_profile_hook(profiler.get());
  }
  if (!hook_threading(host, profiler.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* register_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
  return python_entry([&] { return register_profiler_inner(args, kwargs); });
}

// Stops whichever engine is installed: the monitoring engine, and the profile
// function on every thread that has it.
PyObject* unregister_profiler(PyObject*, PyObject*) {
  uninstall_profile_hook();
  if (!monitoring::uninstall()) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* watch_end_signals(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError,
                      "watch_end_signals() takes a callable and the signal numbers");
      return nullptr;
    }
    PyRef items = PyRef::steal(PySequence_Fast(args[1], "the signal numbers are a sequence"));
    if (!items) {
      return nullptr;
    }
    std::vector<int> signums;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      const long signum = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
      if (signum == -1 && PyErr_Occurred()) {
        return nullptr;
      }
      signums.push_back(signum > 0 && signum < 32 ? static_cast<int>(signum) : 0);
    }
    Result<bool> watching = watch_terminate(args[0], signums);
    if (!watching.ok()) {
      watching.take_error().restore();
      return nullptr;
    }
    return PyBool_FromLong(watching.value() ? 1 : 0);
  });
}

PyObject* wait_while_ending_signal(PyObject*, PyObject* const*, Py_ssize_t) {
  wait_while_ending();
  Py_RETURN_NONE;
}

PyObject* pause_end_signal_watch(PyObject*, PyObject* flag) {
  const int paused = PyObject_IsTrue(flag);
  if (paused < 0) {
    return nullptr;
  }
  pause_terminate_watch(paused != 0);
  Py_RETURN_NONE;
}

PyObject* leave_out_events(PyObject*, PyObject* flag) {
  const int left_out = PyObject_IsTrue(flag);
  if (left_out < 0) {
    return nullptr;
  }
  leave_out_thread_events(left_out != 0);
  Py_RETURN_NONE;
}

PyObject* run_as_program(PyObject*, PyObject* args) {
  if (PyTuple_GET_SIZE(args) < 1) {
    PyErr_SetString(PyExc_TypeError, "run_as_program() needs a callable");
    return nullptr;
  }
  PyRef rest = PyRef::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  if (!rest) {
    return nullptr;
  }
  return compat::call_as_stack_bottom(PyTuple_GET_ITEM(args, 0), rest.get());
}

PyMethodDef module_methods[] = {
    {"describe_document", describe_document, METH_O,
     "describe_document(document, /)\n--\n\nA document's records, label, times and calls per "
     "function, read from its bytes; None when it needs the general reading."},
    {"describe_document_during",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(describe_document_during)),
     METH_FASTCALL,
     "describe_document_during(document, work, /)\n--\n\n(describe_document(document), "
     "work()): a large document's facts read on another thread while work() runs."},
    {"pack_document_block", packed_block, METH_O,
     "pack_document_block(block, /)\n--\n\nThe block of a document with its frame ids and "
     "timestamps packed, for a store to compress, after its length (4 bytes, "
     "little-endian)."},
    {"unpack_document_block", unpacked_block, METH_O,
     "unpack_document_block(packed, /)\n--\n\nThe block that pack_document_block() packed "
     "(without the length before it); ValueError if it is damaged."},
    {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
     "register_noop_profiler()\n--\n\n"},
    {"register_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
     METH_VARARGS | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"},
    {"unregister_profiler", unregister_profiler, METH_NOARGS,
     "unregister_profiler()\n--\n\nStops the installed engine on every thread and frees what "
     "it holds; the program's own profile functions stay."},
    {"leave_out_events", leave_out_events, METH_O,
     "leave_out_events(flag, /)\n--\n\nWhile flag is true, no event of the calling thread "
     "is recorded."},
    {"pause_end_signal_watch", pause_end_signal_watch, METH_O,
     "pause_end_signal_watch(paused, /)\n--\n\nStops the thread of watch_end_signals while "
     "paused (around a fork); a signal meanwhile waits for it."},
    {"watch_end_signals",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_end_signals)), METH_FASTCALL,
     "watch_end_signals(callback, signums, /)\n--\n\nCalls callback(signum) from a thread of "
     "its own at each of the signals signums; a true result ends the process as the signal "
     "would. False if all have another action."},
    {"wait_while_ending_signal",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_while_ending_signal)),
     METH_FASTCALL,
     "wait_while_ending_signal(*_)\n--\n\nWhile watch_end_signals' callback runs, waits "
     "until it is done (ten seconds at most); at once otherwise, and in its own thread."},
    {"run_as_program", run_as_program, METH_VARARGS,
     "run_as_program(callable, /, *args)\n--\n\ncallable(*args) run as the bottom of the "
     "thread's stack, as the interpreter runs a program: no frame of the caller's below its "
     "frames, its recursion depth counted from zero."},
    {nullptr, nullptr, 0, nullptr},
};

// Only in a build with zstd: the host encodes documents itself otherwise.
PyMethodDef storing_methods[] = {
    {"encode_document_beside",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_document_beside)),
     METH_FASTCALL,
     "encode_document_beside(document, block, level, /)\n--\n\nStarts reading a document's "
     "facts and making its stored form (packed block bytes at a time, compressed at level) on "
     "another thread; result() gives (facts, stored bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

// The module object is made once per process, at the first import in the
// interpreter that uses it; a later import (after its entry in sys.modules
// was removed) gives that same object. The interpreter adds the definition's
// functions to it each time.
PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  if (module_interpreter < 0) {
    module_interpreter = interpreter;
  } else if (module_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "tavo._tavo cannot be used from more than one interpreter in a process");
    return nullptr;
  }
  if (module_object != nullptr) {
    return Py_NewRef(module_object);
  }
  if (!init_interned_names() || !init_code_decision_cache() || !init_code_facts() ||
      !compat::check_interpreter(code_extra_index)) {
    return nullptr;
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(module_spec, "name"));
  PyObject* module = name ? PyModule_NewObject(name.get()) : nullptr;
  if (module == nullptr || !values::add_value_functions(module) ||
      (can_store_documents() && PyModule_AddFunctions(module, storing_methods) < 0)) {
    Py_XDECREF(module);
    return nullptr;
  }
  watch_forks();
  set_entropy_fallback_reporter(log_tavo_warning);
  module_object = Py_NewRef(module);
  return module;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    // The engine's state is the process's: one interpreter uses it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    // Everything here relies on the interpreter lock: a free-threaded
    // interpreter turns it back on when it loads the module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tavo", "", 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tavo

PyMODINIT_FUNC PyInit__tavo() { return PyModuleDef_Init(&tavo::module_def); }
