// The record of an exception that ended a recorded call.
//
// The profile function is told only that a frame returned (with None); the
// exception reaches the interpreter's unwind event, which follows at once on
// the same thread. Its callback (`TavoProfiler.exception_unwind`, registered
// by the host when config "exceptions" is on) writes a record of type
// "exception" right after the return's records when the unwinding frame is one
// this profiler records on this thread. The profile function itself is not
// changed, so events without an exception cost what they did.
#pragma once

#include <Python.h>

#include <optional>

#include "interop/error.hpp"
#include "interop/thread_identity.hpp"
#include "record/call_site.hpp"
#include "record/ids.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

struct ExceptionRecordInput {
  PyObject* exception;
  const FrameId& frame_id;
  const ThreadIdentity& thread;
  const std::optional<CallSite>& call_site;
  bool lightweight_repr;
};

// Appends the record: "frame_id", "timestamp", "thread", "thread_native_id",
// "user_code_call_site", "type" ("exception"), "subtype" (nil),
// "exception_type" (the type's name, module-qualified unless builtin) and
// "message" (its text, cut to the length of a value description). When the
// exception's arguments are plain data the message is had without running code of
// the program: the text of its nearest built-in type, or, when a class of the
// program defines __str__, the text of its arguments. On failure `buf` is left as
// it was.
Status write_exception_record(ByteBuffer& buf, const ExceptionRecordInput& input);

}  // namespace tavo
