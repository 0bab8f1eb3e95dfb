// describe_document(): a document's facts for the host's store, from its bytes.
#pragma once

#include <Python.h>

namespace tavo {

// describe_document(document, /) -> tuple | None. The tuple: records,
// user_code, test name, command line (joined by spaces), source, first and
// last record time, and per function (qualname, name, file, calls, total, own,
// raised); None when the document needs the host's general reading.
PyObject* describe_document(PyObject* module, PyObject* document);

}  // namespace tavo
