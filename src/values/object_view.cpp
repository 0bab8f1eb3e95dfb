#include "values/object_view.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "interop/dict_internals.hpp"
#include "values/readable_types.hpp"

namespace tavo::values {

namespace {

struct Keys {
  PyObject* type_key;
  PyObject* items;
  PyObject* name;
  PyObject* args;
  PyObject* value;
  PyObject* module;
  PyObject* dunder_name;
  PyObject* dunder_dict;
  PyObject* unknown;
};

Keys keys;

bool is_heap(PyTypeObject* type) { return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0; }

// Built-in classes whose instances only hold other values, in their member
// descriptors: described by those, as a class with __slots__ is (3.14's
// template strings).
bool holds_values(PyTypeObject* type) {
  return !is_heap(type) && (std::strcmp(type->tp_name, "string.templatelib.Template") == 0 ||
                            std::strcmp(type->tp_name, "string.templatelib.Interpolation") == 0);
}

// 3.15's built-in sentinel objects, described by their name.
bool is_sentinel(PyTypeObject* type) {
  return !is_heap(type) && std::strcmp(type->tp_name, "sentinel") == 0;
}

// 3.15's lazy imports not yet resolved, described by the name of what they
// import.
bool is_lazy_import(PyTypeObject* type) {
  return !is_heap(type) && std::strcmp(type->tp_name, "lazy_import") == 0;
}

// The name a lazy import imports ("xml.dom.minidom"), from the text its
// built-in type's repr gives ("<lazy_import 'xml.dom.minidom'>"), which
// neither resolves it nor runs code of the program; that whole text if it
// has another form.
Result<PyRef> lazy_import_name(PyObject* obj) {
  PyRef text = PyRef::steal(Py_TYPE(obj)->tp_repr(obj));
  Py_ssize_t size = 0;
  const char* utf8 =
      text && PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    return PyError::fetch();
  }
  constexpr std::string_view kHead = "<lazy_import '";
  constexpr std::string_view kTail = "'>";
  std::string_view whole(utf8, static_cast<std::size_t>(size));
  if (whole.size() <= kHead.size() + kTail.size() || !whole.starts_with(kHead) ||
      !whole.ends_with(kTail)) {
    return text;
  }
  whole = whole.substr(kHead.size(), whole.size() - kHead.size() - kTail.size());
  PyRef name = PyRef::steal(
      PyUnicode_FromStringAndSize(whole.data(), static_cast<Py_ssize_t>(whole.size())));
  return name ? Result<PyRef>(std::move(name)) : Result<PyRef>(PyError::fetch());
}

// The value of the member `name` that `type` itself declares, or null (with
// no error set) when it declares none.
Result<PyRef> own_member(PyObject* obj, PyTypeObject* type, const char* name) {
  for (PyMemberDef* member = type->tp_members; member != nullptr && member->name != nullptr;
       ++member) {
    if (std::strcmp(member->name, name) == 0) {
      PyRef value = PyRef::steal(PyMember_GetOne(reinterpret_cast<const char*>(obj), member));
      return value ? Result<PyRef>(std::move(value)) : Result<PyRef>(PyError::fetch());
    }
  }
  return PyRef();
}

Status add(std::vector<Entry>& entries, PyObject* key, PyRef value) {
  if (!value) {
    return PyError::fetch();
  }
  entries.push_back(Entry::held(PyRef::borrow(key), std::move(value)));
  return Status::success();
}

Result<PyRef> function_name(PyObject* function) {
  PyObject* module = PyFunction_GetModule(function);  // borrowed
  PyObject* qualname = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
  if (module != nullptr && PyUnicode_CheckExact(module)) {
    PyRef name = PyRef::steal(PyUnicode_FromFormat("%U.%U", module, qualname));
    return name ? Result<PyRef>(std::move(name)) : Result<PyRef>(PyError::fetch());
  }
  return PyRef::borrow(qualname);
}

Result<PyRef> module_name(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* name = dict != nullptr ? PyDict_GetItemWithError(dict, keys.dunder_name) : nullptr;
  if (name == nullptr && PyErr_Occurred()) {
    return PyError::fetch();
  }
  return PyRef::borrow(name != nullptr && PyUnicode_CheckExact(name) ? name : keys.unknown);
}

// Calls `body(name, descriptor)` for each member descriptor a class of
// `type`'s MRO made for itself (a class with __slots__, or a built-in class
// that holds values), in MRO order and each class's dictionary order, until
// it returns false; false then.
template <class Body>
bool each_slot_member(PyTypeObject* type, Body body) {
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* klass = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    // A class without members of its own has no member descriptors to read.
    if (!(is_heap(klass) || holds_values(klass)) || klass->tp_members == nullptr ||
        klass->tp_members[0].name == nullptr) {
      continue;
    }
    // A built-in class keeps its dictionary with the interpreter, not in
    // tp_dict.
    PyRef class_dict = PyRef::steal(PyType_GetDict(klass));
    if (!class_dict) {
      continue;
    }
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* descriptor = nullptr;
    while (PyDict_Next(class_dict.get(), &pos, &name, &descriptor)) {
      if (Py_IS_TYPE(descriptor, &PyMemberDescr_Type) && PyDescr_TYPE(descriptor) == klass &&
          !body(name, descriptor)) {
        return false;
      }
    }
  }
  return true;
}

// Each set slot, read through its descriptor (a slot never set is skipped).
Status slot_values_through_descriptors(PyObject* obj, std::vector<Entry>& entries) {
  PyTypeObject* type = Py_TYPE(obj);
  const bool ok = each_slot_member(type, [&](PyObject* name, PyObject* descriptor) {
    PyRef held_name = PyRef::borrow(name);
    PyRef held = PyRef::borrow(descriptor);
    PyRef value = PyRef::steal(
        PyMemberDescr_Type.tp_descr_get(descriptor, obj, reinterpret_cast<PyObject*>(type)));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return false;
      }
      PyErr_Clear();  // a slot never set
      return true;
    }
    entries.push_back(Entry::held(std::move(held_name), std::move(value)));
    return true;
  });
  if (!ok) {
    return PyError::fetch();
  }
  return Status::success();
}

// The "__dict__" descriptor of `type` when it is the interpreter's own, which
// reads the instance dictionary where Python puts it (borrowed); null for a
// class without one or that defines __dict__ itself.
PyObject* python_dict_descriptor(PyTypeObject* type) {
  PyObject* descriptor = _PyType_Lookup(type, keys.dunder_dict);
  return descriptor != nullptr && Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) ? descriptor
                                                                              : nullptr;
}

// The items of the instance dictionary that `descriptor`, the type's
// python_dict_descriptor(), reads; none when it is null.
Status dict_values(PyObject* obj, PyObject* descriptor, std::vector<Entry>& entries) {
  PyTypeObject* type = Py_TYPE(obj);
  if (descriptor == nullptr) {
    return Status::success();
  }
  thread_local std::vector<std::pair<PyObject*, PyObject*>> inline_items;
  inline_items.clear();
  if (compat::inline_attributes(obj, descriptor, inline_items)) {
    for (auto [key, value] : inline_items) {
      entries.push_back(Entry::in_place(key, value));
    }
    return Status::success();
  }
  PyRef held = PyRef::borrow(descriptor);
  PyRef namespace_dict = PyRef::steal(
      PyGetSetDescr_Type.tp_descr_get(descriptor, obj, reinterpret_cast<PyObject*>(type)));
  if (!namespace_dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return PyError::fetch();
    }
    PyErr_Clear();
    return Status::success();
  }
  if (!PyDict_Check(namespace_dict.get())) {
    return Status::success();
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // A dictionary the object keeps keeps its items while they are written; one
  // made for this reading alone does not.
  const bool kept = Py_REFCNT(namespace_dict.get()) > 1;
  while (PyDict_Next(namespace_dict.get(), &pos, &key, &value)) {
    entries.push_back(kept ? Entry::in_place(key, value)
                           : Entry::held(PyRef::borrow(key), PyRef::borrow(value)));
  }
  return Status::success();
}

}  // namespace

bool init_object_view() {
  struct Name {
    PyObject** slot;
    const char* text;
  };
  const Name table[] = {
      {&keys.type_key, "__type__"},
      {&keys.items, "items"},
      {&keys.name, "name"},
      {&keys.args, "args"},
      {&keys.value, "value"},
      {&keys.module, "__module__"},
      {&keys.dunder_name, "__name__"},
      {&keys.dunder_dict, "__dict__"},
      {&keys.unknown, "?"},
  };
  for (const Name& entry : table) {
    if (*entry.slot == nullptr) {
      *entry.slot = PyUnicode_InternFromString(entry.text);
      if (*entry.slot == nullptr) {
        return false;
      }
    }
  }
  return init_readable_types();
}

namespace {

// The names of recently described classes. An entry is valid while its class
// keeps the version tag it had: the interpreter gives a class a new tag when
// one of its attributes is set (__module__, __qualname__ among them), and
// never gives a tag twice, so a class freed and another made at its address
// do not share an entry.
//
// An entry also holds where instances keep their attributes, so that
// describing an object walks neither its classes' dictionaries nor raises for
// a slot never set. Its borrowed pointers stay valid with the version tag: a
// class's MRO and the dictionaries of its classes change only with a new tag.
struct SlotMember {
  PyObject* name;             // strong
  const PyMemberDef* member;  // of a class in the type's MRO
};
struct NameCacheEntry {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  PyObject* name = nullptr;  // strong
  bool has_detail = false;   // see detail_of()
  Readable readable = Readable::kNone;
  PyTypeObject* readable_base = nullptr;  // in the type's MRO, which keeps it
  // The members each_slot_member() finds, in its order; `slots_direct` when
  // every one is an object slot that reading cannot run code for (the
  // members __slots__ makes), read straight from the instance.
  std::vector<SlotMember> slots;
  bool slots_direct = false;
  // The interpreter's own "__dict__" descriptor of the type, or null.
  PyObject* dict_descriptor = nullptr;
};
NameCacheEntry name_cache[256];

// Whether a member is read as the object pointer at its offset, and a null
// one means a slot never set, with no audit event or other code on the way.
bool reads_directly(const PyMemberDef* member) {
  return member->type == Py_T_OBJECT_EX &&
         (member->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) == 0;
}

// Fills `entry`'s attribute layout for `type`.
void fill_layout(NameCacheEntry& entry, PyTypeObject* type) {
  entry.slots_direct = true;
  each_slot_member(type, [&entry](PyObject* name, PyObject* descriptor) {
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
    entry.slots_direct = entry.slots_direct && reads_directly(member);
    entry.slots.push_back(SlotMember{Py_NewRef(name), member});
    return true;
  });
  entry.dict_descriptor = python_dict_descriptor(type);
}

void clear_entry(NameCacheEntry& entry) {
  Py_XDECREF(entry.name);
  for (const SlotMember& slot : entry.slots) {
    Py_DECREF(slot.name);
  }
  entry.slots.clear();
  entry.type = nullptr;
  entry.version = 0;
  entry.name = nullptr;
}

NameCacheEntry& name_cache_entry(PyTypeObject* type) {
  const auto address = reinterpret_cast<std::uintptr_t>(type);
  return name_cache[(address >> 4 ^ address >> 12) % std::size(name_cache)];
}

Result<PyRef> uncached_type_name(PyTypeObject* type);

// Whether instances of `type` get a second entry from detail_of().
bool has_detail(PyTypeObject* type) {
  return PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type) ||
         PyType_IsSubtype(type, &PyComplex_Type) ||
         PyType_FastSubclass(type, Py_TPFLAGS_TYPE_SUBCLASS) || type == &PyFunction_Type ||
         type == &PyCFunction_Type || PyType_IsSubtype(type, &PyModule_Type) || is_sentinel(type) ||
         is_lazy_import(type);
}

struct TypeFacts {
  PyRef name;
  bool has_detail;
  Readable readable;
  PyTypeObject* readable_base;
};

Result<TypeFacts> type_facts(PyTypeObject* type) {
  NameCacheEntry& entry = name_cache_entry(type);
  if (entry.type == type && entry.version != 0 && entry.version == type->tp_version_tag) {
    return TypeFacts{PyRef::borrow(entry.name), entry.has_detail, entry.readable,
                     entry.readable_base};
  }
  Result<PyRef> name = uncached_type_name(type);
  if (!name.ok()) {
    return name.take_error();
  }
  const bool detail = has_detail(type);
  Readable readable = Readable::kNone;
  PyTypeObject* base = type;
  if (!readable_kind(type, readable, base)) {
    return PyError::fetch();
  }
  if (PyUnstable_Type_AssignVersionTag(type)) {
    clear_entry(entry);
    fill_layout(entry, type);
    entry.type = type;
    entry.version = type->tp_version_tag;
    entry.name = Py_NewRef(name.value().get());
    entry.has_detail = detail;
    entry.readable = readable;
    entry.readable_base = base;
  }
  return TypeFacts{name.take_value(), detail, readable, base};
}

// The cache entry of `type`, filled if need be; null when the type has no
// version tag to key it by, or on error (`failed` set, with an exception).
const NameCacheEntry* cached_entry(PyTypeObject* type, bool& failed) {
  NameCacheEntry* entry = &name_cache_entry(type);
  auto valid = [type](const NameCacheEntry* e) {
    return e->type == type && e->version != 0 && e->version == type->tp_version_tag;
  };
  if (valid(entry)) [[likely]] {
    return entry;
  }
  if (Result<TypeFacts> facts = type_facts(type); !facts.ok()) {
    facts.take_error().restore();
    failed = true;
    return nullptr;
  }
  return valid(entry) ? entry : nullptr;
}

}  // namespace

Status instance_attributes(PyObject* obj, std::vector<Entry>& entries) {
  bool failed = false;
  const NameCacheEntry* entry = cached_entry(Py_TYPE(obj), failed);
  if (failed) {
    return PyError::fetch();
  }
  if (entry == nullptr || !entry->slots_direct) {
    // Reading a slot may run code (an audit hook) that replaces the entry.
    if (Status s = slot_values_through_descriptors(obj, entries); !s.ok()) {
      return s;
    }
    return dict_values(obj, python_dict_descriptor(Py_TYPE(obj)), entries);
  }
  for (const SlotMember& slot : entry->slots) {
    PyObject* value =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + slot.member->offset);
    if (value != nullptr) {  // else a slot never set
      entries.push_back(Entry::in_place(slot.name, value));
    }
  }
  return dict_values(obj, entry->dict_descriptor, entries);
}

Result<PyRef> type_name(PyTypeObject* type) {
  Result<TypeFacts> facts = type_facts(type);
  if (!facts.ok()) {
    return facts.take_error();
  }
  return std::move(facts.value().name);
}

Result<bool> subclass_described(PyTypeObject* type) {
  bool failed = false;
  if (const NameCacheEntry* entry = cached_entry(type, failed); entry != nullptr) [[likely]] {
    return entry->readable != Readable::kNone;
  }
  if (failed) {
    return PyError::fetch();
  }
  Result<TypeFacts> facts = type_facts(type);
  if (!facts.ok()) {
    return facts.take_error();
  }
  const Readable kind = facts.value().readable;
  return kind != Readable::kNone;
}

namespace {

Result<PyRef> uncached_type_name(PyTypeObject* type) {
  PyRef name;
  if (is_heap(type)) {
    PyObject* module = type->tp_dict != nullptr
                           ? PyDict_GetItemWithError(type->tp_dict, keys.module)
                           : nullptr;  // borrowed
    if (module == nullptr && PyErr_Occurred()) {
      return PyError::fetch();
    }
    if (module == nullptr || !PyUnicode_CheckExact(module)) {
      module = keys.unknown;
    }
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    name = PyRef::steal(PyUnicode_FromFormat("%U.%U", module, qualname));
  } else if (std::strchr(type->tp_name, '.') != nullptr) {
    name = PyRef::steal(PyUnicode_FromString(type->tp_name));
  } else {
    name = PyRef::steal(PyUnicode_FromFormat("builtins.%s", type->tp_name));
  }
  if (!name) {
    return PyError::fetch();
  }
  return name;
}

Result<PyRef> complex_parts(PyObject* obj) {
  Py_complex value = reinterpret_cast<PyComplexObject*>(obj)->cval;
  PyRef real = PyRef::steal(PyFloat_FromDouble(value.real));
  PyRef imag = PyRef::steal(real ? PyFloat_FromDouble(value.imag) : nullptr);
  PyRef parts = PyRef::steal(imag ? PyTuple_Pack(2, real.get(), imag.get()) : nullptr);
  if (!parts) {
    return PyError::fetch();
  }
  return parts;
}

Result<PyRef> text(const char* utf8) {
  PyRef result = PyRef::steal(PyUnicode_FromString(utf8));
  if (!result) {
    return PyError::fetch();
  }
  return result;
}

// The second entry of sets ("items"), complex numbers ("value": [real, imag])
// and classes, functions, modules, sentinels and lazy imports ("name"), with
// its key in `key`; null for any other object.
Result<PyRef> detail_of(PyObject* obj, PyObject*& key) {
  key = keys.name;
  if (PyAnySet_Check(obj)) {
    key = keys.items;
    // The built-in iterator, which a subclass's __iter__ does not replace.
    return items_through(&PySet_Type, obj);
  }
  if (PyComplex_Check(obj)) {
    key = keys.value;
    return complex_parts(obj);
  }
  if (PyType_Check(obj)) {
    return type_name(reinterpret_cast<PyTypeObject*>(obj));
  }
  if (PyFunction_Check(obj)) {
    return function_name(obj);
  }
  if (PyCFunction_CheckExact(obj)) {
    return text(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name);
  }
  if (PyModule_Check(obj)) {
    return module_name(obj);
  }
  if (is_sentinel(Py_TYPE(obj))) {
    return own_member(obj, Py_TYPE(obj), "__name__");
  }
  if (is_lazy_import(Py_TYPE(obj))) {
    return lazy_import_name(obj);
  }
  return PyRef();
}

}  // namespace

Result<PyRef> items_through(PyTypeObject* type, PyObject* obj) {
  PyRef items = PyRef::steal(PyList_New(0));
  PyRef iterator = PyRef::steal(items ? type->tp_iter(obj) : nullptr);
  if (!iterator) {
    return PyError::fetch();
  }
  iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
  while (PyRef item = PyRef::steal(next(iterator.get()))) {
    if (PyList_Append(items.get(), item.get()) < 0) {
      return PyError::fetch();
    }
  }
  if (PyErr_Occurred()) {
    return PyError::fetch();
  }
  return items;
}

Status describe_object(PyObject* obj, bool lightweight, std::vector<Entry>& entries) {
  PyTypeObject* type = Py_TYPE(obj);
  Result<TypeFacts> facts = type_facts(type);
  if (!facts.ok()) {
    return facts.take_error();
  }
  entries.push_back(Entry::held(PyRef::borrow(keys.type_key), std::move(facts.value().name)));
  PyObject* key = nullptr;
  Result<PyRef> detail = facts.value().has_detail ? detail_of(obj, key) : Result<PyRef>(PyRef());
  if (!detail.ok()) {
    return detail.take_error();
  }
  if (detail.value()) {
    if (Status s = add(entries, key, detail.take_value()); !s.ok()) {
      return s;
    }
    // A subclass of set or frozenset shows its attributes too.
    if (lightweight || facts.value().readable != Readable::kContainer) {
      return Status::success();
    }
    return instance_attributes(obj, entries);
  }
  if (facts.value().readable != Readable::kNone) {
    return describe_readable(obj, facts.value().readable, facts.value().readable_base, lightweight,
                             entries);
  }
  if (lightweight) {
    return Status::success();
  }
  if (PyExceptionInstance_Check(obj)) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(obj)->args;
    if (Status s = add(entries, keys.args, PyRef::borrow(args != nullptr ? args : Py_None));
        !s.ok()) {
      return s;
    }
  }
  return instance_attributes(obj, entries);
}

}  // namespace tavo::values
