// A dict's entries, and an instance's inline attributes, read from the
// interpreter's private storage, for encoders that walk every entry of a dict
// that cannot change meanwhile: one call per dict instead of one per entry.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

namespace tavo::compat {

// A frozendict (3.15), whose storage is a dict's and which PyDict_Next and
// PyDict_GET_SIZE read as one.
inline bool is_frozen_dict(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030F0000
  return PyFrozenDict_Check(obj);
#else
  (void)obj;
  return false;
#endif
}

// The entry table of a dict whose keys and values are stored together: entry
// i has its key at keys[i * stride] and its value right after it (null for a
// deleted entry, to skip), for i below `count`.
struct DictTable {
  PyObject* const* keys = nullptr;
  Py_ssize_t stride = 0;
  Py_ssize_t count = 0;
};

// The entry table of an exact or derived dict, and true; false, for the
// caller to walk it with PyDict_Next, for a dict that keeps its values apart
// from its keys (an instance dict sharing its keys), and for every dict on an
// interpreter whose layout is not the one known here.
bool dict_table(PyObject* dict, DictTable& table);

// The attributes an instance keeps in the interpreter's inline storage
// (instances of most classes until something asks for their __dict__), in
// the order its __dict__ would list them, borrowed. Read without making that
// dict: on 3.12 making it slows every later attribute read of the object, and
// on any version it is one more object for the collector. `descriptor` is
// the class's "__dict__" descriptor. False, with `out` as it was, when the
// object keeps them elsewhere or the descriptor is not the interpreter's
// own: the caller reads __dict__ then.
bool inline_attributes(PyObject* obj, PyObject* descriptor,
                       std::vector<std::pair<PyObject*, PyObject*>>& out);

// Checks the layout against PyDict_Next, once, when the module starts: at the
// first encoding the check's own allocations could run a collection, and so
// code of the program, in the middle of a value.
void check_dict_layout();

}  // namespace tavo::compat
