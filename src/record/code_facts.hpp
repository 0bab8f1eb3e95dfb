// What the records of a code object's frames take from the code object and
// that does not change for it: kept in an extra slot of the code object from
// its first recorded event on, and freed with it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interop/frame_internals.hpp"
#include "interop/pyref.hpp"

namespace tavo {

class CodeFacts {
 public:
  // The facts of `code`, made at the first request; null when they cannot be
  // made (the caller then reads the frame afresh).
  static CodeFacts* of(PyCodeObject* code);

  // The frame's current line (as PyFrame_GetLineNumber), `frame` being one of
  // this code's: the line of each instruction is looked up once.
  int line(PyFrameObject* frame);

  // The qualified-name text made for the module name object `module_name`,
  // or null when it was made for another one.
  const std::string* qualname_for(PyObject* module_name) const {
    return module_name == module_name_.get() ? &qualname_ : nullptr;
  }
  // Keeps `text` as the qualified name for `module_name` (a str).
  void keep_qualname(PyObject* module_name, std::string_view text);

  // The qualified-name text, when it was made for (or checked against) the
  // globals in this state: their module name cannot have changed since.
  const std::string* qualname_for(const compat::GlobalsStamp& globals) const {
    return globals.version != 0 && globals == qualname_globals_ ? &qualname_ : nullptr;
  }
  // The text kept is that of globals in state `globals`.
  void qualname_checked(const compat::GlobalsStamp& globals) { qualname_globals_ = globals; }

 private:
  static constexpr std::int32_t kUnknown = INT32_MIN;
  std::vector<std::int32_t> lines_;  // by instruction index
  PyRef module_name_;
  std::string qualname_;
  compat::GlobalsStamp qualname_globals_;
};

// The frame's current line, as PyFrame_GetLineNumber, through the facts of
// its code.
int frame_line(PyFrameObject* frame);

// Requests the code-object extra slot; false with a Python error set on
// failure.
bool init_code_facts();

}  // namespace tavo
