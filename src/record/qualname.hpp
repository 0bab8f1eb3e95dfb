// Qualified names of executing code: "<module>.<code qualname>".
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "interop/error.hpp"
#include "record/code_facts.hpp"

namespace tavo {

// The frame's qualified name: its globals' "__name__" and its code's
// `co_qualname`, each rendered with str(), joined by ".". Fails when the
// globals have no "__name__". `facts` (of the frame's code, or null) keeps the
// text for the next frames; the text lives there or in `storage`.
Result<std::string_view> qualname_text(PyFrameObject* frame, CodeFacts* facts,
                                       std::string& storage);

}  // namespace tavo
