// MessagePack encoding primitives and key/value helpers.
//
// Every writer appends one item to a byte buffer and always picks the smallest
// form for the value, so the same input always gives the same bytes. Nothing
// here touches the interpreter.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavo {

// Makes room without zero-filling it: writers size a buffer for the largest
// form they may write and then set every byte they keep, so the fill would be
// wasted on every record.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  explicit UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ByteBuffer = std::vector<std::uint8_t, UninitAllocator<std::uint8_t>>;

void write_nil(ByteBuffer& buf);
void write_bool(ByteBuffer& buf, bool value);
void write_uint(ByteBuffer& buf, std::uint64_t value);
void write_int(ByteBuffer& buf, std::int64_t value);
void write_f64(ByteBuffer& buf, double value);
void write_str_header(ByteBuffer& buf, std::uint32_t length);
// Appends raw bytes (as one block copy, not byte by byte).
inline void append_bytes(ByteBuffer& buf, std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  buf.insert(buf.end(), data, data + bytes.size());
}
inline void write_str(ByteBuffer& buf, std::string_view text) {
  if (text.size() <= 31) {  // fixstr: every key, most values
    buf.push_back(static_cast<std::uint8_t>(0xa0 | text.size()));
  } else {
    write_str_header(buf, static_cast<std::uint32_t>(text.size()));
  }
  append_bytes(buf, text);
}
void write_map_len(ByteBuffer& buf, std::uint32_t count);
void write_array_len(ByteBuffer& buf, std::uint32_t count);

// One map entry whose key is text.
void write_str_pair(ByteBuffer& buf, std::string_view key, std::optional<std::string_view> value);
void write_int_pair(ByteBuffer& buf, std::string_view key, std::optional<std::uint64_t> value);
void write_f64_pair(ByteBuffer& buf, std::string_view key, double value);

// Writes a run of items into room taken from the end of a buffer at once, so
// that a record's many small parts cost one buffer growth instead of one each.
// The room is an upper bound of what is written (each str header counts as 5
// bytes, each int as 9); `finish` gives back the unused part. The bytes are
// those of the writers above.
class SpanWriter {
 public:
  // The room a str of `length` bytes may take.
  static constexpr std::size_t str_bound(std::size_t length) { return length + 5; }

  SpanWriter(ByteBuffer& buf, std::size_t room) : buf_(buf), start_(buf.size()) {
    buf.resize(start_ + room);
    p_ = buf.data() + start_;
    end_ = buf.data() + buf.size();
  }
  SpanWriter(const SpanWriter&) = delete;
  SpanWriter& operator=(const SpanWriter&) = delete;

  void finish() { buf_.resize(static_cast<std::size_t>(p_ - buf_.data())); }

  void raw(std::string_view bytes) {
    assert(bytes.size() <= static_cast<std::size_t>(end_ - p_));
    std::memcpy(p_, bytes.data(), bytes.size());
    p_ += bytes.size();
  }
  void byte(std::uint8_t value) {
    assert(p_ < end_);
    *p_++ = value;
  }
  void nil() { byte(0xc0); }
  void fixmap(std::uint8_t count) {
    assert(count <= 15);
    byte(static_cast<std::uint8_t>(0x80 | count));
  }
  void str_header(std::size_t length) {
    if (length <= 31) {
      byte(static_cast<std::uint8_t>(0xa0 | length));
    } else if (length <= 0xff) {
      byte(0xd9);
      be(length, 1);
    } else if (length <= 0xffff) {
      byte(0xda);
      be(length, 2);
    } else {
      byte(0xdb);
      be(length, 4);
    }
  }
  void str(std::string_view text) {
    str_header(text.size());
    raw(text);
  }
  void str_or_nil(std::optional<std::string_view> text) {
    if (text) {
      str(*text);
    } else {
      nil();
    }
  }
  void uint(std::uint64_t value) {
    if (value <= 0x7f) {
      byte(static_cast<std::uint8_t>(value));
    } else if (value <= 0xff) {
      tagged(0xcc, value, 1);
    } else if (value <= 0xffff) {
      tagged(0xcd, value, 2);
    } else if (value <= 0xffffffffULL) {
      tagged(0xce, value, 4);
    } else {
      tagged(0xcf, value, 8);
    }
  }
  void integer(std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    if (value >= 0) {
      uint(bits);
    } else if (value >= -32) {
      byte(static_cast<std::uint8_t>(bits));
    } else if (value >= -128) {
      tagged(0xd0, bits, 1);
    } else if (value >= -32768) {
      tagged(0xd1, bits, 2);
    } else if (value >= -2147483648LL) {
      tagged(0xd2, bits, 4);
    } else {
      tagged(0xd3, bits, 8);
    }
  }
  void f64(double value) { tagged(0xcb, std::bit_cast<std::uint64_t>(value), 8); }

 private:
  // One store for each width (a constant where this is inlined), rather than
  // a store per byte.
  void be(std::uint64_t value, int bytes) {
    assert(bytes <= end_ - p_);
    switch (bytes) {
      case 1:
        *p_ = static_cast<std::uint8_t>(value);
        break;
      case 2:
        store_be(static_cast<std::uint16_t>(value));
        break;
      case 4:
        store_be(static_cast<std::uint32_t>(value));
        break;
      default:
        assert(bytes == 8);
        store_be(value);
        break;
    }
    p_ += bytes;
  }
  template <class T>
  void store_be(T value) {
    if constexpr (std::endian::native == std::endian::little) {
      if constexpr (sizeof(T) == 2) {
        value = __builtin_bswap16(value);
      } else if constexpr (sizeof(T) == 4) {
        value = __builtin_bswap32(value);
      } else {
        value = __builtin_bswap64(value);
      }
    }
    std::memcpy(p_, &value, sizeof(value));
  }
  void tagged(std::uint8_t tag, std::uint64_t value, int bytes) {
    byte(tag);
    be(value, bytes);
  }

  ByteBuffer& buf_;
  std::size_t start_;
  std::uint8_t* p_;
  std::uint8_t* end_;
};

}  // namespace tavo
