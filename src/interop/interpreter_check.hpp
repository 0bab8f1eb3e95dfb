// Whether tavo can run on the interpreter that loads it: tavo reads some of
// the interpreter's private state (frame_internals.hpp, dict_internals.hpp)
// as the versions it knows lay it out, so it refuses, at import and with one
// line naming the version, any interpreter it does not know rather than
// misread it.
#pragma once

#include <Python.h>

#include "interop/frame_internals.hpp"

namespace tavo::compat {

// The newest interpreter version (major and minor, as PY_VERSION_HEX) whose
// private layout tavo knows.
inline constexpr unsigned long kNewestKnownVersion = 0x030F0000;

// True when the running interpreter is the version tavo was built for, no
// newer than `newest_known`, and its frames read through `layout`, the other
// private reads and the code extra slot `code_extra_index` (one of the
// caller's, whose values own nothing) read in place agree with the public
// calls on the caller's frame. False with an ImportError set otherwise. The
// module passes its own constants; other values only serve to check this
// check.
bool check_interpreter(Py_ssize_t code_extra_index,
                       unsigned long newest_known = kNewestKnownVersion,
                       const FrameCodeLayout& layout = frame_code_layout);

}  // namespace tavo::compat
