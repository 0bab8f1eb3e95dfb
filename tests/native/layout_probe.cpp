// A module made of tavo's interpreter check alone, which checks the running
// interpreter against what the environment's LAYOUT_PROBE names instead of
// what tavo was built with: "wrong-layout" (frames read one field off),
// "newer-version" (an interpreter newer than the newest known), or nothing.
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "interop/interpreter_check.hpp"

namespace {

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT, "layout_probe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool check() {
  using namespace tavo::compat;
  const Py_ssize_t index = PyUnstable_Eval_RequestCodeExtraIndex(nullptr);
  if (index < 0) {
    return false;
  }
  const char* mode = std::getenv("LAYOUT_PROBE");
  if (mode != nullptr && std::strcmp(mode, "wrong-layout") == 0) {
    FrameCodeLayout skewed = frame_code_layout;
    skewed.data_code += sizeof(void*);
    return check_interpreter(index, kNewestKnownVersion, skewed);
  }
  if (mode != nullptr && std::strcmp(mode, "newer-version") == 0) {
    return check_interpreter(index, (PY_VERSION_HEX & 0xFFFF0000UL) - 0x10000);
  }
  return check_interpreter(index);
}

}  // namespace

PyMODINIT_FUNC PyInit_layout_probe() { return check() ? PyModule_Create(&probe_def) : nullptr; }
