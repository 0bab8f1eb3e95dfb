#include "recorder/exception_record.hpp"

#include <string>

#include "filters/frame_filter.hpp"
#include "interop/convert.hpp"
#include "interop/program_exception.hpp"
#include "record/ids.hpp"
#include "recorder/recorder.hpp"

namespace tavo {

namespace {

// The host serializer's limits for a value description (full / lightweight).
constexpr Py_ssize_t kMessageLimit = 1000;
constexpr Py_ssize_t kLightweightMessageLimit = 80;

bool plain_data(PyObject* value) {
  return value == Py_None || PyBool_Check(value) || PyUnicode_CheckExact(value) ||
         PyLong_CheckExact(value) || PyFloat_CheckExact(value);
}

bool plain_arguments(PyObject* exception) {
  PyRef args = PyRef::steal(PyException_GetArgs(exception));
  if (!args || !PyTuple_CheckExact(args.get())) {
    PyErr_Clear();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
    if (!plain_data(PyTuple_GET_ITEM(args.get(), i))) {
      return false;
    }
  }
  return true;
}

// The exception's text, without running code of the program when its
// arguments are plain data: the text of its nearest built-in type when no
// class of the program defines __str__, else the text of its arguments as a
// plain exception shows them. Otherwise only str() can tell, and it is asked.
PyRef exception_text(PyObject* exception) {
  PyTypeObject* type = Py_TYPE(exception);
  PyTypeObject* builtin = type;
  while (builtin != nullptr && (builtin->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    builtin = builtin->tp_base;
  }
  if (builtin != nullptr && plain_arguments(exception)) {
    if (type->tp_str == builtin->tp_str) {
      return PyRef::steal(PyObject_Str(exception));
    }
    return PyRef::steal(reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_str(exception));
  }
  return PyRef::steal(PyObject_Str(exception));
}

// The exception's text cut like a value description. An exception whose text
// cannot be had gets a placeholder naming its type.
Result<PyRef> message_text(PyObject* exception, bool lightweight) {
  PyRef text = exception_text(exception);
  if (!text) {
    if (std::optional<PyError> interrupt = fetch_interrupt()) {
      return std::move(*interrupt);
    }
  }
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromFormat("<str() of %s failed>", Py_TYPE(exception)->tp_name));
    if (!text) {
      return PyError::fetch();
    }
  }
  const Py_ssize_t limit = lightweight ? kLightweightMessageLimit : kMessageLimit;
  if (PyUnicode_GET_LENGTH(text.get()) <= limit) {
    return text;
  }
  PyRef head = PyRef::steal(PyUnicode_Substring(text.get(), 0, limit - 3));
  PyRef cut = head ? PyRef::steal(PyUnicode_FromFormat("%U...", head.get())) : PyRef();
  if (!cut) {
    return PyError::fetch();
  }
  return cut;
}

// "ValueError" for a built-in type, "package.module.Name" otherwise.
Result<PyRef> type_name(PyObject* exception) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
  if (!qualname) {
    return PyError::fetch();
  }
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    if (std::optional<PyError> interrupt = fetch_interrupt()) {
      return std::move(*interrupt);
    }
  }
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return qualname;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
    return qualname;
  }
  PyRef full = PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
  if (!full) {
    return PyError::fetch();
  }
  return full;
}

}  // namespace

Status write_exception_record(ByteBuffer& buf, const ExceptionRecordInput& in) {
  Result<PyRef> name = type_name(in.exception);
  if (!name.ok()) {
    return name.take_error();
  }
  Result<PyRef> message = message_text(in.exception, in.lightweight_repr);
  if (!message.ok()) {
    return message.take_error();
  }
  std::string name_storage;
  std::string message_storage;
  write_map_len(buf, 9);
  write_str_pair(buf, "frame_id", in.frame_id.view());
  write_f64_pair(buf, "timestamp", timestamp());
  write_str_pair(buf, "thread", in.thread.name);
  write_int_pair(buf, "thread_native_id", in.thread.native_id);
  write_str(buf, "user_code_call_site");
  write_call_site(buf, in.call_site);
  write_str_pair(buf, "type", "exception");
  write_str_pair(buf, "subtype", std::nullopt);
  write_str_pair(buf, "exception_type", utf8_view(name.value().get(), name_storage));
  write_str_pair(buf, "message", utf8_view(message.value().get(), message_storage));
  return Status::success();
}

void Recorder::record_exception(PyObject* exception) {
  // The unwind event comes for every frame: only frames this profiler has
  // just recorded the return of count (the source checks the thread).
  PyFrameObject* frame = PyEval_GetFrame();
  if (!settings_.exceptions || frame == nullptr) {
    return;
  }
  PyCodeObject* code = PyFrame_GetCode(frame);
  Py_DECREF(code);  // the frame holds its code
  const CodeDecision decision = decider_.decide(code);
  if (!decision.keep_path() || (decision.needs_attrs_check() && attrs_filter(frame))) {
    return;
  }
  ThreadSlot& slot = threads_.current();
  if (slot.last_return_address != reinterpret_cast<std::uintptr_t>(frame) || !slot.last_return_id) {
    return;
  }
  const FrameId frame_id = *slot.last_return_id;
  slot.last_return_address = 0;  // one exception record per return
  if (frame_id == dropped_call_id() || buffers_.budget_reached()) {
    // Its return was dropped, or would be: a kept exception record would name
    // a frame no kept return record ends.
    buffers_.count_dropped(1, DropCause::kBudget);
    return;
  }
  PyObject* pending = PyErr_GetRaisedException();
  Status status = Status::success();
  Result<const ThreadIdentity*> identity = thread_identity(slot);
  if (!identity.ok()) {
    status = identity.take_error();
  } else {
    EventRecords records;
    const std::optional<CallSite> call_site =
        user_code_call_site(slot.call_frames, frame_id, reinterpret_cast<PyObject*>(frame));
    status = write_exception_record(
        records.bytes, ExceptionRecordInput{exception, frame_id, *identity.value(), call_site,
                                            settings_.lightweight_repr});
    if (status.ok()) {
      records.add(0, RecordKind::kOrdinary);
      status = push_frames(Event::kReturn, records, &slot);
    }
  }
  if (!status.ok() && !status.interrupted()) {
    status =
        log_error(status.take_error(), frame, Event::kReturn, code->co_filename, code->co_name);
  }
  if (!status.ok()) {
    // The program's, met by the exception's __str__ say: it must not replace
    // the exception unwinding, which the program's handlers are waiting for.
    hand_back_to_program(status.take_error());
  }
  PyErr_SetRaisedException(pending);
}

}  // namespace tavo
