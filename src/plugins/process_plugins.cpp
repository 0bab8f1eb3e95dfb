// Turning calls and returns of watched functions into plugin records.
#include <cstring>

#include "interop/compat.hpp"
#include "interop/convert.hpp"
#include "interop/event_error.hpp"
#include "interop/gil_lock.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "interop/thread_identity.hpp"
#include "plugins/plugin_processing.hpp"
#include "values/serializer.hpp"

namespace tavo {

namespace {

RecordKind record_kind(PyObject* type) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(type, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return RecordKind::kOrdinary;
  }
  std::string_view view(text, static_cast<std::size_t>(size));
  if (view == "start_test") {
    return RecordKind::kStartTest;
  }
  if (view == "end_test") {
    return RecordKind::kEndTest;
  }
  return RecordKind::kOrdinary;
}

// Sets `key` to a new reference; a failure is an out-of-memory error.
Status set_item(PyObject* dict, PyObject* key, PyRef value) {
  if (!value || PyDict_SetItem(dict, key, value.get()) < 0) {
    return PyError::fetch();
  }
  return Status::success();
}

PyRef frame_id_text(const FrameId& id) {
  return PyRef::steal(PyUnicode_FromStringAndSize(id.text.data(), FrameId::kSize));
}

PyRef call_site_dict(const std::optional<CallSite>& site) {
  if (!site) {
    return PyRef::borrow(Py_None);
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict ||
      !set_item(dict.get(), names().call_frame_id, frame_id_text(site->call_frame_id)).ok() ||
      !set_item(dict.get(), names().line_number, PyRef::steal(PyLong_FromLong(site->line_number)))
           .ok()) {
    return PyRef();
  }
  return dict;
}

// Merges what `process` returned into the record: a dict, or any
// collections.abc.Mapping.
Status merge_process_result(PyObject* record, PyObject* result) {
  if (!PyDict_Check(result)) {
    Result<PyRef> mapping = get_module_attr(names().module_collections_abc, names().Mapping);
    if (!mapping.ok()) {
      return mapping.take_error();
    }
    int is_mapping = PyObject_IsInstance(result, mapping.value().get());
    if (is_mapping < 0) {
      if (std::optional<PyError> interrupt = fetch_interrupt()) {
        return std::move(*interrupt);
      }
      PyErr_WriteUnraisable(result);
      is_mapping = 0;
    }
    if (!is_mapping) {
      return conversion_error(result, "Mapping");
    }
  }
  if (PyDict_Update(record, result) < 0) {
    return PyError::fetch();
  }
  return Status::success();
}

}  // namespace

Status PluginProcessing::run(const PluginEvent& in, const std::vector<CallFrame>& call_frames,
                             EventRecords& records) {
  PyFrameObject* frame = in.frame;
  PyObject* arg = in.arg;
  const Event event = in.event;
  auto entry = plugins_.find(in.co_name);
  if (entry == plugins_.end()) {
    return Status::success();
  }
  PyObject* event_obj = event == Event::kCall ? names().call : names().event_return;
  auto log_error = [&](PyError error) {
    return report_event_error(std::move(error), frame, event_obj, in.co_filename_obj,
                              in.co_name_obj);
  };
  // At a return that makes no record the frame's id is forgotten all the same
  // (a record that is made forgets it itself).
  auto forget = [&](PluginProcessor& processor) {
    if (event == Event::kReturn) {
      GilSafeLock lock(mutex_);
      (void)take_frame_id(processor.plugin_frame_ids, reinterpret_cast<std::uintptr_t>(frame));
    }
  };
  for (PluginProcessor& processor : entry->second) {
    if (!processor.path_fragment.find_in(in.filename)) {
      continue;
    }
    if (processor.call) {
      PyRef predicate = processor.call.clone();
      PyRef context = processor.context.clone();
      PyObject* args[] = {reinterpret_cast<PyObject*>(frame), event_obj, arg, context.get()};
      PyRef answer = PyRef::steal(PyObject_Vectorcall(predicate.get(), args, 4, nullptr));
      if (!answer) {
        forget(processor);
        if (Status s = log_error(PyError::fetch()); !s.ok()) {
          return s;
        }
        continue;
      }
      Result<bool> wanted = to_bool(answer.get());
      if (!wanted.ok()) {
        forget(processor);
        if (Status s = log_error(wanted.take_error()); !s.ok()) {
          return s;
        }
        continue;
      }
      if (!wanted.value()) {
        forget(processor);
        continue;
      }
    }
    if (!processor.handles(event_name(event))) {
      forget(processor);
      continue;
    }
    if (Status s = write_record(processor, in, call_frames, records); !s.ok()) {
      buffers_.count_dropped(1);
      if (s = log_error(s.take_error()); !s.ok()) {
        return s;
      }
    }
  }
  return Status::success();
}

Status PluginProcessing::write_record(PluginProcessor& processor, const PluginEvent& in,
                                      const std::vector<CallFrame>& call_frames,
                                      EventRecords& records) {
  PyFrameObject* frame = in.frame;
  PyObject* arg = in.arg;
  const Event event = in.event;
  const InternedNames& n = names();
  const auto address = reinterpret_cast<std::uintptr_t>(frame);
  FrameId frame_id;
  {
    // The only state plugins share between threads; no Python code runs here.
    GilSafeLock lock(mutex_);
    if (event == Event::kCall) {
      frame_id = new_frame_id();
      processor.plugin_frame_ids.insert_or_assign(address, frame_id);
    } else {
      std::optional<FrameId> known = take_frame_id(processor.plugin_frame_ids, address);
      frame_id = known ? *known : new_frame_id();
    }
  }
  PyRef record = PyRef::steal(PyDict_New());
  if (!record) {
    return PyError::fetch();
  }
  PyObject* dict = record.get();
  if (Status s = set_item(dict, n.frame_id, frame_id_text(frame_id)); !s.ok()) {
    return s;
  }
  if (Status s = set_item(dict, n.timestamp, PyRef::steal(PyFloat_FromDouble(timestamp())));
      !s.ok()) {
    return s;
  }
  Result<ThreadIdentity> thread = current_thread();
  if (!thread.ok()) {
    return thread.take_error();
  }
  const ThreadIdentity& identity = thread.value();
  if (Status s =
          set_item(dict, n.thread,
                   PyRef::steal(PyUnicode_FromStringAndSize(
                       identity.name.data(), static_cast<Py_ssize_t>(identity.name.size()))));
      !s.ok()) {
    return s;
  }
  PyRef native_id = identity.native_id
                        ? PyRef::steal(PyLong_FromUnsignedLongLong(*identity.native_id))
                        : PyRef::borrow(Py_None);
  if (Status s = set_item(dict, n.thread_native_id, std::move(native_id)); !s.ok()) {
    return s;
  }
  if (Status s = set_item(dict, n.user_code_call_site,
                          call_site_dict(user_code_call_site(call_frames, frame_id,
                                                             reinterpret_cast<PyObject*>(frame))));
      !s.ok()) {
    return s;
  }
  PyRef type = event == Event::kCall ? processor.call_type.clone() : processor.return_type.clone();
  if (Status s = set_item(dict, n.type, std::move(type)); !s.ok()) {
    return s;
  }
  if (processor.subtype) {
    if (Status s = set_item(dict, n.subtype, processor.subtype.clone()); !s.ok()) {
      return s;
    }
  }
  if (processor.process) {
    PyRef process = processor.process.clone();
    PyRef context = processor.context.clone();
    PyObject* event_obj = event == Event::kCall ? n.call : n.event_return;
    PyObject* args[] = {reinterpret_cast<PyObject*>(frame), event_obj, arg, context.get()};
    PyRef extra = PyRef::steal(PyObject_Vectorcall(process.get(), args, 4, nullptr));
    if (!extra) {
      return PyError::fetch();
    }
    if (Status s = merge_process_result(dict, extra.get()); !s.ok()) {
      return s;
    }
  }
  PyRef final_type;
  if (compat::dict_get_item(dict, n.type, final_type) <= 0) {
    return PyError::fetch();  // a merge cannot remove "type"
  }
  if (!PyUnicode_Check(final_type.get())) {
    return conversion_error(final_type.get(), "PyString");
  }
  const std::size_t offset = records.bytes.size();
  // A record, not a recorded value: cut to the value budget, it could lose
  // its type or the test name that labels the trace.
  if (Status s = serialize_whole_into(dict, lightweight_repr_, records.bytes); !s.ok()) {
    return s;
  }
  records.add(offset, record_kind(final_type.get()));
  return Status::success();
}

void PluginProcessing::forget_frames() {
  GilSafeLock lock(mutex_);
  for (auto& [name, processors] : plugins_) {
    for (PluginProcessor& processor : processors) {
      processor.plugin_frame_ids.clear();
    }
  }
}

}  // namespace tavo
