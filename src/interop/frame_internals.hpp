// Reads of a frame's state that the interpreter keeps private, for the event
// path, where the public calls would recompute it.
#pragma once

#include <Python.h>

namespace tavo::compat {

// The line number a tracer or a jump set on the frame, else 0 (the line then
// follows from the frame's last instruction).
int frame_line_override(PyFrameObject* frame);

}  // namespace tavo::compat
