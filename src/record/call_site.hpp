// Where a frame is: its path with line, and the user code it was called from.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "interop/pyref.hpp"
#include "record/ids.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

// One recorded frame that has not returned yet, with the id of its call.
// Only frames the interpreter handed to the profile function are pushed.
struct CallFrame {
  PyRef frame;
  FrameId id;
};

struct CallSite {
  FrameId call_frame_id;
  std::int32_t line_number;
};

// `filename` relative to `cwd` when `cwd` is a prefix of it component by
// component, else `filename` unchanged.
std::string_view strip_cwd(std::string_view filename, std::string_view cwd);

// Writes the str "<path>:<line>" for the frame's code file, relative to the
// working directory (read afresh, so a change of directory shows); when the
// working directory cannot be read the file name stays as it is. It takes at
// most `path_bound(filename)` bytes.
void write_path_with_lineno(SpanWriter& out, std::string_view filename, int lineno);
constexpr std::size_t path_bound(std::string_view filename) {
  return SpanWriter::str_bound(filename.size() + 1 + 11);
}

// The nearest enclosing recorded frame of the event whose frame is `frame`
// with `frame_id`, from the top two entries of the thread's stack (taken
// before the stack changes for this event), with the line it is executing.
// An entry is the event's own when it carries `frame_id` or is `frame` itself
// (a plugin's record has an id of its own, yet its frame may be recorded too).
std::optional<CallSite> user_code_call_site(const std::vector<CallFrame>& call_frames,
                                            const std::optional<FrameId>& frame_id,
                                            PyObject* frame);

// A record's "user_code_call_site" value: {"call_frame_id", "line_number"},
// or nil when the call came from no recorded frame; it takes at most
// `kCallSiteBound` bytes.
void write_call_site(ByteBuffer& buf, const std::optional<CallSite>& call_site);
void write_call_site(SpanWriter& out, const std::optional<CallSite>& call_site);
inline constexpr std::size_t kCallSiteBound = 1 + SpanWriter::str_bound(13) +
                                              SpanWriter::str_bound(FrameId::kSize) +
                                              SpanWriter::str_bound(11) + 9;

}  // namespace tavo
