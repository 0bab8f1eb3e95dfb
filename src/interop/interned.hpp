// Texts handed to the interpreter on the hot path (attribute names, keys,
// module names), interned once per process and kept for its lifetime.
#pragma once

#include <Python.h>

namespace tavo {

#define TAVO_INTERNED_NAMES(X)     \
  X(__builtins__)                  \
  X(__name__)                      \
  X(__version__)                   \
  X(COMMIT_SHA)                    \
  X(Mapping)                       \
  X(argv)                          \
  X(buffer_budget)                 \
  X(build_context)                 \
  X(call)                          \
  X(call_frame_id)                 \
  X(call_type)                     \
  X(co_names)                      \
  X(config)                        \
  X(current_thread)                \
  X(db_path)                       \
  X(dropped_records)               \
  X(dump_msgpack)                  \
  X(dump_msgpack_lightweight_repr) \
  X(events)                        \
  X(exc_info)                      \
  X(filters)                       \
  X(frame_id)                      \
  X(getLogger)                     \
  X(ignore_frames)                 \
  X(include_frames)                \
  X(lightweight_repr)              \
  X(line_number)                   \
  X(load_plugin_data)              \
  X(main_thread)                   \
  X(msgpack)                       \
  X(name)                          \
  X(native_id)                     \
  X(one_trace_per_test)            \
  X(path_fragment)                 \
  X(process)                       \
  X(register_threading_profiler)   \
  X(return_type)                   \
  X(rust_profiler)                 \
  X(save_trace_in_sqlite)          \
  X(setprofile)                    \
  X(source)                        \
  X(sqlite_busy_timeout)           \
  X(subtype)                       \
  X(thread)                        \
  X(thread_native_id)              \
  X(threading)                     \
  X(timeout)                       \
  X(timestamp)                     \
  X(trace_id)                      \
  X(type)                          \
  X(user_code_call_site)           \
  X(warning)

struct InternedNames {
#define TAVO_DECLARE_NAME(n) PyObject* n;
  TAVO_INTERNED_NAMES(TAVO_DECLARE_NAME)
#undef TAVO_DECLARE_NAME
  PyObject* event_return;  // "return" is a keyword, so it cannot be a member name
  PyObject* tavo;
  PyObject* module_collections_abc;
  PyObject* module_logging;
  PyObject* module_sys;
  PyObject* module_threading;
  PyObject* module_tavo_db;
  PyObject* module_tavo_git;
  PyObject* module_tavo_plugins;
  PyObject* module_tavo_serialize;
  PyObject* module_tavo_version;
  PyObject* log_format;
};

// Creates the names on first use; false with a Python error set on failure.
bool init_interned_names();
// Valid after a successful `init_interned_names`.
const InternedNames& names();

}  // namespace tavo
