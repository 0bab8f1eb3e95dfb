// The trace document: one MessagePack map of 8 entries holding the buffered
// records and the facts of the run.
#include <algorithm>
#include <utility>
#include <vector>

#include "interop/convert.hpp"
#include "interop/host_module.hpp"
#include "interop/interned.hpp"
#include "saving/trace_saver.hpp"

namespace tavo {

namespace {

Result<std::string> host_text(PyObject* module, PyObject* attribute) {
  Result<PyRef> value = get_module_attr(module, attribute);
  if (!value.ok()) {
    return value.take_error();
  }
  return to_string(value.value().get());
}

Result<std::optional<std::string>> commit_sha() {
  Result<PyRef> value = get_module_attr(names().module_tavo_git, names().COMMIT_SHA);
  if (!value.ok()) {
    return value.take_error();
  }
  if (value.value().get() == Py_None) {
    return std::optional<std::string>();
  }
  Result<std::string> text = to_string(value.value().get());
  if (!text.ok()) {
    return text.take_error();
  }
  return std::optional<std::string>(text.take_value());
}

// os.fsdecode(item) for bytes and path-like items, str(item) for the others;
// null with the error set when both fail.
PyRef argument_text(PyObject* item) {
  if (PyUnicode_Check(item)) {
    return PyRef::borrow(item);
  }
  PyRef path = PyRef::steal(PyOS_FSPath(item));
  if (!path) {
    if (std::optional<PyError> interrupt = fetch_interrupt()) {
      std::move(*interrupt).restore();
      return PyRef();
    }
    PyErr_Clear();
    return PyRef::steal(PyObject_Str(item));
  }
  if (PyBytes_Check(path.get())) {
    return PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()),
                                                         PyBytes_GET_SIZE(path.get())));
  }
  return path;
}

// The program's command line as texts. The program owns `sys.argv` and may
// have changed it: a missing one, or one that is not a list, counts as empty;
// an item that cannot be shown as text is shown by its type. Only an
// interrupt fails.
Result<std::vector<std::string>> command_line() {
  std::vector<std::string> args;
  Result<PyRef> argv = get_module_attr(names().module_sys, names().argv);
  if (!argv.ok()) {
    if (PyError error = argv.take_error(); error.is_interrupt()) {
      return error;
    }
    return args;
  }
  if (!PyList_Check(argv.value().get())) {
    return args;
  }
  // A copy, since converting an item runs code that may change the list.
  PyRef items = PyRef::steal(PyList_GetSlice(argv.value().get(), 0, PY_SSIZE_T_MAX));
  if (!items) {
    return PyError::fetch();
  }
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  args.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyRef text = argument_text(item);
    if (!text) {
      if (std::optional<PyError> interrupt = fetch_interrupt()) {
        return std::move(*interrupt);
      }
      PyErr_Clear();
      PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(item)));
      text = type_name
                 ? PyRef::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()))
                 : PyRef();
      if (!text) {
        return PyError::fetch();
      }
    }
    std::string storage;
    args.emplace_back(utf8_view(text.get(), storage));
  }
  return args;
}

void write_meta(ByteBuffer& buf, std::string_view version, std::string_view source) {
  write_str(buf, "meta");
  write_map_len(buf, 3);
  write_str_pair(buf, "version", version);
  write_str_pair(buf, "source", source);
  write_str(buf, "use_frame_boundaries");
  write_bool(buf, true);
}

// Puts taken records back if encoding their document throws.
class RestoreOnThrow {
 public:
  RestoreOnThrow(TraceBuffers& buffers, TakenRecords& taken) : buffers_(buffers), taken_(taken) {}
  ~RestoreOnThrow() {
    if (armed_) {
      buffers_.put_back(std::move(taken_));
    }
  }
  void dismiss() { armed_ = false; }

 private:
  TraceBuffers& buffers_;
  TakenRecords& taken_;
  bool armed_ = true;
};

}  // namespace

Result<BuiltTrace> TraceSaver::build() {
  const InternedNames& n = names();
  // Host lookups run Python code, so they come before any lock is taken; a
  // failure leaves the buffers untouched.
  Result<std::string> version = host_text(n.module_tavo_version, n.__version__);
  if (!version.ok()) {
    return version.take_error();
  }
  Result<std::optional<std::string>> commit = commit_sha();
  if (!commit.ok()) {
    return commit.take_error();
  }
  Result<std::vector<std::string>> argv = command_line();
  if (!argv.ok()) {
    return argv.take_error();
  }

  BuiltTrace built;
  buffers_.take(built.trace_id, built.taken);
  // Until the document exists, an allocation failure puts the records back.
  RestoreOnThrow restore(buffers_, built.taken);
  // The records now belong to this document alone; encoding needs no lock.
  const TakenRecords& taken = built.taken;
  // Everything but the records goes into `outline` first, with the place where
  // each list's records go: the document is then made in its bytes object,
  // copying each record once (documents reach hundreds of megabytes).
  ByteBuffer outline;
  std::vector<std::pair<std::size_t, const RecordList*>> gaps;
  auto records_here = [&](const RecordList& list) {
    list.write_array_header(outline);
    gaps.emplace_back(outline.size(), &list);
  };
  write_map_len(outline, 8);
  write_str(outline, "command_line_args");
  write_array_len(outline, static_cast<std::uint32_t>(argv.value().size()));
  for (const std::string& arg : argv.value()) {
    write_str(outline, arg);
  }
  write_str_pair(outline, "current_commit_sha",
                 commit.value() ? std::optional<std::string_view>(*commit.value()) : std::nullopt);
  write_str(outline, "frames");
  write_map_len(outline, static_cast<std::uint32_t>(taken.frames.size()));
  for (const auto& [thread_id, list] : taken.frames) {
    write_uint(outline, thread_id);
    records_here(list);
  }
  write_str(outline, "frames_of_interest");
  records_here(taken.frames_of_interest);
  write_int_pair(outline, "main_thread_id", buffers_.main_thread_id());
  write_meta(outline, version.value(), settings_.source);
  write_f64_pair(outline, "timestamp", settings_.timestamp);
  write_str_pair(outline, "trace_id", built.trace_id);

  std::size_t size = outline.size();
  for (const auto& [offset, list] : gaps) {
    size += list->byte_size();
  }
  built.document = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (built.document) {
    auto* at = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(built.document.get()));
    std::size_t written = 0;
    for (const auto& [offset, list] : gaps) {
      at = std::copy(outline.data() + written, outline.data() + offset, at);
      at = list->copy_records(at);
      written = offset;
    }
    std::copy(outline.data() + written, outline.data() + outline.size(), at);
  }
  restore.dismiss();
  if (!built.document) {
    PyError error = PyError::fetch();
    buffers_.put_back(std::move(built.taken));
    return error;
  }
  return built;
}

Result<PyRef> TraceSaver::build_document() {
  Result<BuiltTrace> built = build();
  if (!built.ok()) {
    return built.take_error();
  }
  return std::move(built.value().document);
}

}  // namespace tavo
