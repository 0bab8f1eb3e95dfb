#include <string>

#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "plugins/plugin_processor.hpp"

namespace tavo {

namespace {

// A broken host package: "<what>: <ExceptionType>: <message>", chained to the
// underlying error.
PyError host_contract_error(const char* what, PyError cause) {
  PyRef exc = std::move(cause).take();
  PyRef described = PyRef::steal(
      PyUnicode_FromFormat("%s: %s: %S", what, Py_TYPE(exc.get())->tp_name, exc.get()));
  if (!described) {
    // The error's own text cannot be made (its __str__ raises): name its type
    // only, so that the fixed message still reaches the caller.
    PyErr_Clear();
    described = PyRef::steal(PyUnicode_FromFormat("%s: %s: <exception str() failed>", what,
                                                  Py_TYPE(exc.get())->tp_name));
    if (!described) {
      return PyError::fetch();
    }
  }
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, described.get()));
  if (!error) {
    return PyError::fetch();
  }
  PyException_SetCause(error.get(), exc.release());
  PyErr_SetRaisedException(error.release());
  return PyError::fetch();
}

// An optional key: absent and None both give null.
Result<PyRef> optional_item(PyObject* dict, PyObject* key) {
  PyRef value;
  if (compat::dict_get_item(dict, key, value) < 0) {
    return PyError::fetch();
  }
  if (value.get() == Py_None) {
    value.reset();
  }
  return value;
}

Result<PyRef> required_str(PyObject* dict, PyObject* key) {
  PyRef value = PyRef::steal(PyObject_GetItem(dict, key));
  if (!value) {
    return PyError::fetch();
  }
  if (!PyUnicode_Check(value.get())) {
    return conversion_error(value.get(), "PyString");
  }
  return value;
}

Result<PluginProcessor> make_processor(PyObject* data, const PyRef& context) {
  const InternedNames& n = names();
  PyRef fragment_obj = PyRef::steal(PyObject_GetItem(data, n.path_fragment));
  if (!fragment_obj) {
    return PyError::fetch();
  }
  Result<std::string> fragment = to_string(fragment_obj.get());
  if (!fragment.ok()) {
    return fragment.take_error();
  }
  Result<PyRef> call_type = required_str(data, n.call_type);
  if (!call_type.ok()) {
    return call_type.take_error();
  }
  Result<PyRef> return_type = required_str(data, n.return_type);
  if (!return_type.ok()) {
    return return_type.take_error();
  }
  PyRef subtype;
  if (compat::dict_get_item(data, n.subtype, subtype) < 0) {
    return PyError::fetch();
  }
  if (subtype && !PyUnicode_Check(subtype.get())) {
    return conversion_error(subtype.get(), "PyString");
  }
  Result<PyRef> call = optional_item(data, n.call);
  if (!call.ok()) {
    return call.take_error();
  }
  Result<PyRef> process = optional_item(data, n.process);
  if (!process.ok()) {
    return process.take_error();
  }
  Result<PyRef> events_obj = optional_item(data, n.events);
  if (!events_obj.ok()) {
    return events_obj.take_error();
  }
  std::optional<std::vector<std::string>> events;
  if (events_obj.value()) {
    Result<std::vector<std::string>> list = to_string_list(events_obj.value().get());
    if (!list.ok()) {
      return list.take_error();
    }
    events = list.take_value();
  }
  return PluginProcessor{SubstringFinder(fragment.take_value()),
                         call_type.take_value(),
                         return_type.take_value(),
                         std::move(subtype),
                         call.take_value(),
                         process.take_value(),
                         std::move(events),
                         context.clone(),
                         {}};
}

Status load_one(PyObject* data, PyObject* config, PluginMap& plugins) {
  const InternedNames& n = names();
  if (!PyDict_Check(data)) {
    return conversion_error(data, "PyDict");
  }
  PyRef co_names = PyRef::steal(PyObject_GetItem(data, n.co_names));
  if (!co_names) {
    return PyError::fetch();
  }
  Result<PyRef> build_context = optional_item(data, n.build_context);
  if (!build_context.ok()) {
    return build_context.take_error();
  }
  PyRef context;
  if (build_context.value()) {
    context = PyRef::steal(PyObject_CallOneArg(build_context.value().get(), config));
    if (!context) {
      return PyError::fetch();
    }
    if (!PyDict_Check(context.get())) {
      return conversion_error(context.get(), "PyDict");
    }
  } else {
    context = PyRef::steal(PyDict_New());
    if (!context) {
      return PyError::fetch();
    }
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(co_names.get()));
  if (!iterator) {
    return PyError::fetch();
  }
  while (PyRef name = PyRef::steal(PyIter_Next(iterator.get()))) {
    Result<std::string> co_name = to_string(name.get());
    if (!co_name.ok()) {
      return co_name.take_error();
    }
    Result<PluginProcessor> processor = make_processor(data, context);
    if (!processor.ok()) {
      return processor.take_error();
    }
    plugins[co_name.take_value()].push_back(processor.take_value());
  }
  if (PyErr_Occurred()) {
    return PyError::fetch();
  }
  return Status::success();
}

}  // namespace

bool PluginProcessor::handles(std::string_view event) const {
  if (!events) {
    return true;
  }
  for (const std::string& name : *events) {
    if (name == event) {
      return true;
    }
  }
  return false;
}

Result<PluginMap> load_plugins(PyObject* config) {
  const InternedNames& n = names();
  Result<PyRef> module = get_module(n.module_tavo_plugins);
  if (!module.ok()) {
    return host_contract_error("tavo.plugins should always be importable", module.take_error());
  }
  PyRef load = PyRef::steal(PyObject_GetAttr(module.value().get(), n.load_plugin_data));
  if (!load) {
    return host_contract_error("load_plugin_data should exist", PyError::fetch());
  }
  PyRef data = PyRef::steal(PyObject_CallOneArg(load.get(), config));
  if (!data) {
    return host_contract_error("load_plugin_data should be callable", PyError::fetch());
  }
  if (!PyList_Check(data.get())) {
    return host_contract_error("load_plugin_data should return a list",
                               conversion_error(data.get(), "PyList"));
  }
  PluginMap plugins;
  const Py_ssize_t initial_length = PyList_GET_SIZE(data.get());
  plugins.reserve(static_cast<std::size_t>(initial_length));
  // Plugin code may change the list while it is walked: elements appended are
  // not visited, and a list that shrinks ends the walk.
  for (Py_ssize_t i = 0; i < initial_length && i < PyList_GET_SIZE(data.get()); ++i) {
    PyRef element = PyRef::borrow(PyList_GET_ITEM(data.get(), i));
    Status loaded = load_one(element.get(), config, plugins);
    if (!loaded.ok()) {
      return loaded.take_error();
    }
  }
  return plugins;
}

bool plugins_watch(const PluginMap& plugins, std::string_view co_name, std::string_view path) {
  if (plugins.empty()) {
    return false;
  }
  auto entry = plugins.find(co_name);
  if (entry == plugins.end()) {
    return false;
  }
  for (const PluginProcessor& processor : entry->second) {
    if (processor.path_fragment.find_in(path)) {
      return true;
    }
  }
  return false;
}

int traverse_plugins(const PluginMap& plugins, visitproc visit, void* arg) {
  for (const auto& [name, processors] : plugins) {
    for (const PluginProcessor& processor : processors) {
      Py_VISIT(processor.call.get());
      Py_VISIT(processor.process.get());
      Py_VISIT(processor.context.get());
    }
  }
  return 0;
}

}  // namespace tavo
