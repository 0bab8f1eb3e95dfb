// Reads of a frame's state that the interpreter keeps private, for the event
// path, where the public calls would recompute it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tavo::compat {

// Where a frame object's code is, as offsets, so that the event path reads it
// inline: PyFrame_GetCode is a call and a reference count each way.
struct FrameCodeLayout {
  std::size_t frame_data;    // the frame object's pointer to its interpreter frame
  std::size_t data_code;     // that frame's code object
  std::uintptr_t code_mask;  // the bits of that field that are the pointer
};
[[gnu::visibility("hidden")]] extern const FrameCodeLayout frame_code_layout;

// The code object of `frame` read through `layout`, borrowed.
inline PyCodeObject* frame_code_with(const FrameCodeLayout& layout, PyFrameObject* frame) {
  const char* data =
      *reinterpret_cast<char* const*>(reinterpret_cast<const char*>(frame) + layout.frame_data);
  const auto field = *reinterpret_cast<const std::uintptr_t*>(data + layout.data_code);
  return reinterpret_cast<PyCodeObject*>(field & layout.code_mask);
}

// The frame's code object, borrowed: the frame holds it.
inline PyCodeObject* frame_code(PyFrameObject* frame) {
  return frame_code_with(frame_code_layout, frame);
}

// The frame's globals (borrowed) and their dict's version: the pair differs
// after any change to that dict, and for any other dict. `version` is 0 when
// there is nothing to compare (globals that are not a dict).
struct GlobalsStamp {
  const void* globals = nullptr;
  std::uint64_t version = 0;
  bool operator==(const GlobalsStamp&) const = default;
};
GlobalsStamp frame_globals_stamp(PyFrameObject* frame);

// Where the frame is: the offset of its last instruction in bytes (as
// PyFrame_GetLasti, -1 before the first), and the line number a tracer or a
// jump set on it, else 0 (the line then follows from that instruction).
struct FramePosition {
  int last_offset;
  int line_override;
};
FramePosition frame_position(PyFrameObject* frame);

// The code object of the frame PyFrame_GetBack would give for `frame`
// (`hops` = 1) or for that one's own (`hops` = 2), borrowed, or null when
// there is none; no frame object is made for them.
PyCodeObject* back_code(PyFrameObject* frame, int hops);

#if PY_VERSION_HEX < 0x030D0000
// Before the interpreter refreshes a function frame's locals dict: adds a
// placeholder for each plain variable that is unbound and missing from the
// dict, which the refresh then deletes, as it deletes every unbound name,
// instead of raising and clearing a KeyError for it. The dict ends the
// same. False with an exception set on failure.
bool prepare_locals_refresh(PyFrameObject* frame);
#endif

// A variable's name and value, both borrowed from the frame.
using FrameVariable = std::pair<PyObject*, PyObject*>;

// For a function frame (optimized code) whose locals mapping would list
// exactly its bound variables: appends them to `out` (cells and free variables
// by their contents) in the order that mapping lists them, and true. False,
// with `out` as it was, for any other frame, whose locals only the
// interpreter's own mapping gives: module code and class bodies, a frame whose
// locals dict exists already (3.12: it may hold other names, in another
// order), one with names set from outside (3.13), one not yet started.
// The values stay valid while no code runs.
bool frame_bound_variables(PyFrameObject* frame, std::vector<FrameVariable>& out);

#if PY_VERSION_HEX >= 0x030D0000
// For a function frame (optimized code), whose locals the interpreter shows
// through a proxy: adds the frame's bound variables to the dict `out`, as the
// proxy's items list them (variables in the code's order, cells and free
// variables by their contents, then the names set from outside). False with
// an exception set on failure.
bool copy_frame_variables(PyFrameObject* frame, PyObject* out);
#endif

}  // namespace tavo::compat
