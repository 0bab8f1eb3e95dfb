#include "record/msgpack_read.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

std::optional<std::size_t> msgpack_value_end(const std::uint8_t* data, std::size_t size,
                                             std::size_t pos) {
  std::uint64_t pending = 1;  // values still expected
  while (pending > 0) {
    if (pending >= 8 && pos < size) {
      const std::size_t run = fixint_run(data + pos, std::min<std::uint64_t>(pending, size - pos));
      pos += run;
      pending -= run;
      if (pending == 0) {  // the value ended with the run
        return pos;
      }
    }
    if (pos >= size) {
      return std::nullopt;
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
          return std::nullopt;  // never used
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
          return std::nullopt;
      }
    }
    if (length_bytes > 0) {
      if (size - pos < static_cast<std::size_t>(length_bytes)) {
        return std::nullopt;
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
      return std::nullopt;
    }
    pos += payload;
    // Every element needs at least one byte, which bounds `pending` by the
    // input size and rejects absurd counts early.
    pending += children;
    if (pending > size - pos) {
      return std::nullopt;
    }
  }
  return pos;
}

MsgpackReader::Kind MsgpackReader::peek() const {
  if (pos_ >= size_) {
    return Kind::kEnd;
  }
  const std::uint8_t tag = data_[pos_];
  if (tag <= 0x7f || tag >= 0xe0) {
    return Kind::kInt;
  }
  if (tag <= 0x8f) {
    return Kind::kMap;
  }
  if (tag <= 0x9f) {
    return Kind::kArray;
  }
  if (tag <= 0xbf) {
    return Kind::kStr;
  }
  switch (tag) {
    case 0xc0:
      return Kind::kNil;
    case 0xc2:
    case 0xc3:
      return Kind::kBool;
    case 0xc4:
    case 0xc5:
    case 0xc6:
      return Kind::kBin;
    case 0xc7:
    case 0xc8:
    case 0xc9:
    case 0xd4:
    case 0xd5:
    case 0xd6:
    case 0xd7:
    case 0xd8:
      return Kind::kExt;
    case 0xca:
    case 0xcb:
      return Kind::kFloat;
    case 0xd9:
    case 0xda:
    case 0xdb:
      return Kind::kStr;
    case 0xdc:
    case 0xdd:
      return Kind::kArray;
    case 0xde:
    case 0xdf:
      return Kind::kMap;
    case 0xc1:
      return Kind::kInvalid;
    default:
      return Kind::kInt;
  }
}

std::optional<std::uint32_t> MsgpackReader::container_header(std::uint8_t fix_low,
                                                             std::uint8_t fix_high,
                                                             std::uint8_t tag16,
                                                             std::uint8_t tag32) {
  if (pos_ >= size_) {
    return std::nullopt;
  }
  const std::uint8_t tag = data_[pos_];
  if (tag >= fix_low && tag <= fix_high) {
    ++pos_;
    return tag & 0x0f;
  }
  const int bytes = tag == tag16 ? 2 : tag == tag32 ? 4 : 0;
  if (bytes == 0 || size_ - pos_ < 1 + static_cast<std::size_t>(bytes)) {
    return std::nullopt;
  }
  const auto count = static_cast<std::uint32_t>(read_be(data_ + pos_ + 1, bytes));
  pos_ += 1 + bytes;
  return count;
}

std::optional<std::uint32_t> MsgpackReader::map_header() {
  return container_header(0x80, 0x8f, 0xde, 0xdf);
}

std::optional<std::uint32_t> MsgpackReader::array_header() {
  return container_header(0x90, 0x9f, 0xdc, 0xdd);
}

std::optional<std::string_view> MsgpackReader::str() {
  if (pos_ >= size_) {
    return std::nullopt;
  }
  const std::uint8_t tag = data_[pos_];
  std::size_t header = 1;
  std::uint64_t length = 0;
  if (tag >= 0xa0 && tag <= 0xbf) {
    length = tag & 0x1f;
  } else if (tag >= 0xd9 && tag <= 0xdb) {
    header += std::size_t{1} << (tag - 0xd9);  // 1, 2 or 4 length bytes
    if (size_ - pos_ < header) {
      return std::nullopt;
    }
    length = read_be(data_ + pos_ + 1, static_cast<int>(header - 1));
  } else {
    return std::nullopt;
  }
  if (length > size_ - pos_ - header) {
    return std::nullopt;
  }
  std::string_view text(reinterpret_cast<const char*>(data_ + pos_ + header), length);
  pos_ += header + length;
  return text;
}

std::optional<double> MsgpackReader::float_value() {
  if (pos_ >= size_) {
    return std::nullopt;
  }
  const std::uint8_t tag = data_[pos_];
  if (tag == 0xcb && size_ - pos_ >= 9) {
    const std::uint64_t bits = read_be(data_ + pos_ + 1, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    pos_ += 9;
    return value;
  }
  if (tag == 0xca && size_ - pos_ >= 5) {
    const auto bits = static_cast<std::uint32_t>(read_be(data_ + pos_ + 1, 4));
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    pos_ += 5;
    return static_cast<double>(value);
  }
  return std::nullopt;
}

std::optional<std::int64_t> MsgpackReader::int_value() {
  if (pos_ >= size_) {
    return std::nullopt;
  }
  const std::uint8_t tag = data_[pos_];
  if (tag <= 0x7f || tag >= 0xe0) {
    ++pos_;
    return static_cast<std::int8_t>(tag);
  }
  const bool is_signed = tag >= 0xd0 && tag <= 0xd3;
  if (!is_signed && (tag < 0xcc || tag > 0xcf)) {
    return std::nullopt;
  }
  const int bytes = 1 << (tag & 0x03);
  if (size_ - pos_ < 1 + static_cast<std::size_t>(bytes)) {
    return std::nullopt;
  }
  const std::uint64_t bits = read_be(data_ + pos_ + 1, bytes);
  std::int64_t value = 0;
  if (is_signed) {
    const int unused = 64 - 8 * bytes;  // sign-extend from the value's own width
    value = static_cast<std::int64_t>(bits << unused) >> unused;
  } else if (bits > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::nullopt;
  } else {
    value = static_cast<std::int64_t>(bits);
  }
  pos_ += 1 + bytes;
  return value;
}

bool MsgpackReader::nil() {
  if (pos_ < size_ && data_[pos_] == 0xc0) {
    ++pos_;
    return true;
  }
  return false;
}

bool MsgpackReader::skip() {
  std::optional<std::size_t> end = msgpack_value_end(data_, size_, pos_);
  if (!end) {
    return false;
  }
  pos_ = *end;
  return true;
}

}  // namespace tavo
