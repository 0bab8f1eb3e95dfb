// Code that the interpreter generates for a program's own source, which the
// program never calls itself: recorded as generated code, not as calls of
// the program.
#pragma once

#include <Python.h>

namespace tavo::compat {

// Whether `code` is a function the compiler made to evaluate annotations
// lazily (`__annotate__`, from 3.14 on), as opposed to one the program
// defined under that name.
bool is_generated_annotate(PyCodeObject* code);

}  // namespace tavo::compat
