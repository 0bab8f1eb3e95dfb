// Where a frame is: its path with line, and the user code it was called from.
#pragma once

#include <Python.h>

#include <charconv>
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

// `filename` relative to the working directory, asked of the operating
// system at every call so that a change of directory shows; `filename`
// unchanged when the working directory cannot be read.
std::string_view relative_to_cwd(std::string_view filename);

// Writes the str "<path>:<line>" for the frame's code file, its path as
// relative_to_cwd gives it. It takes at most `path_bound(filename)` bytes.
// Inline, as is write_call_site below, so that the writer of a record stays
// in registers: a writer passed to another function would have to be
// reloaded after every byte it writes.
inline void write_path_with_lineno(SpanWriter& out, std::string_view filename, int lineno) {
  const std::string_view path = relative_to_cwd(filename);
  char digits[16];
  auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), lineno);
  (void)ec;  // 16 characters hold every int
  const auto digit_count = static_cast<std::size_t>(end - digits);
  out.str_header(path.size() + 1 + digit_count);
  out.raw(path);
  out.byte(':');
  out.raw(std::string_view(digits, digit_count));
}
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
inline void write_call_site(SpanWriter& out, const std::optional<CallSite>& call_site) {
  if (call_site) {
    out.fixmap(2);
    out.str("call_frame_id");
    out.str(call_site->call_frame_id.view());
    out.str("line_number");
    out.integer(call_site->line_number);
  } else {
    out.nil();
  }
}
inline constexpr std::size_t kCallSiteBound = 1 + SpanWriter::str_bound(13) +
                                              SpanWriter::str_bound(FrameId::kSize) +
                                              SpanWriter::str_bound(11) + 9;

}  // namespace tavo
