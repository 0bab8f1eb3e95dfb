// Structural check of pre-encoded MessagePack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// True when `data` holds exactly one complete MessagePack value and nothing
// after it. Walks headers and lengths only (no decoding, no allocation, no
// recursion), so arbitrarily deep nesting cannot exhaust the stack.
bool is_single_msgpack_value(const std::uint8_t* data, std::size_t size);

}  // namespace tavo
