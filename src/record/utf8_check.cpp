#include "record/utf8_check.hpp"

#include <cstddef>
#include <cstdint>

namespace tavo {

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;  // the range of the byte after the lead
    std::uint8_t high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      low = lead == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
      high = lead == 0xed ? 0x9f : 0xbf;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      low = lead == 0xf0 ? 0x90 : 0x80;
      high = lead == 0xf4 ? 0x8f : 0xbf;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (size - i < length || p[i + 1] < low || p[i + 1] > high) {
      return false;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

}  // namespace tavo
