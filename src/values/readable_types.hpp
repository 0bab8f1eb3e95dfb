// Readable descriptions of the value types people use most: dates and times,
// decimals, ids, paths, enum members, the collections types, arrays, views,
// ranges, slices, patterns, generators, and subclasses of the plain
// containers. Each is read from the interpreter's storage, from the C
// accessors of the standard library's own C types (looked up on those types
// themselves, never on a subclass or an instance), or from the slots and
// instance dictionaries of its pure-Python types; no code that the program
// or a third-party library defines runs.
#pragma once

#include <Python.h>

#include <vector>

#include "interop/error.hpp"

namespace tavo::values {

struct Entry;

enum class Readable : unsigned char {
  kNone,
  kDateTime,
  kDate,
  kTime,
  kDelta,
  kTimezone,
  kDecimal,
  kUuid,
  kPath,
  kFraction,
  kEnum,
  kDeque,
  kDefaultDict,
  kNamedTuple,
  kArray,
  kMemoryView,
  kRange,
  kSlice,
  kPattern,
  kGenerator,
  kContainer,  // a subclass of list, tuple, dict, str, set or frozenset
};

// Interns the texts used as names and keys; false with an exception set on failure.
bool init_readable_types();

// What `type` is read as, with the class of its MRO that says so in `base`.
// Looks up names in class dictionaries only; false with an exception set on error.
bool readable_kind(PyTypeObject* type, Readable& kind, PyTypeObject*& base);

// Appends the entries that follow "__type__" in the description of `obj`, of
// `kind` (not kNone) as readable_kind() found it; `lightweight` leaves out
// the instance attributes of a subclass.
Status describe_readable(PyObject* obj, Readable kind, PyTypeObject* base, bool lightweight,
                         std::vector<Entry>& entries);

}  // namespace tavo::values
