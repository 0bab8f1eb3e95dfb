// describe_document(): a document's facts for the host's store, from its bytes.
#pragma once

#include <Python.h>

#include <optional>

#include "saving/document_facts.hpp"

namespace tavo {

// The facts as describe_document() gives them (a new reference; null with the
// Python error set on failure).
PyObject* facts_or_none(const std::optional<DocumentFacts>& facts);

// describe_document(document, /) -> tuple | None. The tuple: records,
// user_code, test name, command line (joined by spaces), source, first and
// last record time, and per function (qualname, name, file, calls, total, own,
// raised); None when the document needs the host's general reading.
PyObject* describe_document(PyObject* module, PyObject* document);

// describe_document_during(document, work, /) -> (facts, work()): the facts
// as describe_document() gives them, read on a thread of tavo's own while
// work() runs on the calling thread (a large document's; a small one's are
// read after it). work's exception is raised once the reading has ended.
PyObject* describe_document_during(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tavo
