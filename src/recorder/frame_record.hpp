// The frame event record: one MessagePack map of 12 entries per recorded
// call or return.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "interop/error.hpp"
#include "interop/thread_identity.hpp"
#include "record/call_site.hpp"
#include "record/code_facts.hpp"
#include "record/ids.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

struct FrameRecordInput {
  PyFrameObject* frame;
  CodeFacts* facts;  // of the frame's code, or null
  PyObject* arg;
  std::string_view filename;
  std::string_view co_name;
  std::string_view event;
  const std::optional<FrameId>& frame_id;
  const ThreadIdentity& thread;
  const std::optional<CallSite>& call_site;
  double timestamp;
  bool lightweight_repr;
  // The step of the value ladder (values::at_step) the trace is at, and where
  // the values it shortened are counted.
  int value_step;
  std::uint64_t* shortened_values;
};

// Appends the record for `input` to `buf`: "path", "co_name", "qualname",
// "event", "frame_id", "arg", "locals", "thread", "thread_native_id",
// "timestamp", "type", "user_code_call_site", in that order. On failure (the
// qualified name or the serializer) `buf` is left as it was.
Status write_frame_record(ByteBuffer& buf, const FrameRecordInput& input);

}  // namespace tavo
