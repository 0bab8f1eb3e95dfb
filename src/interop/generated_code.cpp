#include "interop/generated_code.hpp"

#include <opcode.h>

#include "interop/pyref.hpp"

namespace tavo::compat {

bool is_generated_annotate(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030E0000
  if (code->co_argcount != 1 || PyUnicode_CompareWithASCIIString(code->co_name, "__annotate__")) {
    return false;
  }
  // The compiler's function starts by refusing the formats it cannot give,
  // raising NotImplementedError through LOAD_COMMON_CONSTANT 1, which no
  // source text compiles to (a program's own `raise NotImplementedError`
  // loads a global name).
  PyRef bytecode = PyRef::steal(PyCode_GetCode(code));
  if (!bytecode || !PyBytes_Check(bytecode.get())) {
    PyErr_Clear();
    return false;
  }
  constexpr int kNotImplementedError = 1;
  constexpr Py_ssize_t kFirstUnits = 16;  // the check comes first
  const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytecode.get()));
  const Py_ssize_t size = PyBytes_GET_SIZE(bytecode.get());
  for (Py_ssize_t at = 0; at + 1 < size && at < 2 * kFirstUnits; at += 2) {
    if (units[at] == LOAD_COMMON_CONSTANT && units[at + 1] == kNotImplementedError) {
      return true;
    }
  }
  return false;
#else
  (void)code;  // annotations are evaluated eagerly
  return false;
#endif
}

}  // namespace tavo::compat
