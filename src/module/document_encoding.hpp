// encode_document_beside(): a document's facts and stored form worked out on
// a thread of tavo's own while the program goes on, taken when the store
// writes it.
#pragma once

#include <Python.h>

namespace tavo {

// encode_document_beside(document, block, level, /) -> DocumentEncoding: starts
// reading the facts of `document` (bytes) and making its stored form (packed
// `block` bytes at a time, compressed at `level`). The object's result()
// waits for both and gives (facts as describe_document() gives them, stored
// bytes); once only. A child forked meanwhile cannot take it.
PyObject* encode_document_beside(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tavo
