// Frame checks that need more than the path.
#pragma once

#include <Python.h>

namespace tavo {

// Whether the frame was called from the attrs library's code generator: its
// caller's file ends with "attr/_make.py", or, when the caller's file name is
// empty, its caller's caller's file does.
bool attrs_filter(PyFrameObject* frame);

}  // namespace tavo
