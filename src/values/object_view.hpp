// What the safe encoding shows of an object that is not plain data, read from
// the interpreter's own storage without calling anything the object's classes
// define (no __repr__, __getattr__, properties or other Python-level code).
#pragma once

#include <Python.h>

#include <vector>

#include "interop/error.hpp"

namespace tavo::values {

// "module.QualifiedName" of a class, from its own storage ("?" for a module
// that is missing or not text).
Result<PyRef> type_name(PyTypeObject* type);

struct Entry {
  PyRef key;
  PyRef value;
};

// The entries of an object's description, in order: "__type__" (its type's
// name); then for sets and frozensets "items" (a list of the elements), for
// complex numbers "value" ([real, imag]), for classes, functions, built-in
// functions, modules, sentinels and lazy imports "name"; otherwise, unless `lightweight`,
// "args" for exceptions, each set __slots__ attribute (for template strings
// and their interpolations, each field) and the instance __dict__'s items.
Status describe_object(PyObject* obj, bool lightweight, std::vector<Entry>& entries);

// Interns the texts used as keys; false with an exception set on failure.
bool init_object_view();

}  // namespace tavo::values
