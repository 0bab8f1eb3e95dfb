#include "recorder/frame_record.hpp"

#include "interop/compat.hpp"
#include "interop/interned.hpp"
#include "record/qualname.hpp"
#include "values/frame_locals.hpp"
#include "values/serializer.hpp"
#include "values/value_functions.hpp"
#include "values/value_settings.hpp"

namespace tavo {

namespace {

// A class body's namespace may be a dict subclass (an enum's is): its names
// are copied into a plain dict, so that the locals stay a map of names rather
// than the description of that object. Names that are not exact str (whose
// hashing could run code) leave it as it is.
Result<PyRef> as_plain_dict(PyRef locals, bool& is_copy) {
  if (PyDict_CheckExact(locals.get())) {
    return locals;
  }
  PyRef plain = PyRef::steal(PyDict_New());
  if (!plain) {
    return PyError::fetch();
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(locals.get(), &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) {
      return locals;
    }
    if (PyDict_SetItem(plain.get(), key, value) < 0) {
      return PyError::fetch();
    }
  }
  is_copy = true;
  return plain;
}

// The frame's locals without "__builtins__", never modifying the frame's own
// dictionary.
Result<PyRef> recorded_locals(PyFrameObject* frame) {
  bool is_copy = false;
  PyRef namespace_or_copy = compat::frame_locals_dict(frame, is_copy);
  if (!namespace_or_copy) {
    return PyError::fetch();
  }
  Result<PyRef> plain = as_plain_dict(std::move(namespace_or_copy), is_copy);
  if (!plain.ok()) {
    return plain.take_error();
  }
  PyRef locals = plain.take_value();
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

// The locals map: with the package's own encoder, straight from a function
// frame's variables when that gives the same bytes as the locals dict would;
// else the dict (`locals`, or taken now), through the serializer.
Status write_locals(ByteBuffer& buf, PyFrameObject* frame, PyObject* dump,
                    std::optional<bool> native, PyRef locals,
                    const values::ValueSettings& settings) {
  if (!locals) {
    Result<bool> direct = values::encode_frame_locals(frame, *native, settings, buf);
    if (direct.ok() && direct.value()) {
      return Status::success();
    }
    if (!direct.ok()) {
      // The dict's encoding meets the same error, or none; an interrupt is
      // the program's.
      if (PyError error = direct.take_error(); error.is_interrupt()) {
        return error;
      }
    }
    Result<PyRef> taken = recorded_locals(frame);
    if (!taken.ok()) {
      return taken.take_error();
    }
    locals = taken.take_value();
  }
  return serialize_with(dump, locals.get(), buf, settings);
}

Status write_body(ByteBuffer& buf, const FrameRecordInput& in) {
  std::string qualname_storage;
  Result<std::string_view> qualname = qualname_text(in.frame, in.facts, qualname_storage);
  if (!qualname.ok()) {
    return qualname.take_error();
  }
  Result<PyRef> dump = host_serializer(in.lightweight_repr);
  if (!dump.ok()) {
    return dump.take_error();
  }
  // The package's own encoder runs no code of the program: a function
  // frame's locals may then be read after the argument, and straight from
  // its variables (see write_locals). Any other serializer may run code, so
  // the locals are taken first, as the program left them.
  const std::optional<bool> native = values::native_dump_lightweight(dump.value().get());
  values::ValueSettings settings = values::current_settings();
  if (in.value_step > 0) [[unlikely]] {
    settings = values::at_step(settings, in.value_step);
    settings.shortened = in.shortened_values;
  }
  PyRef locals;
  if (!native || settings.repr) {
    Result<PyRef> taken = recorded_locals(in.frame);
    if (!taken.ok()) {
      return taken.take_error();
    }
    locals = taken.take_value();
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
  if (Status s = serialize_with(dump.value().get(), in.arg, buf, settings); !s.ok()) {
    return s;
  }
  write_str(buf, "locals");
  if (Status s =
          write_locals(buf, in.frame, dump.value().get(), native, std::move(locals), settings);
      !s.ok()) {
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
  out.f64(in.timestamp);
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
