// A function frame's locals written straight from its variables, for the
// package's own encoder.
#pragma once

#include <Python.h>

#include "interop/error.hpp"
#include "record/msgpack_write.hpp"
#include "values/value_settings.hpp"

namespace tavo::values {

// Appends the encoding the frame's locals dict (without "__builtins__") would
// have, read from the frame's variables without making that dict, and true;
// false, with `out` as it was, when only the dict gives it: not a function
// frame, names the dict would add or order otherwise, or the shape-only or
// repr setting. Locals over the budget are cut as the dict would be.
Result<bool> encode_frame_locals(PyFrameObject* frame, bool lightweight,
                                 const ValueSettings& settings, ByteBuffer& out);

}  // namespace tavo::values
