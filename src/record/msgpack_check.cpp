#include "record/msgpack_check.hpp"

namespace tavo {

namespace {

std::uint64_t read_be(const std::uint8_t* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | p[i];
  }
  return value;
}

}  // namespace

bool is_single_msgpack_value(const std::uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  std::uint64_t pending = 1;  // values still expected
  while (pending > 0) {
    if (pos >= size) {
      return false;
    }
    const std::uint8_t tag = data[pos++];
    --pending;
    std::uint64_t payload = 0;   // bytes to skip after the header
    std::uint64_t children = 0;  // values that follow as elements
    int length_bytes = 0;
    enum { kNone, kBytes, kArray, kMap, kExt } kind = kNone;

    if (tag <= 0x7f || tag >= 0xe0) {
      // fixint
    } else if (tag <= 0x8f) {
      children = 2ULL * (tag & 0x0f);
    } else if (tag <= 0x9f) {
      children = tag & 0x0f;
    } else if (tag <= 0xbf) {
      payload = tag & 0x1f;
    } else {
      switch (tag) {
        case 0xc0:
        case 0xc2:
        case 0xc3:
          break;
        case 0xc1:
          return false;  // never used
        case 0xc4:
        case 0xd9:
          length_bytes = 1;
          kind = kBytes;
          break;
        case 0xc5:
        case 0xda:
          length_bytes = 2;
          kind = kBytes;
          break;
        case 0xc6:
        case 0xdb:
          length_bytes = 4;
          kind = kBytes;
          break;
        case 0xc7:
          length_bytes = 1;
          kind = kExt;
          break;
        case 0xc8:
          length_bytes = 2;
          kind = kExt;
          break;
        case 0xc9:
          length_bytes = 4;
          kind = kExt;
          break;
        case 0xca:
          payload = 4;
          break;
        case 0xcb:
          payload = 8;
          break;
        case 0xcc:
        case 0xd0:
          payload = 1;
          break;
        case 0xcd:
        case 0xd1:
          payload = 2;
          break;
        case 0xce:
        case 0xd2:
          payload = 4;
          break;
        case 0xcf:
        case 0xd3:
          payload = 8;
          break;
        case 0xd4:
          payload = 2;
          break;
        case 0xd5:
          payload = 3;
          break;
        case 0xd6:
          payload = 5;
          break;
        case 0xd7:
          payload = 9;
          break;
        case 0xd8:
          payload = 17;
          break;
        case 0xdc:
          length_bytes = 2;
          kind = kArray;
          break;
        case 0xdd:
          length_bytes = 4;
          kind = kArray;
          break;
        case 0xde:
          length_bytes = 2;
          kind = kMap;
          break;
        case 0xdf:
          length_bytes = 4;
          kind = kMap;
          break;
        default:
          return false;
      }
    }
    if (length_bytes > 0) {
      if (size - pos < static_cast<std::size_t>(length_bytes)) {
        return false;
      }
      const std::uint64_t n = read_be(data + pos, length_bytes);
      pos += length_bytes;
      switch (kind) {
        case kBytes:
          payload = n;
          break;
        case kExt:
          payload = n + 1;
          break;  // type byte, then data
        case kArray:
          children = n;
          break;
        case kMap:
          children = 2 * n;
          break;
        case kNone:
          break;
      }
    }
    if (payload > size - pos) {
      return false;
    }
    pos += payload;
    // Every element needs at least one byte, which bounds `pending` by the
    // input size and rejects absurd counts early.
    pending += children;
    if (pending > size - pos) {
      return false;
    }
  }
  return pos == size;
}

}  // namespace tavo
