// The decision on a code file's path: user code or not.
#pragma once

#include <string_view>

#include "filters/finder.hpp"

namespace tavo {

enum class PathVerdict : unsigned char {
  kSkip = 1,        // library, frozen, tavo's own, generated or ignored code
  kKeepIfNotAttrs,  // user code, unless called from the attrs code generator
  kInclude,         // named by an include fragment: recorded whatever else holds
};

// Every check that needs only the path, in order: include fragments override
// everything; the standard library and installed packages, frozen modules,
// tavo's own files, code run from a string, pytest's match expressions, attrs
// generated code and ignore fragments are left out. The fixed tables are built
// once per process, on first use, thread-safely.
PathVerdict classify_path(std::string_view path, const Finders& include_frames,
                          const Finders& ignore_frames);

// Whether a caller's file is the attrs code generator.
bool is_attrs_generator_file(std::string_view filename);

}  // namespace tavo
