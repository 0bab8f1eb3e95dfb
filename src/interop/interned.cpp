#include "interop/interned.hpp"

namespace tavo {

namespace {

InternedNames table;
bool ready = false;

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

bool init_interned_names() {
  if (ready) {
    return true;
  }
#define TAVO_INTERN_NAME(n) \
  if (!intern(table.n, #n)) return false;
  TAVO_INTERNED_NAMES(TAVO_INTERN_NAME)
#undef TAVO_INTERN_NAME
  if (!intern(table.event_return, "return") || !intern(table.tavo, "tavo") ||
      !intern(table.module_collections_abc, "collections.abc") ||
      !intern(table.module_logging, "logging") || !intern(table.module_sys, "sys") ||
      !intern(table.module_threading, "threading") || !intern(table.module_tavo_db, "tavo.db") ||
      !intern(table.module_tavo_git, "tavo.git") ||
      !intern(table.module_tavo_plugins, "tavo.plugins") ||
      !intern(table.module_tavo_serialize, "tavo.serialize") ||
      !intern(table.module_tavo_version, "tavo.version") ||
      !intern(table.log_format,
              "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
              "    event: %s\n    frame locals: %s\n")) {
    return false;
  }
  ready = true;
  return true;
}

const InternedNames& names() { return table; }

}  // namespace tavo
