#include "recorder/frame_record.hpp"

#include "interop/compat.hpp"
#include "interop/interned.hpp"
#include "record/qualname.hpp"
#include "values/serializer.hpp"

namespace tavo {

namespace {

// The frame's locals without "__builtins__", never modifying the frame's own
// dictionary.
Result<PyRef> recorded_locals(PyFrameObject* frame) {
  bool is_copy = false;
  PyRef locals = compat::frame_locals_dict(frame, is_copy);
  if (!locals) {
    return PyError::fetch();
  }
  PyObject* key = names().__builtins__;
  int has_builtins = PyDict_Contains(locals.get(), key);
  if (has_builtins < 0) {
    return PyError::fetch();
  }
  if (has_builtins == 1) {
    if (!is_copy) {
      locals = PyRef::steal(PyDict_Copy(locals.get()));
      if (!locals) {
        return PyError::fetch();
      }
    }
    if (PyDict_DelItem(locals.get(), key) < 0) {
      return PyError::fetch();
    }
  }
  return locals;
}

Status write_body(ByteBuffer& buf, const FrameRecordInput& in) {
  write_map_len(buf, 12);
  write_str(buf, "path");
  write_path_with_lineno(buf, in.filename, PyFrame_GetLineNumber(in.frame));
  write_str(buf, "co_name");
  write_str(buf, in.co_name);
  write_str(buf, "qualname");
  if (Status s = write_qualname(buf, in.frame); !s.ok()) {
    return s;
  }
  write_str_pair(buf, "event", in.event);
  write_str_pair(buf, "frame_id",
                 in.frame_id ? std::optional<std::string_view>(in.frame_id->view()) : std::nullopt);
  Result<PyRef> locals = recorded_locals(in.frame);
  if (!locals.ok()) {
    return locals.take_error();
  }
  Result<PyRef> dump = host_serializer(in.lightweight_repr);
  if (!dump.ok()) {
    return dump.take_error();
  }
  write_str(buf, "arg");
  if (Status s = serialize_with(dump.value().get(), in.arg, buf); !s.ok()) {
    return s;
  }
  write_str(buf, "locals");
  if (Status s = serialize_with(dump.value().get(), locals.value().get(), buf); !s.ok()) {
    return s;
  }
  write_str_pair(buf, "thread", in.thread.name);
  write_int_pair(buf, "thread_native_id", in.thread.native_id);
  write_f64_pair(buf, "timestamp", timestamp());
  write_str_pair(buf, "type", "frame");
  write_str(buf, "user_code_call_site");
  write_call_site(buf, in.call_site);
  return Status::success();
}

}  // namespace

Status write_frame_record(ByteBuffer& buf, const FrameRecordInput& input) {
  const std::size_t start = buf.size();
  Status status = write_body(buf, input);
  if (!status.ok()) {
    buf.resize(start);
  }
  return status;
}

}  // namespace tavo
