// The only file that sees the interpreter's private dict layout and where an
// instance keeps its attributes inline. The interpreter's own header for it
// cannot be compiled here, so the parts read are declared below as the
// supported versions lay them out, and checked against PyDict_Next once
// before they are used.
#include "interop/dict_internals.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
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

// Where an instance's inline attributes are: the values (null for an unset
// one) by their index in the class's shared keys, and the order they were
// set in, as indices.
struct InlineStorage {
  PyObject* const* values = nullptr;
  const std::uint8_t* order = nullptr;
  std::ptrdiff_t order_step = 1;  // 3.12 lists the order backwards
  std::size_t count = 0;
};

#if PY_VERSION_HEX >= 0x030D0000
// The head of the values an instance of a class with inline values holds
// right after its fixed part; the order follows the values.
struct InlineValuesHead {
  std::uint8_t capacity;
  std::uint8_t size;
  std::uint8_t embedded;
  std::uint8_t valid;  // cleared once the values move into a dict of their own
  PyObject* values[1];
};

bool find_inline_storage(PyObject* obj, InlineStorage& storage) {
  PyTypeObject* type = Py_TYPE(obj);
  if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) == 0) {
    return false;
  }
  const auto* head = reinterpret_cast<const InlineValuesHead*>(reinterpret_cast<const char*>(obj) +
                                                               type->tp_basicsize);
  if (head->valid == 0) {
    return false;
  }
  storage.values = head->values;
  storage.order = reinterpret_cast<const std::uint8_t*>(head->values + head->capacity);
  storage.count = head->size;
  return true;
}
#else
bool find_inline_storage(PyObject* obj, InlineStorage& storage) {
  // Three words before the object: its dict, or its values tagged by the low bit.
  const char* tagged =
      *reinterpret_cast<char* const*>(reinterpret_cast<const char*>(obj) - 3 * sizeof(PyObject*));
  if ((reinterpret_cast<std::uintptr_t>(tagged) & 1U) == 0) {
    return false;
  }
  storage.values = reinterpret_cast<PyObject* const*>(tagged + 1);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(storage.values);
  storage.count = bytes[-2];
  storage.order = bytes - 3;
  storage.order_step = -1;
  return true;
}
#endif

bool read_inline(PyObject* obj, std::vector<std::pair<PyObject*, PyObject*>>& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 ||
      (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) {
    return false;
  }
  const auto* keys =
      reinterpret_cast<const KeysHead*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
  InlineStorage storage;
  if (keys == nullptr || !find_inline_storage(obj, storage)) {
    return false;
  }
  // Shared keys are str keys: (key, value) entries after the index table.
  const auto* entries = reinterpret_cast<PyObject* const*>(
      reinterpret_cast<const char*>(keys) + offsetof(KeysHead, indices) +
      (std::size_t{1} << keys->log2_index_bytes));
  const std::size_t start = out.size();
  for (std::size_t i = 0; i < storage.count; ++i) {
    const std::size_t index = storage.order[static_cast<std::ptrdiff_t>(i) * storage.order_step];
    PyObject* value = storage.values[index];
    if (static_cast<Py_ssize_t>(index) >= keys->nentries || value == nullptr) {
      out.resize(start);  // not as known here: left to __dict__
      return false;
    }
    out.emplace_back(entries[2 * index], value);
  }
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

// The getter of the "__dict__" descriptor of the interpreter's own classes,
// and whether their inline attributes read as their __dict__ lists them; set
// once at module start.
getter python_dict_getter = nullptr;

// The attributes as read inline (before their __dict__ is asked for, which
// may move them) and as __dict__ then lists them.
bool inline_agrees(PyObject* obj) {
  std::vector<std::pair<PyObject*, PyObject*>> inline_items;
  if (!read_inline(obj, inline_items)) {
    return false;
  }
  PyRef dict = PyRef::steal(PyObject_GetAttrString(obj, "__dict__"));
  std::vector<std::pair<PyObject*, PyObject*>> listed;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (dict && PyDict_Next(dict.get(), &pos, &key, &value)) {
    listed.emplace_back(key, value);
  }
  return dict && listed == inline_items;
}

// A class of the interpreter's own making, one instance whose attributes
// were set in the order of its keys and another in a different order, with
// one deleted and set again.
bool inline_layout_holds() {
  PyRef name = PyRef::steal(PyUnicode_FromString("probe"));
  PyRef bases = PyRef::steal(PyTuple_New(0));
  PyRef body = PyRef::steal(PyDict_New());
  if (!name || !bases || !body) {
    return false;
  }
  PyRef klass = PyRef::steal(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), body.get(), nullptr));
  PyRef first = klass ? PyRef::steal(PyObject_CallNoArgs(klass.get())) : PyRef();
  PyRef second = klass ? PyRef::steal(PyObject_CallNoArgs(klass.get())) : PyRef();
  if (!first || !second) {
    return false;
  }
  PyRef dunder_dict = PyRef::steal(PyUnicode_InternFromString("__dict__"));
  PyObject* descriptor =
      dunder_dict ? _PyType_Lookup(reinterpret_cast<PyTypeObject*>(klass.get()), dunder_dict.get())
                  : nullptr;
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
    return false;
  }
  python_dict_getter = reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->get;
  for (const char* attribute : {"a", "b", "c"}) {
    if (PyObject_SetAttrString(first.get(), attribute, Py_None) != 0) {
      return false;
    }
  }
  for (const char* attribute : {"c", "a", "b"}) {
    if (PyObject_SetAttrString(second.get(), attribute, name.get()) != 0) {
      return false;
    }
  }
  return PyObject_DelAttrString(second.get(), "a") == 0 &&
         PyObject_SetAttrString(second.get(), "a", bases.get()) == 0 &&
         inline_agrees(first.get()) && inline_agrees(second.get());
}

bool inline_usable = false;  // set once at module start
#endif

}  // namespace

void check_dict_layout() {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW && \
    !defined(Py_GIL_DISABLED)
  layout_usable = layout_holds();
  PyRef pending = PyRef::steal(PyErr_GetRaisedException());
  inline_usable = inline_layout_holds();
  if (!inline_usable) {
    PyErr_Clear();  // a failure here only means that __dict__ is read
  }
  PyErr_SetRaisedException(pending.release());
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

bool inline_attributes(PyObject* obj, PyObject* descriptor,
                       std::vector<std::pair<PyObject*, PyObject*>>& out) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < TAVO_PYTHON_KNOWN_BELOW && \
    !defined(Py_GIL_DISABLED)
  return inline_usable && descriptor != nullptr && Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) &&
         reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->get == python_dict_getter &&
         read_inline(obj, out);
#else
  (void)obj;
  (void)descriptor;
  (void)out;
  return false;
#endif
}

}  // namespace tavo::compat
