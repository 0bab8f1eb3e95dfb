// Strict UTF-8 validation, as the interpreter's own decoder judges it.
#pragma once

#include <string_view>

namespace tavo {

// False for overlong forms, surrogates, code points past U+10FFFF and
// sequences cut short.
bool is_valid_utf8(std::string_view text);

}  // namespace tavo
