// Qualified names of executing code: "<module>.<code qualname>".
#pragma once

#include <Python.h>

#include "interop/error.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

// Writes the frame's qualified name as one str: its globals' "__name__" and
// its code's `co_qualname`, each rendered with str(), joined by ".". Fails
// when the globals have no "__name__".
Status write_qualname(ByteBuffer& buf, PyFrameObject* frame);

}  // namespace tavo
