// The encoder of recorded values: one MessagePack value per Python object.
//
// Plain data (None, bool, int, float, str, bytes, bytearray, list, tuple, dict
// and their subclasses) is read through the built-in types' storage and
// encoded as MessagePack's own forms. Other objects are described safely (see
// object_view.hpp) or, with the "repr" setting, by their repr(). A value
// whose encoding exceeds the budget is cut: long text and bytes shortened,
// containers cut after the items that fit, with one marker string saying what
// was left out. python/tavo/serialize.py holds the same rules in Python.
#pragma once

#include <Python.h>

#include <span>
#include <utility>

#include "interop/error.hpp"
#include "record/msgpack_write.hpp"
#include "values/value_settings.hpp"

namespace tavo::values {

// Appends the encoding of `value` to `out`; on error `out` is left as it was.
Status encode_value(PyObject* value, bool lightweight, const ValueSettings& settings,
                    ByteBuffer& out);

// Appends the encoding a dict holding `entries` (key, value, in that order,
// keys distinct) would have, cut as that dict's would be, and true; false,
// with `out` as it was, with the shape-only setting (the dict's own encoding
// writes the shapes) or the repr setting, whose code could change what the
// entries borrow.
Result<bool> encode_map(std::span<const std::pair<PyObject*, PyObject*>> entries, bool lightweight,
                        const ValueSettings& settings, ByteBuffer& out);

// The encoding of `value` as a new bytes object; null with an exception set on error.
PyObject* encode_to_bytes(PyObject* value, bool lightweight, const ValueSettings& settings);

}  // namespace tavo::values
