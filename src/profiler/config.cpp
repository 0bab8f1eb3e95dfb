// Building a profiler from the host profiler object and its configuration.
#include <atomic>

#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "interop/thread_identity.hpp"
#include "profiler/tavo_profiler.hpp"
#include "record/ids.hpp"

namespace tavo {

namespace {

// Serials tell profilers apart in per-code caches and per-thread slots; they
// are never reused.
std::atomic<std::uint64_t> next_serial{1};

// One of "include_frames" / "ignore_frames": a failing lookup counts as an
// empty list, a present value must be a list of texts.
Result<Finders> filter_list(PyObject* filters, PyObject* key) {
  PyRef value = PyRef::steal(PyObject_GetItem(filters, key));
  if (!value) {
    PyErr_Clear();
    return Finders();
  }
  Result<std::vector<std::string>> texts = to_string_list(value.get());
  if (!texts.ok()) {
    return texts.take_error();
  }
  return build_finders(texts.take_value());
}

// "threading" / "lightweight_repr" / "exceptions": only a true boolean turns them on; a value
// of another kind counts as false.
bool config_flag(PyObject* config, PyObject* key) {
  PyRef value;
  if (compat::dict_get_item(config, key, value) <= 0) {
    PyErr_Clear();
    return false;
  }
  Result<bool> flag = to_bool(value.get());
  return flag.ok() && flag.value();
}

// "engine": "profile" (also when not given) or "monitoring".
Result<EngineKind> config_engine(PyObject* config) {
  PyRef key = PyRef::steal(PyUnicode_FromString("engine"));
  PyRef value;
  if (!key || compat::dict_get_item(config, key.get(), value) < 0) {
    return PyError::fetch();
  }
  if (!value || (PyUnicode_Check(value.get()) &&
                 PyUnicode_CompareWithASCIIString(value.get(), "profile") == 0)) {
    return EngineKind::kProfile;
  }
  if (PyUnicode_Check(value.get()) &&
      PyUnicode_CompareWithASCIIString(value.get(), "monitoring") == 0) {
    return EngineKind::kMonitoring;
  }
  return PyError::format(PyExc_ValueError,
                         "config[\"engine\"] must be \"profile\" or \"monitoring\", not %R",
                         value.get());
}

Result<PyRef> host_attr(PyObject* host, PyObject* name) {
  PyRef value = PyRef::steal(PyObject_GetAttr(host, name));
  if (!value) {
    return PyError::fetch();
  }
  return value;
}

// A host attribute that must be a str.
Result<std::string> host_text(PyObject* host, PyObject* name) {
  Result<PyRef> value = host_attr(host, name);
  if (!value.ok()) {
    return value.take_error();
  }
  return to_string(value.value().get());
}

}  // namespace

TavoProfiler::TavoProfiler()
    : serial_(next_serial.fetch_add(1, std::memory_order_relaxed)),
      plugins_(buffers_),
      decider_(serial_, plugins_, buffers_),
      saver_(buffers_),
      recorder_(serial_, decider_, plugins_, buffers_, saver_) {}

TavoProfiler::~TavoProfiler() { clear_python_refs(); }

Result<std::unique_ptr<TavoProfiler>> TavoProfiler::new_from_python(PyObject* host) {
  const InternedNames& n = names();
  std::unique_ptr<TavoProfiler> profiler(new TavoProfiler());

  Result<PyRef> config = host_attr(host, n.config);
  if (!config.ok()) {
    return config.take_error();
  }
  PyObject* config_dict = config.value().get();
  if (!PyDict_Check(config_dict)) {
    return conversion_error(config_dict, "PyDict");
  }

  TraceBuffers::Settings buffering;
  TraceSaver::Settings saving;
  Recorder::Settings recording;
  Finders include_frames;
  Finders ignore_frames;

  PyRef filters;
  if (compat::dict_get_item(config_dict, n.filters, filters) < 0) {
    return PyError::fetch();
  }
  if (filters) {
    Result<Finders> include = filter_list(filters.get(), n.include_frames);
    if (!include.ok()) {
      return include.take_error();
    }
    include_frames = include.take_value();
    Result<Finders> ignore = filter_list(filters.get(), n.ignore_frames);
    if (!ignore.ok()) {
      return ignore.take_error();
    }
    ignore_frames = ignore.take_value();
  }

  Result<std::optional<std::uint64_t>> main_id = main_thread_native_id();
  if (!main_id.ok()) {
    return main_id.take_error();
  }
  buffering.main_thread_id = main_id.value();

  PyRef timeout;
  if (compat::dict_get_item(config_dict, n.sqlite_busy_timeout, timeout) < 0) {
    return PyError::fetch();
  }
  if (timeout) {
    Result<std::uint64_t> seconds = to_u64(timeout.get());
    if (!seconds.ok()) {
      return seconds.take_error();
    }
    saving.sqlite_busy_timeout = seconds.value();
  }

  PyRef budget;
  if (compat::dict_get_item(config_dict, n.buffer_budget, budget) < 0) {
    return PyError::fetch();
  }
  if (budget) {
    Result<std::uint64_t> bytes = to_u64(budget.get());
    if (!bytes.ok()) {
      return bytes.take_error();
    }
    buffering.budget = static_cast<std::size_t>(bytes.value());
  }

  buffering.threading = config_flag(config_dict, n.threading);
  recording.lightweight_repr = config_flag(config_dict, n.lightweight_repr);
  PyRef exceptions_key = PyRef::steal(PyUnicode_FromString("exceptions"));
  if (!exceptions_key) {
    return PyError::fetch();
  }
  recording.exceptions = config_flag(config_dict, exceptions_key.get());
  Result<EngineKind> engine = config_engine(config_dict);
  if (!engine.ok()) {
    return engine.take_error();
  }
  profiler->engine_ = engine.value();

  Result<PluginMap> plugins = load_plugins(config_dict);
  if (!plugins.ok()) {
    return plugins.take_error();
  }
  PluginMap plugin_map = plugins.take_value();

  Result<PyRef> db_path = host_attr(host, n.db_path);
  if (!db_path.ok()) {
    return db_path.take_error();
  }
  PyRef db_path_text = PyRef::steal(PyObject_Str(db_path.value().get()));
  if (!db_path_text) {
    return PyError::fetch();
  }
  Result<std::string> db_path_string = to_string(db_path_text.get());
  if (!db_path_string.ok()) {
    return db_path_string.take_error();
  }
  saving.db_path = db_path_string.take_value();

  Result<PyRef> one_trace = host_attr(host, n.one_trace_per_test);
  if (!one_trace.ok()) {
    return one_trace.take_error();
  }
  Result<bool> one_trace_flag = to_bool(one_trace.value().get());
  if (!one_trace_flag.ok()) {
    return one_trace_flag.take_error();
  }
  recording.one_trace_per_test = one_trace_flag.value();

  Result<std::string> trace_id = host_text(host, n.trace_id);
  if (!trace_id.ok()) {
    return trace_id.take_error();
  }
  buffering.trace_id = trace_id.take_value();

  Result<std::string> source = host_text(host, n.source);
  if (!source.ok()) {
    return source.take_error();
  }
  saving.source = source.take_value();

  saving.timestamp = timestamp();

  profiler->buffers_.configure(std::move(buffering));
  profiler->plugins_.set(std::move(plugin_map), recording.lightweight_repr);
  profiler->decider_.set_filters(std::move(include_frames), std::move(ignore_frames));
  profiler->saver_.configure(std::move(saving));
  profiler->recorder_.configure(recording);
  return profiler;
}

void TavoProfiler::clear_python_refs() {
  recorder_.threads().clear_python_refs();
  plugins_.clear();
}

int TavoProfiler::traverse(visitproc visit, void* arg) const {
  if (int r = plugins_.traverse(visit, arg)) {
    return r;
  }
  return recorder_.threads().traverse(visit, arg);
}

}  // namespace tavo
