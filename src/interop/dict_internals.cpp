// The only file that sees the interpreter's private dict layout. The
// interpreter's own header for it cannot be compiled here, so the parts read
// are declared below as the supported versions lay them out, and checked
// against PyDict_Next once before they are used.
#include "interop/dict_internals.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "interop/compat_state.hpp"
#include "interop/pyref.hpp"

namespace tavo::compat {

namespace {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW && \
    !defined(Py_GIL_DISABLED)
// The head of a dict's keys object; the entries follow its index table.
struct KeysHead {
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;  // 0: any keys (hash, key, value); otherwise str keys (key, value)
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
  char indices[8];  // the index table, (1 << log2_index_bytes) bytes
};

bool read_table(PyObject* dict, DictTable& table) {
  auto* object = reinterpret_cast<PyDictObject*>(dict);
  if (object->ma_values != nullptr) {
    return false;
  }
  const auto* keys = reinterpret_cast<const KeysHead*>(object->ma_keys);
  const char* entries = reinterpret_cast<const char*>(keys) + offsetof(KeysHead, indices) +
                        (std::size_t{1} << keys->log2_index_bytes);
  const bool any_keys = keys->kind == 0;
  table.keys = reinterpret_cast<PyObject* const*>(entries) + (any_keys ? 1 : 0);
  table.stride = any_keys ? 3 : 2;
  table.count = keys->nentries;
  return true;
}

// The entries of `dict` as the table lists them equal those PyDict_Next gives.
bool agrees(PyObject* dict) {
  DictTable table;
  if (!read_table(dict, table)) {
    return false;
  }
  std::vector<PyObject*> listed;
  for (Py_ssize_t i = 0; i < table.count; ++i) {
    PyObject* const* entry = table.keys + i * table.stride;
    if (entry[1] != nullptr) {
      listed.push_back(entry[0]);
      listed.push_back(entry[1]);
    }
  }
  std::vector<PyObject*> expected;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    expected.push_back(key);
    expected.push_back(value);
  }
  return listed == expected;
}

// Both kinds of keys, with a deleted entry among them. An exception the
// caller has pending is kept aside meanwhile.
bool layout_holds() {
  PyRef pending = PyRef::steal(PyErr_GetRaisedException());
  PyRef str_keys = PyRef::steal(Py_BuildValue("{sisisi}", "a", 1, "b", 2, "c", 3));
  PyRef int_keys = PyRef::steal(Py_BuildValue("{isisis}", 1, "a", 2, "b", 3, "c"));
  PyRef gone = PyRef::steal(PyLong_FromLong(2));
  const bool holds = str_keys && int_keys && gone &&
                     PyDict_DelItemString(str_keys.get(), "b") == 0 &&
                     PyDict_DelItem(int_keys.get(), gone.get()) == 0 && agrees(str_keys.get()) &&
                     agrees(int_keys.get());
  if (!holds) {
    PyErr_Clear();  // a failure here only means that PyDict_Next is used
  }
  PyErr_SetRaisedException(pending.release());
  return holds;
}

bool layout_usable = false;  // set once at module start
#endif

}  // namespace

void check_dict_layout() {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW && \
    !defined(Py_GIL_DISABLED)
  layout_usable = layout_holds();
#endif
}

bool dict_table(PyObject* dict, DictTable& table) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW && \
    !defined(Py_GIL_DISABLED)
  return layout_usable && read_table(dict, table);
#else
  (void)dict;
  (void)table;
  return false;
#endif
}

}  // namespace tavo::compat
