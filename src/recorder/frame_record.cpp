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
  std::string qualname_storage;
  Result<std::string_view> qualname = qualname_text(in.frame, in.facts, qualname_storage);
  if (!qualname.ok()) {
    return qualname.take_error();
  }
  Result<PyRef> locals = recorded_locals(in.frame);
  if (!locals.ok()) {
    return locals.take_error();
  }
  Result<PyRef> dump = host_serializer(in.lightweight_repr);
  if (!dump.ok()) {
    return dump.take_error();
  }
  // Keys, headers and the texts known before the values: one buffer growth.
  {
    constexpr std::size_t kKeys = 6 * SpanWriter::str_bound(8);  // "path" ... "arg"
    SpanWriter out(
        buf, 1 + kKeys + path_bound(in.filename) + SpanWriter::str_bound(in.co_name.size()) +
                 SpanWriter::str_bound(qualname.value().size()) +
                 SpanWriter::str_bound(in.event.size()) + SpanWriter::str_bound(FrameId::kSize));
    out.fixmap(12);
    out.str("path");
    write_path_with_lineno(
        out, in.filename,
        in.facts != nullptr ? in.facts->line(in.frame) : PyFrame_GetLineNumber(in.frame));
    out.str("co_name");
    out.str(in.co_name);
    out.str("qualname");
    out.str(qualname.value());
    out.str("event");
    out.str(in.event);
    out.str("frame_id");
    out.str_or_nil(in.frame_id ? std::optional<std::string_view>(in.frame_id->view())
                               : std::nullopt);
    out.str("arg");
    out.finish();
  }
  if (Status s = serialize_with(dump.value().get(), in.arg, buf); !s.ok()) {
    return s;
  }
  write_str(buf, "locals");
  if (Status s = serialize_with(dump.value().get(), locals.value().get(), buf); !s.ok()) {
    return s;
  }
  // "thread" ... "user_code_call_site", and "frame"
  constexpr std::size_t kTailKeys = 5 * SpanWriter::str_bound(19) + SpanWriter::str_bound(5);
  SpanWriter out(buf,
                 kTailKeys + SpanWriter::str_bound(in.thread.name.size()) + 2 * 9 + kCallSiteBound);
  out.str("thread");
  out.str(in.thread.name);
  out.str("thread_native_id");
  if (in.thread.native_id) {
    out.uint(*in.thread.native_id);
  } else {
    out.nil();
  }
  out.str("timestamp");
  out.f64(timestamp());
  out.str("type");
  out.str("frame");
  out.str("user_code_call_site");
  write_call_site(out, in.call_site);
  out.finish();
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
