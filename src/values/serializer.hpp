// Bridge to the host package's serializer.
#pragma once

#include <Python.h>

#include "interop/error.hpp"
#include "record/msgpack_write.hpp"
#include "values/value_settings.hpp"

namespace tavo {

// Appends the host serializer's MessagePack encoding of `value` to `out`
// (`dump_msgpack`, or `dump_msgpack_lightweight_repr` when `lightweight`),
// whole: no value budget applies. The result must be exactly one MessagePack
// value; anything else is an error and `out` is left as it was.
Status serialize_whole_into(PyObject* value, bool lightweight, ByteBuffer& out);

// The same in two steps, for a caller that serializes several values at once:
// the host function, looked up afresh, then a call of it. The package's own
// encoder is given `settings`.
Result<PyRef> host_serializer(bool lightweight);
Status serialize_with(PyObject* dump, PyObject* value, ByteBuffer& out,
                      const values::ValueSettings& settings = values::current_settings());

// Appends the bytes of a serializer result: a bytes object as it is,
// otherwise any sequence of integers 0 to 255 (a str is refused).
Status append_byte_sequence(PyObject* result, ByteBuffer& out);

}  // namespace tavo
