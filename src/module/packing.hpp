// The packing of document blocks that stores apply before compressing.
#pragma once

#include <Python.h>

namespace tavo {

// pack_document_block(block, /) -> bytes: the packed block after its length
// (4 bytes, little-endian).
PyObject* packed_block(PyObject* module, PyObject* block);

// unpack_document_block(packed, /) -> bytes; ValueError when `packed` is not
// a packed block.
PyObject* unpacked_block(PyObject* module, PyObject* packed);

}  // namespace tavo
