// The trace document: one MessagePack map of 8 entries holding the buffered
// records and the facts of the run.
#include "profiler/tavo_profiler.hpp"
#include "utils/convert.hpp"
#include "utils/gil_lock.hpp"
#include "utils/host_module.hpp"
#include "utils/interned.hpp"

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
  RestoreOnThrow(TavoProfiler& profiler, TakenRecords& taken)
      : profiler_(profiler), taken_(taken) {}
  ~RestoreOnThrow() {
    if (armed_) {
      profiler_.put_back(std::move(taken_));
    }
  }
  void dismiss() { armed_ = false; }

 private:
  TavoProfiler& profiler_;
  TakenRecords& taken_;
  bool armed_ = true;
};

}  // namespace

Result<BuiltTrace> TavoProfiler::build_trace_inner() {
  check_fork();
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
  Result<PyRef> argv_obj = get_module_attr(n.module_sys, n.argv);
  if (!argv_obj.ok()) {
    return argv_obj.take_error();
  }
  Result<std::vector<std::string>> argv = to_string_list(argv_obj.value().get());
  if (!argv.ok()) {
    return argv.take_error();
  }

  BuiltTrace built;
  {
    GilSafeLock trace_lock(trace_id_mutex_);
    built.trace_id = trace_id_;
    built.taken.trace_generation = trace_generation_;
    GilSafeLock interest_lock(frames_of_interest_mutex_);
    std::swap(built.taken.frames_of_interest, frames_of_interest_);
    GilSafeLock frames_lock(frames_mutex_);
    std::swap(built.taken.frames, frames_);
    built.taken.bytes = buffered_bytes_.exchange(0, std::memory_order_relaxed);
  }
  // Until the document exists, an allocation failure puts the records back.
  RestoreOnThrow restore(*this, built.taken);
  // The records now belong to this document alone; encoding needs no lock.
  const TakenRecords& taken = built.taken;
  std::size_t size = 1024 + taken.frames_of_interest.byte_size();
  for (const auto& [thread_id, list] : taken.frames) {
    size += list.byte_size() + 16;
  }
  ByteBuffer buf;
  buf.reserve(size);
  write_map_len(buf, 8);
  write_str(buf, "command_line_args");
  write_array_len(buf, static_cast<std::uint32_t>(argv.value().size()));
  for (const std::string& arg : argv.value()) {
    write_str(buf, arg);
  }
  write_str_pair(buf, "current_commit_sha",
                 commit.value() ? std::optional<std::string_view>(*commit.value()) : std::nullopt);
  write_str(buf, "frames");
  write_map_len(buf, static_cast<std::uint32_t>(taken.frames.size()));
  for (const auto& [thread_id, list] : taken.frames) {
    write_uint(buf, thread_id);
    list.write_array(buf);
  }
  write_str(buf, "frames_of_interest");
  taken.frames_of_interest.write_array(buf);
  write_int_pair(buf, "main_thread_id", main_thread_id_);
  write_meta(buf, version.value(), source_);
  write_f64_pair(buf, "timestamp", timestamp_);
  write_str_pair(buf, "trace_id", built.trace_id);

  built.document = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.data()),
                                                          static_cast<Py_ssize_t>(buf.size())));
  restore.dismiss();
  if (!built.document) {
    PyError error = PyError::fetch();
    put_back(std::move(built.taken));
    return error;
  }
  return built;
}

void TavoProfiler::put_back(TakenRecords&& taken) {
  GilSafeLock trace_lock(trace_id_mutex_);
  if (taken.trace_generation != trace_generation_) {
    return;  // a new test's trace has begun; these records belong to none
  }
  GilSafeLock interest_lock(frames_of_interest_mutex_);
  frames_of_interest_.prepend(std::move(taken.frames_of_interest));
  GilSafeLock frames_lock(frames_mutex_);
  for (auto& [thread_id, list] : taken.frames) {
    frames_[thread_id].prepend(std::move(list));
  }
  buffered_bytes_.fetch_add(taken.bytes, std::memory_order_relaxed);
}

Result<PyRef> TavoProfiler::build_trace() {
  Result<BuiltTrace> built = build_trace_inner();
  if (!built.ok()) {
    return built.take_error();
  }
  return std::move(built.value().document);
}

}  // namespace tavo
