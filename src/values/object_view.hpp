// What the safe encoding shows of an object that is not plain data, read from
// the interpreter's own storage without calling anything the object's classes
// define (no __repr__, __getattr__, properties or other Python-level code).
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "interop/error.hpp"

namespace tavo::values {

// "module.QualifiedName" of a class, from its own storage ("?" for a module
// that is missing or not text).
Result<PyRef> type_name(PyTypeObject* type);

// One entry of a description. An attribute read from the object's own storage
// is not held: no code of the program runs while a description is written, and
// the object keeps its attributes. What the description made or looked up (a
// type's name, the parts of a readable value) is held until it is written.
struct Entry {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // The value, an instance of a subclass of a plain type, is written as that
  // plain type's data (its items, its text), not described again.
  bool plain = false;
  PyRef held_key;
  PyRef held_value;

  static Entry held(PyRef key, PyRef value, bool plain = false) {
    Entry entry;
    entry.key = key.get();
    entry.value = value.get();
    entry.plain = plain;
    entry.held_key = std::move(key);
    entry.held_value = std::move(value);
    return entry;
  }
  static Entry in_place(PyObject* key, PyObject* value) {
    Entry entry;
    entry.key = key;
    entry.value = value;
    return entry;
  }
};

// The entries of an object's description, in order: "__type__" (its type's
// name); then for sets and frozensets "items" (a list of the elements), for
// complex numbers "value" ([real, imag]), for classes, functions, built-in
// functions, modules, sentinels and lazy imports "name"; for the types
// readable_types.hpp knows, what it shows; otherwise, unless `lightweight`, "args"
// for exceptions, each set __slots__ attribute (for template strings and their
// interpolations, each field) and the instance __dict__'s items.
Status describe_object(PyObject* obj, bool lightweight, std::vector<Entry>& entries);

// The items of `obj` as a list, through `type`'s own iterator (a base type's,
// which no method of a subclass replaces).
Result<PyRef> items_through(PyTypeObject* type, PyObject* obj);

// Appends each set __slots__ attribute of `obj`, then its instance __dict__'s
// items, when its class keeps it where Python puts it.
Status instance_attributes(PyObject* obj, std::vector<Entry>& entries);

// Whether an instance of `type`, a subclass of int, float, str, bytes, list,
// tuple or dict, is described as an object (enum members, the subclasses of
// the containers and str) rather than written as the plain value it holds.
// False with an exception set on error.
Result<bool> subclass_described(PyTypeObject* type);

// Interns the texts used as keys; false with an exception set on failure.
bool init_object_view();

}  // namespace tavo::values
