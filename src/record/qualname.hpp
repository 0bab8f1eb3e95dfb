// Qualified names of executing code: "<module>.<code qualname>".
#pragma once

#include <Python.h>

#include "interop/error.hpp"
#include "record/code_facts.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

// Writes the frame's qualified name as one str: its globals' "__name__" and
// its code's `co_qualname`, each rendered with str(), joined by ".". Fails
// when the globals have no "__name__". `facts` (of the frame's code, or null)
// keeps the text for the next frames.
Status write_qualname(ByteBuffer& buf, PyFrameObject* frame, CodeFacts* facts);

}  // namespace tavo
