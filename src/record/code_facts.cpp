#include "record/code_facts.hpp"

#include <new>

#include "interop/compat.hpp"
#include "interop/frame_internals.hpp"

namespace tavo {

namespace {

Py_ssize_t facts_index = -1;

void free_facts(void* facts) { delete static_cast<CodeFacts*>(facts); }

}  // namespace

bool init_code_facts() {
  if (facts_index < 0) {
    facts_index = compat::request_code_extra_index(free_facts);
  }
  if (facts_index < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_RuntimeError, "no code object extra slot is available");
    }
    return false;
  }
  return true;
}

CodeFacts* CodeFacts::of(PyCodeObject* code) {
  if (void* known = compat::code_extra(code, facts_index)) [[likely]] {
    return static_cast<CodeFacts*>(known);
  }
  auto* facts = new (std::nothrow) CodeFacts();
  if (facts == nullptr) {
    return nullptr;
  }
  if (PyUnstable_Code_SetExtra(reinterpret_cast<PyObject*>(code), facts_index, facts) < 0) {
    PyErr_Clear();
    delete facts;
    return nullptr;
  }
  return facts;
}

int CodeFacts::line(PyFrameObject* frame) {
  const compat::FramePosition position = compat::frame_position(frame);
  if (position.last_offset < 0 || position.line_override != 0) {
    return PyFrame_GetLineNumber(frame);
  }
  const auto index = static_cast<std::size_t>(position.last_offset) / 2;  // bytes per unit
  if (index >= lines_.size()) {
    const auto units = static_cast<std::size_t>(Py_SIZE(compat::frame_code(frame)));
    if (index >= units) {
      return PyFrame_GetLineNumber(frame);
    }
    lines_.assign(units, kUnknown);
  }
  std::int32_t& line = lines_[index];
  if (line == kUnknown) {
    line = PyFrame_GetLineNumber(frame);
  }
  return line;
}

int frame_line(PyFrameObject* frame) {
  CodeFacts* facts = CodeFacts::of(compat::frame_code(frame));
  return facts != nullptr ? facts->line(frame) : PyFrame_GetLineNumber(frame);
}

void CodeFacts::keep_qualname(PyObject* module_name, std::string_view text) {
  qualname_.assign(text);
  module_name_ = PyRef::borrow(module_name);
  qualname_globals_ = {};
}

}  // namespace tavo
