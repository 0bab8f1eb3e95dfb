#include "values/serializer.hpp"

#include <limits>

#include "interop/compat.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "record/msgpack_read.hpp"
#include "values/value_encoder.hpp"
#include "values/value_functions.hpp"

namespace tavo {

Status append_byte_sequence(PyObject* result, ByteBuffer& out) {
  if (PyBytes_Check(result)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result));
    append_bytes(out, data, static_cast<std::size_t>(PyBytes_GET_SIZE(result)));
    return Status::success();
  }
  if (PyUnicode_Check(result)) {
    return str_to_vec_error();
  }
  if (!PySequence_Check(result)) {
    return conversion_error(result, "Sequence");
  }
  const std::size_t start = out.size();
  Py_ssize_t length = PySequence_Size(result);
  if (length < 0) {
    if (std::optional<PyError> interrupt = fetch_interrupt()) {
      return std::move(*interrupt);
    }
    PyErr_Clear();  // the length only sizes the buffer in advance
  } else {
    out.reserve(start + static_cast<std::size_t>(length));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(result));
  if (!iterator) {
    return PyError::fetch();
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) {
      out.resize(start);
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
        return PyError::fetch();
      }
      // An integer too large for a C long is out of the byte range as well.
      PyErr_Clear();
      return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    if (value < 0 || value > 255) {
      out.resize(start);
      return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  if (PyErr_Occurred()) {
    out.resize(start);
    return PyError::fetch();
  }
  return Status::success();
}

namespace {

// The host functions as last looked up, kept until the host module's
// dictionary or the interpreter's module cache changes: a dictionary watcher
// clears `valid`, so that an event does not look them up again, while a
// function replaced by anyone is still seen at the next event.
struct SerializerCache {
  int watcher = -1;
  bool valid = false;
  PyObject* modules = nullptr;  // the module cache the functions came from
  // By `lightweight`; strong references, never released at process exit,
  // when the interpreter is gone.
  PyObject* dump[2] = {nullptr, nullptr};
};
SerializerCache cache;

int forget_serializers(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  cache.valid = false;
  return 0;
}

// Fills the cache from a plain module found in the module cache; without a
// watcher, or for anything else, the functions are looked up at each event.
void fill_cache() {
  if (cache.watcher < 0) {
    cache.watcher = PyDict_AddWatcher(forget_serializers);
    if (cache.watcher < 0) {
      PyErr_Clear();
      cache.watcher = -2;  // none left: never try again
    }
  }
  if (cache.watcher < 0) {
    return;
  }
  const InternedNames& n = names();
  PyObject* modules = PyImport_GetModuleDict();
  PyRef module;
  if (compat::dict_get_item(modules, n.module_tavo_serialize, module) != 1 ||
      !PyModule_CheckExact(module.get())) {
    PyErr_Clear();
    return;
  }
  PyObject* dict = PyModule_GetDict(module.get());
  PyRef found[2];
  if (compat::dict_get_item(dict, n.dump_msgpack, found[0]) != 1 ||
      compat::dict_get_item(dict, n.dump_msgpack_lightweight_repr, found[1]) != 1) {
    PyErr_Clear();
    return;
  }
  if (PyDict_Watch(cache.watcher, modules) < 0 || PyDict_Watch(cache.watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  Py_XSETREF(cache.dump[0], found[0].release());
  Py_XSETREF(cache.dump[1], found[1].release());
  cache.modules = modules;
  cache.valid = true;
}

}  // namespace

Result<PyRef> host_serializer(bool lightweight) {
  if (!cache.valid || cache.modules != PyImport_GetModuleDict()) [[unlikely]] {
    fill_cache();
  }
  if (cache.valid) [[likely]] {
    return PyRef::borrow(cache.dump[lightweight ? 1 : 0]);
  }
  const InternedNames& n = names();
  return get_module_attr(n.module_tavo_serialize,
                         lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack);
}

Status serialize_whole_into(PyObject* value, bool lightweight, ByteBuffer& out) {
  Result<PyRef> dump = host_serializer(lightweight);
  if (!dump.ok()) {
    return dump.take_error();
  }
  values::ValueSettings whole = values::current_settings();
  whole.budget = std::numeric_limits<std::size_t>::max();
  return serialize_with(dump.value().get(), value, out, whole);
}

Status serialize_with(PyObject* dump, PyObject* value, ByteBuffer& out,
                      const values::ValueSettings& settings) {
  // The package's own encoder writes into the record without a Python call.
  if (std::optional<bool> lightweight = values::native_dump_lightweight(dump)) {
    return values::encode_value(value, *lightweight, settings, out);
  }
  PyRef result = PyRef::steal(PyObject_CallOneArg(dump, value));
  if (!result) {
    return PyError::fetch();
  }
  const std::size_t start = out.size();
  Status appended = append_byte_sequence(result.get(), out);
  if (!appended.ok()) {
    return appended;
  }
  // A record embeds these bytes verbatim, so anything but exactly one value
  // would corrupt the record and every document that holds it.
  if (!is_single_msgpack_value(out.data() + start, out.size() - start)) {
    out.resize(start);
    return PyError::make(
        PyExc_ValueError,
        "the serializer returned bytes that are not exactly one MessagePack value");
  }
  return Status::success();
}

}  // namespace tavo
