// Handing a trace document to the host store.
#include <utility>

#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "saving/trace_saver.hpp"

namespace tavo {

Status TraceSaver::save() {
  const InternedNames& n = names();
  PyRef kwargs = PyRef::steal(PyDict_New());
  PyRef timeout = PyRef::steal(PyLong_FromUnsignedLongLong(settings_.sqlite_busy_timeout));
  if (!kwargs || !timeout || PyDict_SetItem(kwargs.get(), n.timeout, timeout.get()) < 0) {
    return PyError::fetch();
  }
  // Given only when records were lost or values shortened, for the stored
  // trace's summary.
  if (const std::uint64_t dropped = buffers_.dropped_records(); dropped > 0) {
    PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(dropped));
    if (!count || PyDict_SetItem(kwargs.get(), n.dropped_records, count.get()) < 0) {
      return PyError::fetch();
    }
  }
  const std::pair<const char*, std::uint64_t> losses[] = {
      {"budget_dropped_records", buffers_.budget_dropped_records()},
      {"shortened_values", buffers_.shortened_values()},
      {"shortened_from_record", buffers_.shortened_from_record()},
      {"uncounted_after_budget", buffers_.drops_uncounted() ? 1U : 0U},
  };
  for (const auto& [key, value] : losses) {
    if (value == 0) {
      continue;
    }
    PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(value));
    if (!count || PyDict_SetItemString(kwargs.get(), key, count.get()) < 0) {
      return PyError::fetch();
    }
  }
  Result<BuiltTrace> built = build();
  if (!built.ok()) {
    return built.take_error();
  }
  BuiltTrace& trace = built.value();
  // Until the store has the document, its records can still go back to the
  // buffers: a locked or unwritable database must not lose the trace.
  auto fail = [&](PyError error) -> Status {
    buffers_.put_back(std::move(trace.taken));
    return error;
  };
  if (PyDict_SetItem(kwargs.get(), n.msgpack, trace.document.get()) < 0) {
    return fail(PyError::fetch());
  }
  const std::string& path = settings_.db_path;
  PyRef db_path =
      PyRef::steal(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  PyRef trace_id = PyRef::steal(PyUnicode_FromStringAndSize(
      trace.trace_id.data(), static_cast<Py_ssize_t>(trace.trace_id.size())));
  if (!db_path || !trace_id) {
    return fail(PyError::fetch());
  }
  Result<PyRef> store = get_module_attr(n.module_tavo_db, n.save_trace_in_sqlite);
  if (!store.ok()) {
    return fail(store.take_error());
  }
  PyRef args = PyRef::steal(PyTuple_Pack(2, db_path.get(), trace_id.get()));
  if (!args) {
    return fail(PyError::fetch());
  }
  PyRef result = PyRef::steal(PyObject_Call(store.value().get(), args.get(), kwargs.get()));
  if (!result) {
    return fail(PyError::fetch());
  }
  return Status::success();
}

}  // namespace tavo
